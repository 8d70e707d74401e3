// SPDX-License-Identifier: MIT
// orw::connection: decoding of special packets (RAM-I/O replies and
// synchronisation barriers).
#include "Orwin.hpp"

#include "../orw_wire_format.hpp"

#include <cstring>

namespace orw {

namespace {

constexpr int ram_reply_head = static_cast<int>(wire::ram_reply::head_size);
constexpr int link_state_reply = 6;
constexpr int link_speed_reply = 9;
constexpr int tx_speed_reply = 7;
constexpr int barrier_reply = 9; // slot and a 64-bit count
constexpr size_t barrier_count = 1;

inline bool running_state(int state)
{
    return state == connection::SpaceWire_state_Run || state == connection::TRC_state_Connected;
}

} // namespace

int connection::special_data(void *data_, int length_, int complete_, int data_buffer_position_)
{
    special_data_sz = length_ > 0 ? static_cast<size_t>(length_) : 0;
    if (complete_ == 0)
        return 1;

    // A caller may hand its own copy; decoding always works on our buffer.
    size_t held = special_data_sz < sizeof special_data_buffer ? special_data_sz : sizeof special_data_buffer;
    if (data_ && data_ != special_data_buffer && held > 0)
        std::memmove(special_data_buffer, data_, held);
    if (held == 0)
        return unknown_special_data(data_, length_, complete_, data_buffer_position_);

    // Without a handle no slot table exists: every slot is out of range.
    int type = device ? Orwin_get_module_type(device, special_data_buffer) : Error_Function_Not_Supported;
    if (type == ram_rw || type == Error_Function_Not_Supported)
        return ram_rw_data(data_, length_, complete_, data_buffer_position_);
    if (type == barrier && held >= static_cast<size_t>(barrier_reply))
        return barrier_lifted(
            wire::get_be(special_data_buffer + barrier_count, barrier_reply - barrier_count));
    return unknown_special_data(data_, length_, complete_, data_buffer_position_);
}

int connection::ram_rw_data(void *data_, int length_, int complete_, int data_buffer_position_)
{
    const unsigned char *b = special_data_buffer;
    // The reply is decoded from our buffer; never past its end.
    int held = length_;
    if (held < ram_reply_head || static_cast<size_t>(held) > sizeof special_data_buffer || !device)
        return unknown_special_data(data_, length_, complete_, data_buffer_position_);

    int address = static_cast<int>(wire::get_be16(b + wire::ram_reply::address));
    size_t size = static_cast<size_t>(held);
    int port = 0;
    if (address == LINK_address) {
        if (held == link_state_reply) {
            int state = Orwin_extract_link_state(device, special_data_buffer, size, &port);
            return port_status(port, running_state(state), state);
        }
        if (held == link_speed_reply) {
            double speed = Orwin_extract_rx_speed(device, special_data_buffer, size, &port);
            int state = Orwin_extract_link_state(device, special_data_buffer, size, &port);
            return port_status(port, speed, running_state(state), state);
        }
        return unknown_special_data(data_, length_, 1, length_);
    }
    if (address == TX_SPEED_address && held == tx_speed_reply) {
        double speed = Orwin_extract_tx_speed(device, special_data_buffer, size, &port);
        return link_tx_speed(port, speed);
    }
    if (address == EW_address && size == waveform_record_size)
        return raw_waveform_data(special_data_buffer, size);
    return unknown_special_data(data_, length_, complete_, data_buffer_position_);
}

} // namespace orw
