// SPDX-License-Identifier: MIT
// Orwin_time_image.cpp - the time image: what the receiver remembers of the
// unit's timing extensions, kept ready to be copied into a new record file so
// that the file replays with the right time base on its own.
#include "OrwinInternal.h"

#include <cstring>

namespace {

namespace wire = orw::wire;
namespace image = orw::wire::time_image;

constexpr int kFirstLink = image::first_link;
constexpr int kLastLink = image::last_link;
static_assert(image::entry_offset(kLastLink) + image::entry_size <= ORW_TIME_IMAGE_SIZE,
              "time image too small");
constexpr int kTimeTag = wire::extn::TimeTag;
constexpr int kTimeTagDelta = wire::extn::TimeTag_delta;
constexpr int kTimeTagSize = wire::extension_size(kTimeTag);
constexpr int kTimeTagDeltaSize = wire::extension_size(kTimeTagDelta);

inline int entry_offset(int link_number)
{
    return static_cast<int>(image::entry_offset(link_number));
}

// Put the two bytes of an extension frame's start: 0xC0 and the command.
inline void put_frame_start(unsigned char *at, unsigned command)
{
    at[0] = static_cast<unsigned char>(wire::extension_start);
    at[1] = static_cast<unsigned char>(command);
}

} // namespace

void orw_time_image_init(ORW *link)
{
    unsigned char *tb = link->time_buffer;
    if (!tb)
        return;
    memset(tb, 0, ORW_TIME_IMAGE_SIZE);
    put_frame_start(tb + image::time_zero, wire::extn::TimeZero);
    for (int n = kFirstLink; n <= kLastLink; ++n) {
        unsigned char *e = tb + entry_offset(n);
        e[image::select] = wire::link_select(static_cast<unsigned>(n));
        put_frame_start(e + image::timetag, kTimeTag);
        put_frame_start(e + image::increment, kTimeTagDelta);
    }
}

void orw_time_image_update(ORW *link, int byte)
{
    const int cmd = orw_rx_extension_command(&link->rx);
    const int due = orw_rx_extension_due(&link->rx); // bytes still due, this one included
    // Every link selection moves the image to its link; one outside the
    // image (0, or above 30) then just has no entry to write.
    if (wire::is_link_select(static_cast<unsigned>(cmd))) {
        if (due > 0)
            link->extn_link = static_cast<int>(wire::link_of_select(static_cast<unsigned>(cmd)));
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
        } else if (has_entry && due <= kTimeTagDeltaSize) {
            // The command to the entry's copy of it, then the increment.
            tb[b + static_cast<int>(image::increment + 1) + kTimeTagDeltaSize - due] = v;
        }
        return;
    }

    if (due > 0) {
        if (!tb || due > kTimeTagSize)
            return;
        // The command to the entry's (and the time zero's) copy of it, then
        // the count.
        if (has_entry)
            tb[b + static_cast<int>(image::timetag + 1) + kTimeTagSize - due] = v;
        if (link->timezero == 0)
            tb[static_cast<int>(image::time_zero + 1) + kTimeTagSize - due] = v;
        return;
    }
    orw_rx_clear_extension_command(&link->rx);
    if (!tb)
        return;
    if (link->timezero == 0) {
        link->timezero = 1;
        put_frame_start(tb + image::time_zero, wire::extn::TimeZero);
    }
    if (has_entry) {
        tb[b + static_cast<int>(image::valid)] = static_cast<unsigned char>(wire::extension_start);
        wire::put_be(tb + b + image::increment + 2, 0, wire::timetag::increment_size);
    }
}
