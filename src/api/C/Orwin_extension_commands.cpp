// SPDX-License-Identifier: MIT
// Orwin_extension_commands.cpp - extension commands: one- and two-byte
// extensions the unit is to emit on the current link. They are queued, not
// flushed, so they reach the unit with the next flush.
#include "OrwinInternal.h"

namespace {

namespace extn = orw::wire::extn;

int queue_extension(Orwin link, uint8_t command)
{
    return Orwin_sendPacket(link, &command, 0, 1, Orwin_EXTN);
}

} // namespace

extern "C" {

int Orwin_write_EXTN(Orwin link, int extn)
{
    return queue_extension(link, static_cast<uint8_t>(extn));
}

int Orwin_send_timecode(Orwin link, uint8_t tc)
{
    uint8_t extension[2] = {extn::TimeCode, tc};
    return Orwin_sendPacket(link, extension, 0, sizeof extension, Orwin_EXTN);
}

// Delays above 15 would turn into a link selection; they get the longest
// delay instead.
int Orwin_delay(Orwin link, uint8_t delay)
{
    constexpr unsigned longest = extn::Delay_max - extn::Delay;
    return queue_extension(link, static_cast<uint8_t>(extn::Delay + (delay > longest ? longest : delay)));
}

int Orwin_send_ESC(Orwin link)
{
    return queue_extension(link, extn::ESC);
}
int Orwin_send_ESC_FCT(Orwin link)
{
    return queue_extension(link, extn::ESC_FCT);
}
int Orwin_send_ESC_EEP(Orwin link)
{
    return queue_extension(link, extn::ESC_EEP);
}
int Orwin_send_ESC_EOP(Orwin link)
{
    return queue_extension(link, extn::ESC_EOP);
}
int Orwin_send_ESC_ESC(Orwin link)
{
    return queue_extension(link, extn::ESC_ESC);
}
#ifndef ORWIN_EARLIER_BUILD
int Orwin_send_parity_error(Orwin link)
{
    return queue_extension(link, extn::ParityError);
}
#endif
int Orwin_SO_STORE(Orwin link)
{
    return queue_extension(link, extn::STORE);
}
int Orwin_SO_FORWARD(Orwin link)
{
    return queue_extension(link, extn::FORWARD);
}
int Orwin_SO_JOIN(Orwin link)
{
    return queue_extension(link, extn::JOIN);
}
int Orwin_SO_BARRIER(Orwin link)
{
    return queue_extension(link, extn::BARRIER);
}
#ifndef ORWIN_EARLIER_BUILD
int Orwin_hold_data(Orwin link)
{
    return queue_extension(link, extn::HOLD);
}
#endif

} // extern "C"
