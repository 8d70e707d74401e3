// SPDX-License-Identifier: MIT
// Scaffolding shared by the fuzz targets of the C interface.
#ifndef ORWIN_FUZZ_LINK_HPP
#define ORWIN_FUZZ_LINK_HPP

#include "OrwinInternal.h"

#include <cstring>
#include <unistd.h>

namespace fuzz {

inline void check(bool ok)
{
    if (!ok)
        __builtin_trap();
}

// One link for the whole run: opening allocates tens of MiB, so each input
// only swaps the descriptor and restarts every piece of state a read, a
// query or a command may have left behind.
inline ORW *reusable_link(int fd)
{
    static ORW *link = nullptr;
    if (!link) {
        link = orw_link(Orwin_open_as_server(fd));
        check(link != nullptr);
        return link;
    }
    close(link->sock);
    link->sock = fd;
    // The readiness descriptor watched the old socket.
    if (link->epollfd >= 0)
        close(link->epollfd);
    link->epollfd = -1;
    link->rx_timeout = 0;
    link->rx_timeout_returns_error = 0;
    link->rx_deadline_ms = 0;
    link->tx_deadline_ms = 0;
    link->record_error_pending = 0;
    link->live = 0;
    orw_reset_receive(link);
    link->extn_link = 1;
    link->timezero = 0;
    orw_time_image_init(link);
    link->tx_buffer_content = 0;
    link->partialframesz = 0;
    link->sent = 0;
    link->auto_flush = 1;
    link->number_of_slots = 0;
    memset(link->slot_content, 0, ORW_SLOT_TABLE_ENTRIES * sizeof(int));
    link->ram_io = 0;
    link->number_of_links = 0;
    link->current_port = 1;
    return link;
}

} // namespace fuzz

#endif // ORWIN_FUZZ_LINK_HPP
