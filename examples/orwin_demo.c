/*
 * SPDX-License-Identifier: MIT
 * orwin-demo: open a unit, send packets on link 1, receive them where the
 * unit delivers them, record the received stream and replay the recording.
 *
 *   orwin-demo HOST[:PORT] RECORD_FILE
 */
#include "Orwin.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

enum { PACKETS = 5, BUFFER_SIZE = 65536 };

static int fail(const char *what)
{
    fprintf(stderr, "orwin-demo: %s failed: %d %s\n", what, Orwin_get_error(),
            Orwin_get_error_text() ? Orwin_get_error_text() : "");
    return 1;
}

/* Reads packets and link selections until `wanted` packets arrived. */
static int receive_packets(Orwin link, int wanted, const char *source)
{
    static unsigned char buffer[BUFFER_SIZE];
    int rx_link = 1;
    int packets = 0;
    while (packets < wanted) {
        uint32_t type = 0;
        ssize_t n = Orwin_read_packet_full(link, buffer, sizeof buffer, &type, RETURN_EXTENSION_DATA);
        if (n < 0)
            return fail(source);
        if (type == Orwin_EXTN && n == 1 && buffer[0] >= 0x40 && buffer[0] < 0x80) {
            rx_link = buffer[0] - 0x40;
        } else if (type == Orwin_EOP || type == Orwin_EEP) {
            printf("%s: link %d: %s of %zd bytes: \"%.*s\"\n", source, rx_link,
                   Orwin_pkttype_to_str((int)type), n, (int)n, (const char *)buffer);
            ++packets;
        } else if (type == Orwin_TIMEOUT) {
            fprintf(stderr, "orwin-demo: %s: no packet in time\n", source);
            return 1;
        }
    }
    return 0;
}

int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: orwin-demo HOST[:PORT] RECORD_FILE\n");
        return 2;
    }
    printf("library %s\n", Orwin_get_version());
    Orwin link = Orwin_open(argv[1]);
    if (link == NULL)
        return fail("open");
    printf("opened %s: %s family, %d links, options \"%s\"\n", argv[1],
           Orwin_device_type(link) == SYSTEM_TYPE_Vex ? "Vex" : "Tor", Orwin_get_number_of_links(link),
           Orwin_get_options(link) == Option_SO ? "SO" : "");

    if (Orwin_set_record_file(link, argv[2]) < 0)
        return fail("record file");
    if (Orwin_set_active_link(link, 1) < 0)
        return fail("select link 1");
    for (int i = 0; i < PACKETS; ++i) {
        char text[64];
        int len = snprintf(text, sizeof text, "packet %d from link 1", i);
        if (Orwin_write_packet(link, text, (size_t)len, Orwin_EOP) < 0)
            return fail("send");
    }
    if (Orwin_flush(link) < 0)
        return fail("flush");
    printf("sent %d packets on link 1\n", PACKETS);

    Orwin_set_rx_timeout(link, 2000);
    if (receive_packets(link, PACKETS, "live") != 0)
        return 1;
    Orwin_set_record_file(link, NULL);
    Orwin_close(link);

    Orwin replay = Orwin_open_file(argv[2]);
    if (replay == NULL) {
        fprintf(stderr, "orwin-demo: cannot replay %s\n", argv[2]);
        return 1;
    }
    printf("replaying %s\n", argv[2]);
    int rc = receive_packets(replay, PACKETS, "replay");
    Orwin_close(replay);
    if (rc == 0)
        printf("done\n");
    return rc;
}
