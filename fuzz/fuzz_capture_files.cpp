// SPDX-License-Identifier: MIT
// Fuzz target for the capture path: an arbitrary unit stream, replayed as a
// recording, goes through a native and a pcap capture that rotate every few
// hundred bytes. Whatever the stream, every byte the capture counted must be
// in its finished files: the pcap files' packet records hold them all, and
// the native files, each replayed on its own, give them all back.
//
//   byte 0: bits 0-2 rotation threshold (32 << n bytes), bit 3 numbered
//           names, bits 4-5 the stream is repeated 1, 2, 4 or 8 times
//   rest:   one operation per byte, so that short inputs make long streams
//           of interleaved frames (see `expand`); 0xFF passes the next byte
//           through as it is, for streams no unit sends
#include "Orwin_Capture.hpp"
#include "Orwin_Pcap.hpp"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

void check(bool ok)
{
    if (!ok)
        __builtin_trap();
}

const std::string &scratch()
{
    static const std::string dir = [] {
        char name[] = "/tmp/orwin_fuzz_capture_XXXXXX";
        check(mkdtemp(name) != nullptr);
        return std::string(name);
    }();
    return dir;
}

void clear_scratch()
{
    std::error_code ec;
    for (const auto &e : std::filesystem::directory_iterator(scratch(), ec))
        std::filesystem::remove_all(e.path(), ec);
}

// Runs a replay capture to its end; true when it ended without an error.
bool run_to_end(orw::trc::capture &c)
{
    c.start(1);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (c.running) {
        check(std::chrono::steady_clock::now() < deadline); // a replay always ends
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    try {
        c.wait();
        return true;
    } catch (const orw::error &) {
        return false;
    }
}

uint32_t le32(const std::vector<uint8_t> &b, size_t at)
{
    return static_cast<uint32_t>(b[at]) | static_cast<uint32_t>(b[at + 1]) << 8 |
           static_cast<uint32_t>(b[at + 2]) << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

std::vector<uint8_t> contents(const std::string &path)
{
    std::vector<uint8_t> out;
    FILE *f = std::fopen(path.c_str(), "rb");
    check(f != nullptr);
    uint8_t buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        out.insert(out.end(), buf, buf + n);
    std::fclose(f);
    return out;
}

// Packet bytes held by a finished pcap file (records typed 0, 1 or 2).
uint64_t pcap_packet_bytes(const std::string &path)
{
    const std::vector<uint8_t> b = contents(path);
    check(b.size() >= 24 && le32(b, 0) == 0xA1B23C4D);
    uint64_t bytes = 0;
    size_t at = 24;
    while (at < b.size()) {
        check(b.size() - at >= 16);
        const uint32_t caplen = le32(b, at + 8);
        check(le32(b, at + 12) == caplen && caplen >= 2 && b.size() - at - 16 >= caplen);
        if (b[at + 17] <= 2)
            bytes += caplen - 2;
        at += 16 + caplen;
    }
    return bytes;
}

// Bytes a native file gives back when replayed alone through a capture.
uint64_t native_file_bytes(const std::string &path)
{
    orw::trc::trc_capture c(("-" + path).c_str(), "", 0, 0);
    check(run_to_end(c));
    return c.status.bytes.total;
}

void frame(std::vector<uint8_t> &out, uint8_t kind, size_t length, uint8_t seed)
{
    if (length <= 60) {
        out.push_back(static_cast<uint8_t>(kind + length));
    } else {
        out.insert(out.end(), {static_cast<uint8_t>(kind | 0x3F), static_cast<uint8_t>(length >> 16),
                               static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)});
    }
    for (size_t i = 0; i < length; ++i)
        out.push_back(static_cast<uint8_t>(seed + i));
}

// Operations (b = the byte): 00xxxxxx selects link (b & 7) + 1; 01xxxxxx an
// EOP frame of (b & 0x3F) + 1 bytes; 10pxxxxx a frame of (b & 0x1F) + 1
// bytes ended by EEP, or without an end when p is set; 11xxxxxx a long EOP
// frame of ((b & 0x3F) + 1) * 97 bytes.
std::vector<uint8_t> expand(const uint8_t *ops, size_t n)
{
    std::vector<uint8_t> out;
    for (size_t i = 0; i < n; ++i) {
        const uint8_t b = ops[i];
        if (b == 0xFF) {
            if (i + 1 < n)
                out.push_back(ops[++i]);
            continue;
        }
        switch (b >> 6) {
        case 0:
            out.insert(out.end(), {0xC0, static_cast<uint8_t>(0x41 + (b & 7))});
            break;
        case 1:
            frame(out, 0x40, (b & 0x3F) + 1u, static_cast<uint8_t>(i));
            break;
        case 2:
            frame(out, (b & 0x20) ? 0x00 : 0x80, (b & 0x1F) + 1u, static_cast<uint8_t>(i));
            break;
        default:
            frame(out, 0x40, ((b & 0x3F) + 1u) * 97u, static_cast<uint8_t>(i));
            break;
        }
    }
    return out;
}

template <class Capture>
void capture_and_check(const std::string &recording, const std::string &target, size_t threshold,
                       bool numbered, uint64_t (*file_bytes)(const std::string &))
{
    auto c = std::make_unique<Capture>(("-" + recording).c_str(), target.c_str(), 0, 0);
    c->fileindex = numbered;
    c->record_file_size = threshold; // far below the 1 MiB steps of the interface
    if (!run_to_end(*c))
        return; // a failed capture lists no file it could not finish
    const uint64_t counted = c->status.bytes.total;
    const size_t files = c->capture_files();
    check(files >= 1);
    std::vector<std::string> names;
    for (size_t i = 0; i < files; ++i)
        names.push_back(c->capture_file(static_cast<int>(i)));
    c.reset();
    uint64_t held = 0;
    for (const std::string &name : names)
        held += file_bytes(name);
    check(held == counted);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // Waveform files are not the subject here.
    setenv("ORW_WF_DIR", "", 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const size_t threshold = static_cast<size_t>(32) << (data[0] & 7);
    const bool numbered = (data[0] & 8) != 0;
    clear_scratch();
    const std::string recording = scratch() + "/stream.rec";
    {
        // A Vex-family recording header, then the stream.
        uint8_t header[16] = {0xC0, 0xCE, 0x00, 0x02};
        header[11] = 100;
        FILE *f = std::fopen(recording.c_str(), "wb");
        check(f != nullptr);
        check(std::fwrite(header, 1, sizeof header, f) == sizeof header);
        const std::vector<uint8_t> stream = expand(data + 1, size - 1);
        for (int i = 0; i < 1 << ((data[0] >> 4) & 3); ++i)
            check(std::fwrite(stream.data(), 1, stream.size(), f) == stream.size());
        check(std::fclose(f) == 0);
    }
    capture_and_check<orw::trc::trc_capture>(recording, scratch() + "/native.trc", threshold, numbered,
                                             native_file_bytes);
    capture_and_check<orw::trc::pcap_capture>(recording, scratch() + "/cap.pcap", threshold, numbered,
                                              pcap_packet_bytes);
    return 0;
}
