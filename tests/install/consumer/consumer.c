/*
 * SPDX-License-Identifier: MIT
 * A program built against an installed orwin: opens a unit, sends a packet
 * on link 1 and expects it back on link 2.   consumer HOST:PORT
 */
#include <Orwin.h>

#include <stdio.h>
#include <string.h>

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: consumer HOST:PORT\n");
        return 2;
    }
    Orwin link = Orwin_open(argv[1]);
    if (link == NULL) {
        fprintf(stderr, "consumer: open: %s\n", Orwin_get_error_text());
        return 1;
    }
    char text[] = "hello from an installed orwin";
    unsigned char buffer[256];
    uint32_t type = 0;
    ssize_t n = -1;
    if (Orwin_set_active_link(link, 1) == 0 &&
        Orwin_write_packet(link, text, sizeof text, Orwin_EOP | Orwin_FLUSH) == 0 &&
        Orwin_set_rx_timeout(link, 2000) == 0) {
        do {
            n = Orwin_read_packet(link, buffer, sizeof buffer, &type);
        } while (n >= 0 && type != Orwin_EOP && type != Orwin_TIMEOUT);
    }
    int ok = type == Orwin_EOP && n == (ssize_t)sizeof text && memcmp(buffer, text, sizeof text) == 0;
    printf("%s: %d links, packet %s\n", Orwin_get_version(), Orwin_get_number_of_links(link),
           ok ? "came back" : "lost");
    Orwin_close(link);
    return ok ? 0 : 1;
}
