// SPDX-License-Identifier: MIT
// Fuzz target for the unit queries and reply decoders. The input chooses the
// unit family and slot table; the rest is the stream the unit sends back, so
// every query meets arbitrary replies (short, from other slots, oversized
// counts, no reply at all), then link selection, negotiation and the close
// of a live link.
//
//   byte 0: bit 0 family (0 Tor, 1 Vex), bits 1-7 current link
//   byte 1: bits 0-3 number of slots N, bits 4-7 number of links (0 = ask)
//   bytes 2 .. 2+N-1: module type of slots 0 .. N-1 (taken modulo 24)
//   rest: the unit's stream
#include "fuzz_link.hpp"

#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

using fuzz::check;

void take(char *text)
{
    if (text)
        check(strlen(text) <= 255);
    free(text);
}

// Decoders that take a length get an exactly sized copy, so any over-read
// is caught; the others get the whole command buffer, which holds the
// longest reply or extension they may read.
void decode(ORW *link, const unsigned char *reply, size_t length)
{
    std::vector<unsigned char> exact(reply, reply + length);
    unsigned char *p = exact.empty() ? nullptr : exact.data();
    int port = -1;
    int state = Orwin_extract_link_state(link, p, length, &port);
    check(state < 0 || (state <= 7 && port >= 0 && port <= 255));
    check(Orwin_extract_rx_speed(link, p, length, &port) >= 0.0);
    check(Orwin_extract_tx_speed(link, p, length, &port) >= 0.0);
    if (length >= 1)
        Orwin_get_module_type(link, p);
    Orwin_extract_timetag(link, link->cmd_buffer);
    Orwin_extract_timetag_ns(link, link->cmd_buffer);
    Orwin_get_timetag_Tor(link, link->cmd_buffer);
    Orwin_get_timetag_Vex(link, link->cmd_buffer);
    if (length >= 6)
        take(Orwin_HWA_to_serial_number_string(p));
    free(orw_product_string("Product", reinterpret_cast<const char *>(p), length, "?"));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    const int family = (data[0] & 1) ? SYSTEM_TYPE_Vex : SYSTEM_TYPE_Tor;
    const int current = data[0] >> 1;
    const size_t slots = data[1] & 0x0F;
    const int links = data[1] >> 4;
    if (size < 2 + slots)
        return 0;
    const uint8_t *stream = data + 2 + slots;
    const size_t stream_size = size - 2 - slots;

    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0)
        return 0;
    // The unit's side stays open to take the requests, but says no more
    // than the input holds.
    size_t at = 0;
    while (at < stream_size) {
        ssize_t n = write(sv[1], stream + at, stream_size - at);
        check(n > 0);
        at += static_cast<size_t>(n);
    }
    shutdown(sv[1], SHUT_WR);

    ORW *link = fuzz::reusable_link(sv[0]);
    Orwin_system_type(link, family);
    for (size_t i = 0; i < slots; ++i)
        Orwin_set_slot(link, static_cast<int>(i), data[2 + i] % 24);
    link->number_of_links = links;
    link->current_port = current;

    unsigned char hwa[6];
    take(Orwin_get_module_string(link, Orwin_MODULE_PRODUCT));
    take(Orwin_get_manufacturer_string(link));
    take(Orwin_get_product_string(link));
    take(Orwin_get_device_description(link));
    take(Orwin_get_options_string(link));
    if (Orwin_get_HWA(link, hwa) == 0)
        take(Orwin_HWA_to_serial_number_string(hwa));
    int n = Orwin_get_number_of_links(link);
    check(n < 0 || n <= 255);
    Orwin_link_connected(link);
    Orwin_write_buffer_empty(link);
    int speed = Orwin_get_receive_speed(link);
    check(speed < 0 || speed <= 0xFFFF);
    Orwin_request_link_status(link);
    Orwin_request_link_status_port(link, current, current & 1);
    Orwin_request_rx_speed(link);
    Orwin_request_tx_speed(link);
    unsigned char word[4];
    ram_io_read_bytes(link, 0x0001, word, 4);
    ram_io_get_int(link, 0x0000, 4);
    int got = Orwin_get_control_packet(link, nullptr, 0, current);
    if (got > 0)
        decode(link, link->cmd_buffer, static_cast<size_t>(got));
    decode(link, stream, stream_size);

    // Link selection on the input's family, then a negotiation over what
    // the stream still holds.
    Orwin_set_active_link(link, current);
    if (Orwin_negotiate(link) == 0)
        check(link->system_type == SYSTEM_TYPE_Tor || link->system_type == SYSTEM_TYPE_Vex);

    // Mode commands and a close wait some milliseconds for the unit to
    // settle (and a close's link costs tens of MiB), so a bounded number of
    // the inputs that ask for them take them.
    static int slow_inputs = 0;
    if ((current & 0x78) != 0x78 || ++slow_inputs > 200) {
        close(sv[1]);
        return 0;
    }
    Orwin_set_mode(link, current & 3);
    Orwin_set_mode_portmask(link, current & 3, 0x6);
    // Closing a negotiated link of this family sends its link-disable
    // commands; it must end whatever the unit does.
    Orwin closing = Orwin_open_as_server(dup(sv[0]));
    check(closing != nullptr);
    Orwin_system_type(closing, family);
    for (size_t i = 0; i < slots; ++i)
        Orwin_set_slot(closing, static_cast<int>(i), data[2 + i] % 24);
    Orwin_set_number_of_links(closing, static_cast<unsigned>(links & 3));
    orw_link(closing)->live = 1;
    Orwin_close(closing);

    close(sv[1]);
    return 0;
}
