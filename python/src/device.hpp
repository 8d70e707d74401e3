// SPDX-License-Identifier: MIT
// A remote node as Python sees it: RMAP operations and CCSDS packets through
// the connection it came from, which it keeps alive.
#pragma once

#include "connection.hpp"

#include <memory>
#include <mutex>

namespace orwin_py {

class async_call;

class device {
  public:
    device(std::shared_ptr<connection_core> core, int link, uint8_t dest, uint8_t key, uint8_t src,
           const std::string &path, const std::string &return_path);

    py::bytes read(uint32_t address, size_t size, double timeout, bool increment);
    void write(uint32_t address, const py::buffer &data, double timeout, bool reply, bool verify,
               bool increment);
    py::bytes rmw(uint32_t address, const py::buffer &data, const py::buffer &mask, double timeout);
    /** The same as futures of the running asyncio loop, set on that loop. */
    py::object read_async(uint32_t address, size_t size, double timeout, bool increment);
    py::object write_async(uint32_t address, const py::buffer &data, double timeout, bool reply, bool verify,
                           bool increment);
    py::object rmw_async(uint32_t address, const py::buffer &data, const py::buffer &mask, double timeout);
    void ccsds_send(uint16_t apid, const py::buffer &data, int type, int sequence_flags, int count,
                    int application, const py::object &secondary_header);

    /** Reads `count` times in a loop without returning to Python (for comparing costs). */
    void read_loop(uint32_t address, size_t size, double timeout, size_t count);

    const int link;
    const uint8_t dest;
    const uint8_t key;

  private:
    template <class Send> py::object issue_async(async_call &call, Send send);

    std::shared_ptr<connection_core> core;
    std::unique_ptr<orw::spacewire::device_t> node;
    std::mutex ccsds_lock; // the node keeps one CCSDS packet under assembly
};

} // namespace orwin_py
