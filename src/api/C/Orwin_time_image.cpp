// SPDX-License-Identifier: MIT
// Orwin_time_image.cpp - the time image: what the receiver remembers of the
// unit's timing extensions, kept ready to be copied into a new record file so
// that the file replays with the right time base on its own.
#include "OrwinInternal.h"

#include <cstring>

namespace {

constexpr int kEntryBase = 64;    // entry of link n starts at 64 + 16 n
constexpr int kEntrySize = 16;
constexpr int kFirstLink = 1;
constexpr int kLastLink = 30;     // 64 + 16 * 30 + 15 = 559 < 592
constexpr int kTimeTag = 0x88;    // 9 bytes
constexpr int kTimeTagDelta = 0x82; // 3 bytes

inline int entry_offset(int link_number) { return kEntryBase + kEntrySize * link_number; }

} // namespace

void orw_time_image_init(ORW *link)
{
    unsigned char *tb = link->time_buffer;
    if (!tb)
        return;
    memset(tb, 0, ORW_TIME_IMAGE_SIZE);
    tb[0] = 0xC0;
    tb[1] = 0x98;
    for (int n = kFirstLink; n <= kLastLink; ++n) {
        unsigned char *e = tb + entry_offset(n);
        e[1] = static_cast<unsigned char>(0x40 + n);
        e[2] = 0xC0;
        e[3] = kTimeTag;
        e[12] = 0xC0;
        e[13] = kTimeTagDelta;
    }
}

void orw_time_image_update(ORW *link, int byte)
{
    const int cmd = orw_rx_extension_command(&link->rx);
    const int due = orw_rx_extension_due(&link->rx); // bytes still due, this one included
    // Every link selection moves the image to its link; one outside the
    // image (0, or above 30) then just has no entry to write.
    if (cmd >= 0x40 && cmd <= 0x7F) {
        if (due > 0)
            link->extn_link = cmd - 0x40;
        return;
    }
    if (cmd != kTimeTag && cmd != kTimeTagDelta)
        return;
    unsigned char *tb = link->time_buffer;
    // A link outside the image still completes the extension, it just has no
    // entry to write.
    const bool has_entry = tb && link->extn_link >= kFirstLink && link->extn_link <= kLastLink;
    const int b = entry_offset(has_entry ? link->extn_link : kFirstLink);
    const unsigned char v = static_cast<unsigned char>(byte);

    if (cmd == kTimeTagDelta) {
        if (due == 0) {
            orw_rx_clear_extension_command(&link->rx);
        } else if (has_entry && due <= 3) {
            tb[b + 16 - due] = v;
        }
        return;
    }

    if (due > 0) {
        if (!tb || due > 9)
            return;
        if (has_entry)
            tb[b + 12 - due] = v;
        if (link->timezero == 0)
            tb[10 - due] = v;
        return;
    }
    orw_rx_clear_extension_command(&link->rx);
    if (!tb)
        return;
    if (link->timezero == 0) {
        link->timezero = 1;
        tb[0] = 0xC0;
        tb[1] = 0x98;
    }
    if (has_entry) {
        tb[b] = 0xC0;
        tb[b + 14] = 0;
        tb[b + 15] = 0;
    }
}
