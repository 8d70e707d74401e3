// SPDX-License-Identifier: MIT
// Fuzz target for event decoding: arbitrary bytes replayed from a memory
// file through a derived connection with every callback on.
//
//   byte 0: bit i set makes callback group i return false (stopping the
//           read): 0 events, 1 time-codes, 2 link status, 3 waveforms,
//           4 unknown frames and RAM-I/O data, 5 barriers, 6 control
//           characters, 7 timetag uncertainty
//   byte 1: bit 0 Tor-family replay (else Vex); bit 1 put a waveform-sized
//           RAM-I/O reply (2,072..2,079 bytes, bits 2-4) before the stream,
//           its body taken from the stream bytes; bits 5-7 size of the
//           special and extension callback buffers (small ones cut packets)
//   rest:   the stream
#include "Orwin.hpp"

#include <cstdio>
#include <cstring>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

namespace {

void check(bool ok)
{
    if (!ok)
        __builtin_trap();
}

struct probe : orw::connection {
    unsigned stops = 0;
    bool result(int group) const { return !(stops & (1u << group)); }

    bool parity_error() override { return result(0); }
    bool link_timeout() override { return result(0); }
    bool missing_data() override { return result(0); }
    bool esc_eep() override { return result(0); }
    bool perror1() override { return result(0); }
    bool perror2() override { return result(0); }
    bool error_event() override { return result(0); }
    bool received_fct() override { return result(6); }
    bool received_esc_fct() override { return result(6); }
    bool esc_eop() override { return result(6); }
    bool esc_esc() override { return result(6); }
    bool timetag_uncertainty(uint32_t) override { return result(7); }
    bool unknown_ram_data(void *, int length_, int, int) override
    {
        check(length_ >= 0);
        return result(4);
    }
    void link_selected(int link_) override { check(link_ >= 1 && link_ <= 8); }
    bool timecode(uint8_t tc_, uint8_t a_, uint8_t b_, uint8_t t_) override
    {
        check(a_ <= 1 && b_ <= 1 && t_ < 64 && ((a_ << 7) | (b_ << 6) | t_) == tc_);
        return result(1);
    }
    void timetag(uint64_t) override
    {
        if (rx_link < static_cast<unsigned>(max_timestamps))
            check(timestamps[rx_link].ns < 1000000000ul || !t0start);
    }
    bool port_status(int, double, bool, int runstatus_) override
    {
        check(runstatus_ >= 0 && runstatus_ <= 7);
        return result(2);
    }
    bool port_status(int, bool, int runstatus_) override
    {
        check(runstatus_ >= 0 && runstatus_ <= 7);
        return result(2);
    }
    bool link_tx_speed(int, double) override { return result(2); }
    bool waveform_data(int erridx, int unit, int port, int ew_port, int event, char *cause,
                       unsigned char *data_, size_t sz) override
    {
        check(sz == waveform_record_size && data_ != nullptr);
        check(erridx >= 0 && erridx < 65536 && unit >= 0 && unit < 65536);
        check(port >= 0 && port < 256 && ew_port >= 0 && ew_port < 16 && event >= 0 && event < 16);
        check(strnlen(cause, 256) < 256);
        return result(3);
    }
    bool unknown_special_data(void *, int length_, int, int) override
    {
        check(length_ >= 0);
        return result(4);
    }
    bool unknown_extn_data(void *, int length_, int, int) override
    {
        check(length_ >= 0 && length_ <= 16);
        return result(4);
    }
    bool barrier_lifted(uint64_t) override { return result(5); }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    static int fd = memfd_create("orwin_fuzz_connection", 0);
    check(fd >= 0);
    check(ftruncate(fd, 0) == 0);
    std::vector<uint8_t> stream;
    if (data[1] & 2) {
        // Random content is unlikely to grow a 2 KiB frame by itself.
        size_t record = 2072 + ((data[1] >> 2) & 7);
        stream = {0xFE, static_cast<uint8_t>(record >> 8), static_cast<uint8_t>(record), 2, 0, 1, 0x10, 0x00};
        for (size_t i = 5; i < record; ++i)
            stream.push_back(size > 2 ? data[2 + (i % (size - 2))] : 0);
    }
    stream.insert(stream.end(), data + 2, data + size);
    check(pwrite(fd, stream.data(), stream.size(), 0) == static_cast<ssize_t>(stream.size()));
    // Each open gets a descriptor of its own, read from position 0.
    std::string path = "-/proc/self/fd/" + std::to_string(fd);

    probe c;
    c.stops = data[0];
    c.connect(path);
    if (data[1] & 1)
        Orwin_system_type(c.device, orw::connection::SYSTEM_TYPE_Tor);
    static const size_t callback_sizes[8] = {orw::connection::callback_buffer_size, 1, 2, 3, 9, 16, 64, 2075};
    const size_t cb_size = callback_sizes[data[1] >> 5];
    Orwin_read_packet_special_callback(c.device, c.special_data_buffer, cb_size,
                                       orw::connection::special_data_s);
    Orwin_read_packet_extension_callback(c.device, c.extn_data_buffer, cb_size, orw::connection::extn_data_s);

    static unsigned char buffer[4096];
    uint32_t type = 0;
    // Every read consumes input or ends it, so this bound is never reached
    // by a correct decoder.
    for (size_t reads = 0; reads <= stream.size() + 2; ++reads) {
        ssize_t n = Orwin_read_packet_full(c.device, buffer, sizeof buffer, &type,
                                           orw::connection::CALLBACK_SPECIAL_DATA |
                                               orw::connection::CALLBACK_EXTENSION_DATA);
        if (n < 0)
            return 0;
        // Link selections name links 0 to 63.
        check(c.rx_link < 64);
    }
    check(false);
    return 0;
}
