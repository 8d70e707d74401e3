// SPDX-License-Identifier: MIT
// Orwin_extension_commands.cpp - extension commands: one- and two-byte
// extensions the unit is to emit on the current link. They are queued, not
// flushed, so they reach the unit with the next flush.
#include "OrwinInternal.h"

namespace {

int queue_extension(Orwin link, uint8_t command)
{
    return Orwin_sendPacket(link, &command, 0, 1, Orwin_EXTN);
}

} // namespace

extern "C" {

int Orwin_write_EXTN(Orwin link, int extn) { return queue_extension(link, static_cast<uint8_t>(extn)); }

int Orwin_send_timecode(Orwin link, uint8_t tc)
{
    uint8_t extension[2] = {0x91, tc};
    return Orwin_sendPacket(link, extension, 0, sizeof extension, Orwin_EXTN);
}

// Delays above 15 would turn into a link selection (0x40 + n); they get the
// longest delay instead.
int Orwin_delay(Orwin link, uint8_t delay)
{
    return queue_extension(link, static_cast<uint8_t>(0x30 + (delay > 15 ? 15 : delay)));
}

int Orwin_send_ESC(Orwin link) { return queue_extension(link, 0x03); }
int Orwin_send_ESC_FCT(Orwin link) { return queue_extension(link, 0x04); }
int Orwin_send_ESC_EEP(Orwin link) { return queue_extension(link, 0x05); }
int Orwin_send_ESC_EOP(Orwin link) { return queue_extension(link, 0x06); }
int Orwin_send_ESC_ESC(Orwin link) { return queue_extension(link, 0x07); }
#ifndef ORWIN_EARLIER_BUILD
int Orwin_send_parity_error(Orwin link) { return queue_extension(link, 0x09); }
#endif
int Orwin_SO_STORE(Orwin link) { return queue_extension(link, 0x0C); }
int Orwin_SO_FORWARD(Orwin link) { return queue_extension(link, 0x0D); }
int Orwin_SO_JOIN(Orwin link) { return queue_extension(link, 0x10); }
int Orwin_SO_BARRIER(Orwin link) { return queue_extension(link, 0x11); }
#ifndef ORWIN_EARLIER_BUILD
int Orwin_hold_data(Orwin link) { return queue_extension(link, 0x2F); }
#endif

} // extern "C"
