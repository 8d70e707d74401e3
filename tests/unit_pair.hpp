// SPDX-License-Identifier: MIT
// A link wrapped around one end of a socket pair; the test plays the unit on
// the other end: it writes the unit's replies before the call that reads them
// and collects what the library sent.
#pragma once

#include "OrwinInternal.h"

#include <cerrno>
#include <cstdint>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

using bytes_t = std::vector<uint8_t>;

struct unit_pair {
    Orwin link = nullptr;
    int peer = -1;

    // `slots`: module type per slot, slot 0 first. A ram_rw slot makes the
    // link Vex-family; otherwise it is given `family`.
    unit_pair(int family, const std::vector<int> &slots, int links = 8)
    {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0)
            return;
        link = Orwin_open_as_server(fds[0]);
        peer = fds[1];
        if (!link)
            return;
        Orwin_system_type(link, family);
        for (size_t i = 0; i < slots.size(); ++i)
            Orwin_set_slot(link, static_cast<int>(i), slots[i]);
        // Set in the record: the earlier builds have no setter for it.
        orw_link(link)->number_of_links = links;
        // A missing reply must fail the test, not hang it.
        Orwin_set_rx_timeout(link, 2000);
        Orwin_set_rx_timeout_action(link, Receiver_Timeout_Returns_Error);
    }
    ~unit_pair()
    {
        if (link)
            Orwin_close(link);
        if (peer >= 0)
            close(peer);
    }
    unit_pair(const unit_pair &) = delete;
    unit_pair &operator=(const unit_pair &) = delete;

    ORW *record() const { return orw_link(link); }

    void write_raw(const bytes_t &data) const
    {
        size_t done = 0;
        while (done < data.size()) {
            ssize_t n = ::write(peer, data.data() + done, data.size() - done);
            if (n <= 0)
                return;
            done += static_cast<size_t>(n);
        }
    }

    // A special packet from the unit (header 0xC0 + length form).
    void reply(const bytes_t &payload) const
    {
        bytes_t frame;
        size_t n = payload.size();
        if (n <= 60) {
            frame.push_back(static_cast<uint8_t>(0xC0 + n));
        } else if (n < 256) {
            frame = {0xFD, static_cast<uint8_t>(n)};
        } else {
            frame = {0xFE, static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)};
        }
        frame.insert(frame.end(), payload.begin(), payload.end());
        write_raw(frame);
    }

    // Everything the library has sent so far.
    bytes_t sent() const
    {
        bytes_t out;
        uint8_t chunk[4096];
        for (;;) {
            ssize_t n = recv(peer, chunk, sizeof chunk, MSG_DONTWAIT);
            if (n <= 0)
                break;
            out.insert(out.end(), chunk, chunk + n);
        }
        return out;
    }
};

// The frame of a special packet as the library queues it.
inline bytes_t special_frame(const bytes_t &payload)
{
    bytes_t frame{static_cast<uint8_t>(0xC0 + payload.size())};
    frame.insert(frame.end(), payload.begin(), payload.end());
    return frame;
}
