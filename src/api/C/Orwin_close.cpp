// SPDX-License-Identifier: MIT
// Closing a link: disabling a live unit's links, then releasing the record.
#include "OrwinInternal.h"

#include <sys/socket.h>
#include <unistd.h>

namespace {

// How long closing may spend getting the link-disable commands and the last
// queued bytes out to a unit that has stopped reading.
constexpr int64_t close_send_deadline_ms = 1000;

// From here on sends are best effort: the socket no longer blocks, and the
// transmit path waits for room only until the deadline, so a unit that stops
// reading cannot hold the close.
void bound_sends(ORW *link)
{
    orw_set_blocking(link->sock, false);
    link->nonblocking = 0;
    link->tx_deadline_ms = orw_monotonic_ms() + close_send_deadline_ms;
}

// Leave a negotiated unit with every link disabled; failures are ignored
// because the link is going away whatever the unit says.
void disable_links(ORW *link)
{
    for (int n = 1; n <= link->number_of_links; ++n) {
        Orwin_set_active_link(link, n);
        Orwin_flush(link);
        Orwin_set_mode(link, LINK_mode_disabled);
    }
    usleep(10000);
}

void *close_link(Orwin handle, bool orderly)
{
    ORW *link = orw_link(handle);
    if (link == nullptr)
        return nullptr;
    // Closing never changes the caller's last error.
    int saved_code = Orwin_get_error();
    const char *saved_text = Orwin_get_error_text();

    orw_close_stream(link->tx_record_file);
    link->tx_record_file = nullptr;
    orw_close_stream(link->record_file);
    link->record_file = nullptr;
    if (link->sock >= 0 && link->file < 0)
        bound_sends(link);
    if (link->live)
        disable_links(link);
    link->number_of_links = 0;
    if (link->sock >= 0) {
        if (orderly)
            Orwin_flush(link);
        else
            shutdown(link->sock, SHUT_RDWR);
        close(link->sock); // a replay handle's file is this same descriptor
        link->sock = -1;
        link->file = -1;
    }
    orw_release_link(link);
    orw_restore_error(saved_code, saved_text);
    return nullptr;
}

} // namespace

extern "C" {

void *Orwin_close(Orwin link)
{
    return close_link(link, true);
}

void *Orwin_shutdown(Orwin link)
{
    return close_link(link, false);
}

int Orwin_abort(Orwin handle)
{
    ORW *link = orw_link(handle);
    int rc = 0;
    if (link->file < 0 && link->sock >= 0)
        rc = shutdown(link->sock, SHUT_WR);
    link->live = 0;
    return rc;
}

int Orwin_fastclose(Orwin handle)
{
    struct linger lg = {1, 0};
    return setsockopt(orw_link(handle)->sock, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
}

} // extern "C"
