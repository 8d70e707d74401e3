// SPDX-License-Identifier: MIT
// orw::connection: one bounded read of the shared read loop.
#include "Orwin.hpp"

#include <vector>

namespace orw {

connection::read_result connection::read_once(unsigned char *buffer, size_t size, int actions, ssize_t &n,
                                              uint32_t &type)
{
    for (;;) {
        type = 0;
        n = Orwin_read_packet_full(device, buffer, size, &type, actions);
        // An application may have asked for time-outs as errors; to a loop a
        // time-out is only the chance to test its flag.
        if (n == Error_Receiver_Timeout)
            return read_result::idle;
        if (n < 0) {
            if (n != Error_Receiver_Shutdown)
                throw error(addr, static_cast<int>(n), Orwin_get_error_text());
            if (filelist.empty())
                return read_result::ended;
            addr = filelist.front();
            filelist.pop();
            ORW_SPW_TRACE(2, this, "next file '%s'", addr.c_str());
            std::vector<char> name(addr.begin(), addr.end());
            name.push_back('\0');
            check(Orwin_File(device, name.data()));
            continue;
        }
        // Time-outs and pieces that a decoding callback cut short are empty
        // and not packets.
        if (n == 0 && (type == PART_EOP_EEP || type == TIMEOUT))
            return read_result::idle;
        return read_result::piece;
    }
}

} // namespace orw
