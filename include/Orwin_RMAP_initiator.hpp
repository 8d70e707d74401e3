// SPDX-License-Identifier: MIT
// Orwin_RMAP_initiator.hpp - the RMAP sending side of a device: read, write
// and read-modify-write commands with transactions, and the RMAP protocol
// factory. Included by Orwin_SpaceWire.hpp ahead of device_t, which holds one.
// Orwin.hpp includes this header where its layers need it; included on its
// own, it comes in the same way.
#include "Orwin.hpp"

#ifndef ORWIN_RMAP_INITIATOR_HPP
#define ORWIN_RMAP_INITIATOR_HPP

#include "Orwin_Export.h"

#include "Orwin_RMAP_formats.hpp"
#include "Orwin_RMAP_transactions.hpp"
#include "Orwin_SpaceWire_protocol.hpp"

#include <cstdint>
#include <exception>
#include <functional>
#include <future>
#include <string>
#include <vector>

namespace orw::spacewire {

class device_t;
class connection_t;
class protocol_instance;

namespace rmap {

/** A read or read-modify-write without a response object (thrown as a pointer). */
class ORWIN_API transactionrequired : public std::exception {
  public:
    const char *what() const noexcept override { return "RMAP read needs a response object"; }
};

/** Most data bytes of a read-modify-write: with the mask, data length 8. */
constexpr size_t max_rmw_data = 4;

/** Read-modify-write of more than 4 data bytes (thrown as a pointer). */
class ORWIN_API toomuchrmwdata : public std::exception {
  public:
    const char *what() const noexcept override { return "RMAP read-modify-write of more than 4 data bytes"; }
};

/** The file of write_file cannot be opened, or the descriptor of write_fd
 *  cannot be examined (`f` empty); thrown as a pointer. */
class ORWIN_API nosuchfile : public std::exception {
  public:
    explicit nosuchfile(const std::string &file = std::string()) : f(file) {}
    const char *what() const noexcept override { return "RMAP data file cannot be read"; }
    std::string f;
};

/** What an asynchronous RMAP operation ended with. */
struct result {
    transaction_outcome outcome = transaction_outcome::pending;
    /** The reply's status byte (0 without a reply). */
    uint8_t status = 0;
    /** The reply data of a read or read-modify-write. */
    std::vector<uint8_t> data;
    /** A reply came and the target reports success. */
    bool ok() const { return outcome == transaction_outcome::replied && status == 0; }
};

/**
 * Completion of an asynchronous operation, called exactly once with its
 * result: on the connection's reader thread for a reply, on the timer thread
 * for a time-out, on the thread that loses or destroys the connection for
 * the end of it. It must be short and must not block (every other reply on
 * the connection waits for it); an exception it throws is caught and traced.
 */
using completion = std::function<void(result)>;

/**
 * RMAP commands to a device. Each operation builds the header, registers a
 * transaction when `tri` is given, sends the whole packet under the
 * connection's write lock and then waits on `tri` (at once for a response
 * without waiter). Failures before sending: transactionrequired*,
 * toomuchrmwdata*, nosuchfile*, nofreetid* (pointers, delete them),
 * orw::error -20 for a size beyond the 24-bit data length, address_error
 * for a device whose path does not fit the header. A failure while sending
 * (orw::error) cancels the transaction first.
 */
class ORWIN_API protocol : public protocol_factory {
  public:
    /** A new RMAP handler (parser, reply delivery and demonstration target). */
    protocol_instance *new_instance() override;

    /** Read `sz` bytes; `flags` bit 2 selects incrementing addresses. */
    void read(device_t *dev, uint8_t key, uint8_t flags, uint8_t ewa, uint32_t addr, size_t sz,
              transaction_response *tri);
    /** Write; `flags` bits 4 (verify) and 2 (increment) are used; a reply is
     *  requested exactly when `tri` is given. */
    void write(device_t *dev, uint8_t key, uint8_t flags, uint8_t ewa, uint32_t addr, const uint8_t *data,
               size_t sz, transaction_response *tri);
    void write_noreply(device_t *dev, uint8_t key, uint8_t flags, uint8_t ewa, uint32_t addr,
                       const uint8_t *data, size_t sz);
    /** Write the whole content of `file`. */
    void write_file(device_t *dev, uint8_t key, uint8_t flags, uint8_t ewa, uint32_t addr,
                    const std::string &file, transaction_response *tri);
    /**
     * Write the content of `fd`, its size taken from its status. A
     * descriptor that ends early or fails part-way ends the packet with EEP,
     * cancels the transaction and throws orw::error -12. One without a size
     * (pipe, FIFO, socket, /proc file) is read to its end first; a directory
     * throws nosuchfile* before anything is sent.
     */
    void write_fd(device_t *dev, uint8_t key, uint8_t flags, uint8_t ewa, uint32_t addr, int fd,
                  transaction_response *tri);
    /** Read-modify-write of `sz` (at most 4) data bytes under `sz` mask bytes. */
    void readmodifywrite(device_t *dev, uint8_t key, uint8_t ewa, uint32_t addr, const uint8_t *data,
                         const uint8_t *mask, size_t sz, transaction_response *tri);
    /** Read with incrementing addresses (flags 0x04). */
    void autoincrement(device_t *dev, uint8_t key, uint8_t ewa, uint32_t addr, size_t sz,
                       transaction_response *tri)
    {
        read(dev, key, instr_increment, ewa, addr, sz, tri);
    }

    /**
     * Asynchronous forms: each returns once its command is sent, with a
     * future that completes on the reply, the time-out (`timeout` ticks of
     * 10 ms, 0 = none) or the end of the connection, each exactly once. Any
     * number may be in flight from one thread. Failures before or while
     * sending throw as the synchronous forms do.
     */
    std::future<result> read_async(device_t *dev, uint8_t key, uint32_t addr, size_t sz, uint32_t timeout,
                                   uint8_t flags, uint8_t ewa);
    std::future<result> write_async(device_t *dev, uint8_t key, uint32_t addr, const uint8_t *data, size_t sz,
                                    uint32_t timeout, uint8_t flags, uint8_t ewa);
    std::future<result> rmw_async(device_t *dev, uint8_t key, uint32_t addr, const uint8_t *data,
                                  const uint8_t *mask, size_t sz, uint32_t timeout, uint8_t ewa);
    /**
     * The same with a callback for the result instead of a future. A call
     * that throws never runs `done`; one that returns runs it exactly once
     * (already, when the connection ended while the command was sent).
     */
    void read_async(device_t *dev, uint8_t key, uint32_t addr, size_t sz, completion done, uint32_t timeout,
                    uint8_t flags, uint8_t ewa);
    void write_async(device_t *dev, uint8_t key, uint32_t addr, const uint8_t *data, size_t sz,
                     completion done, uint32_t timeout, uint8_t flags, uint8_t ewa);
    void rmw_async(device_t *dev, uint8_t key, uint32_t addr, const uint8_t *data, const uint8_t *mask,
                   size_t sz, completion done, uint32_t timeout, uint8_t ewa);

    /** A connection was initialised / is being destroyed (traces only). */
    static void connection(connection_t *ifc);
    static void unregister_connection(connection_t *ifc);

    /** Build a command header; @return the TID (0 without `tri`). */
    uint16_t msg_header(net_header &hdr, device_t *dev, uint8_t key, uint8_t instr, uint8_t ewa,
                        uint32_t addr, size_t sz, transaction_response *tri);
    uint16_t write_header(net_header &hdr, device_t *dev, uint8_t key, uint8_t flags, uint8_t ewa,
                          uint32_t addr, size_t sz, transaction_response *tri);
    /** Wait for `tri`, starting the timer thread for a time-out first. */
    void wait(transaction_response *tri);

  private:
    // The operations up to their wait: the packet is sent when they return.
    void send_read(device_t *dev, uint8_t key, uint8_t flags, uint8_t ewa, uint32_t addr, size_t sz,
                   transaction_response *tri);
    void send_write(device_t *dev, uint8_t key, uint8_t flags, uint8_t ewa, uint32_t addr,
                    const uint8_t *data, size_t sz, transaction_response *tri);
    void send_rmw(device_t *dev, uint8_t key, uint8_t ewa, uint32_t addr, const uint8_t *data,
                  const uint8_t *mask, size_t sz, transaction_response *tri);
    void send_maskdata(device_t *dev, const uint8_t *data, const uint8_t *mask, size_t sz);
};

/** The process-wide RMAP factory, protocol 1 of the factory table. */
extern ORWIN_API protocol rmap_protocol;

} // namespace rmap
} // namespace orw::spacewire

#endif // ORWIN_RMAP_INITIATOR_HPP
