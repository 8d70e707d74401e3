// SPDX-License-Identifier: MIT
// Transmit path: byte-exact framing, packets in pieces, flushing, the
// non-blocking resume, and the receiver getting back exactly what was sent.
#include "OrwinInternal.h"
#include "unit_pair.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <random>
#include <thread>
#include <unistd.h>

namespace {

bytes_t pattern(size_t n, uint8_t seed = 0)
{
    bytes_t b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 8));
    return b;
}

bytes_t concat(bytes_t a, const bytes_t &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

bytes_t queued(const unit_pair &u)
{
    const ORW *r = u.record();
    return bytes_t(r->tx_buffer, r->tx_buffer + r->tx_buffer_content);
}

// Reads everything the peer receives until `n` bytes have arrived.
bytes_t receive_exactly(int fd, size_t n)
{
    bytes_t out(n);
    size_t got = 0;
    while (got < n) {
        ssize_t k = read(fd, out.data() + got, n - got);
        if (k <= 0)
            break;
        got += static_cast<size_t>(k);
    }
    out.resize(got);
    return out;
}

struct framing_case {
    size_t length;
    uint32_t type;
    bytes_t header; // expected header; payload follows unless `nothing`
    bool nothing;
};

} // namespace

TEST(Transmit, FramesAreByteExact)
{
    const framing_case cases[] = {
        {5, Orwin_EOP, {0x45}, false},
        {60, Orwin_EOP, {0x7C}, false},
        {61, Orwin_EOP, {0x7D, 0x3D}, false},
        {255, Orwin_EOP, {0x7D, 0xFF}, false},
        {256, Orwin_EOP, {0x7E, 0x01, 0x00}, false},
        {300, Orwin_EEP, {0xBE, 0x01, 0x2C}, false},
        {65535, Orwin_EEP, {0xBE, 0xFF, 0xFF}, false},
        {70000, Orwin_EOP, {0x7F, 0x01, 0x11, 0x70}, false},
        {0, Orwin_EOP, {0x40}, false},
        {0, Orwin_EEP, {0x80}, false},
        {0, Orwin_SPECIAL, {}, true},
        {3, Orwin_SPECIAL, {0xC3}, false},
        {100, Orwin_SPECIAL, {0xFD, 0x64}, false},
        {7, Orwin_PART_EOP_EEP, {0x07}, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE("length " + std::to_string(c.length) + " type " + std::to_string(c.type));
        unit_pair u(SYSTEM_TYPE_Tor, {});
        ASSERT_NE(u.link, nullptr);
        bytes_t payload = pattern(c.length, 3);
        ASSERT_EQ(Orwin_write_packet(u.link, payload.data(), payload.size(), c.type), 0);
        const bytes_t expected = c.nothing ? bytes_t{} : concat(c.header, payload);
        EXPECT_EQ(queued(u), expected);
        EXPECT_TRUE(u.sent().empty()) << "nothing leaves before a flush";
        ASSERT_EQ(Orwin_flush(u.link), 0);
        EXPECT_EQ(receive_exactly(u.peer, expected.size()), expected);
        EXPECT_EQ(u.record()->tx_buffer_content, 0u);
    }
}

TEST(Transmit, OffsetSelectsThePayloadButNotAnExtension)
{
    unit_pair u(SYSTEM_TYPE_Tor, {});
    uint8_t data[] = {0xAA, 0xBB, 0x11, 0x22};
    ASSERT_EQ(Orwin_sendPacket(u.link, data, 2, 2, Orwin_EOP), 0);
    ASSERT_EQ(Orwin_sendPacket(u.link, data, 2, 1, Orwin_EXTN), 0);
    EXPECT_EQ(queued(u), (bytes_t{0x42, 0x11, 0x22, 0xC0, 0xAA}));
}

TEST(Transmit, PiecesJoinInOneFrame)
{
    unit_pair u(SYSTEM_TYPE_Tor, {});
    bytes_t a = pattern(10, 1), b = pattern(20, 2), c = pattern(5, 3);
    ASSERT_EQ(Orwin_write_packet(u.link, a.data(), a.size(), Orwin_INCOMPLETE), 0);
    EXPECT_EQ(u.record()->partialframesz, 10u);
    ASSERT_EQ(Orwin_write_packet(u.link, b.data(), b.size(), Orwin_INCOMPLETE), 0);
    ASSERT_EQ(Orwin_write_packet(u.link, c.data(), c.size(), Orwin_EOP), 0);
    EXPECT_EQ(u.record()->partialframesz, 0u);
    EXPECT_EQ(queued(u), concat(concat(concat({0x7F, 0x00, 0x00, 0x23}, a), b), c));

    // A flush leaves an open frame partial; the packet goes on in a new frame.
    ASSERT_EQ(Orwin_flush(u.link), 0);
    ASSERT_EQ(Orwin_write_packet(u.link, a.data(), 2, Orwin_INCOMPLETE), 0);
    ASSERT_EQ(Orwin_flush(u.link), 0);
    ASSERT_EQ(Orwin_write_packet(u.link, b.data(), 3, Orwin_EEP), 0);
    EXPECT_EQ(queued(u), concat({0x83}, bytes_t(b.begin(), b.begin() + 3)));
}

TEST(Transmit, ExtensionsQueueUntilFlushOrFlushFlag)
{
    struct {
        int (*call)(Orwin);
        uint8_t byte;
    } const commands[] = {
        {Orwin_send_ESC, 0x03},          {Orwin_send_ESC_FCT, 0x04}, {Orwin_send_ESC_EEP, 0x05},
        {Orwin_send_ESC_EOP, 0x06},      {Orwin_send_ESC_ESC, 0x07}, {Orwin_SO_STORE, 0x0C},
        {Orwin_SO_FORWARD, 0x0D},        {Orwin_SO_JOIN, 0x10},      {Orwin_SO_BARRIER, 0x11},
#ifndef ORWIN_EARLIER_BUILD
        {Orwin_send_parity_error, 0x09}, {Orwin_hold_data, 0x2F},
#endif
    };
    unit_pair u(SYSTEM_TYPE_Tor, {});
    bytes_t expected = {0xC0, 0x91, 0x2A, 0xC0, 0x35, 0xC0, 0x3F, 0xC0, 0x47};
    ASSERT_EQ(Orwin_send_timecode(u.link, 0x2A), 0);
    ASSERT_EQ(Orwin_delay(u.link, 5), 0);
    ASSERT_EQ(Orwin_delay(u.link, 200), 0) << "an oversized delay must not become a link selection";
    ASSERT_EQ(Orwin_write_EXTN(u.link, 0x147), 0);
    for (const auto &c : commands) {
        ASSERT_EQ(c.call(u.link), 0);
        expected.push_back(0xC0);
        expected.push_back(c.byte);
    }
    EXPECT_EQ(queued(u), expected);
    EXPECT_TRUE(u.sent().empty());
    EXPECT_EQ(u.record()->log_tx_port, 7) << "link selections are followed without a log file";

    uint8_t one = 9;
    ASSERT_EQ(Orwin_write_packet(u.link, &one, 1, Orwin_EOP | Orwin_FLUSH), 0);
    expected.insert(expected.end(), {0x41, 9});
    EXPECT_EQ(receive_exactly(u.peer, expected.size()), expected);
}

#ifndef ORWIN_EARLIER_BUILD
TEST(Transmit, TransmitRecordFileHoldsEveryByteSent)
{
    unit_pair u(SYSTEM_TYPE_Tor, {});
    char name[] = "/tmp/orwin-txrec-XXXXXX";
    int fd = mkstemp(name);
    ASSERT_GE(fd, 0);
    close(fd);
    ASSERT_EQ(Orwin_set_tx_record_file(u.link, name), 0);
    bytes_t p = pattern(1000, 5);
    ASSERT_EQ(Orwin_write_packet(u.link, p.data(), p.size(), Orwin_EOP), 0);
    ASSERT_EQ(Orwin_send_timecode(u.link, 1), 0);
    ASSERT_EQ(Orwin_flush(u.link), 0);
    uint8_t raw[] = {1, 2, 3};
    ASSERT_EQ(Orwin_write_raw(u.link, raw, sizeof raw), 3);
    ASSERT_EQ(Orwin_set_tx_record_file(u.link, nullptr), 0);

    bytes_t wire = u.sent();
    FILE *f = fopen(name, "rb");
    ASSERT_NE(f, nullptr);
    bytes_t file(wire.size() + 16);
    file.resize(fread(file.data(), 1, file.size(), f));
    fclose(f);
    unlink(name);
    EXPECT_EQ(file, wire);
    EXPECT_EQ(wire.size(), 3 + 1000 + 3 + 3u);
}

TEST(Transmit, ReadRawCountsBytesAndReportsEnd)
{
    unit_pair u(SYSTEM_TYPE_Tor, {});
    const uint64_t before = Orwin_get_total_raw_bytes_received(u.link);
    u.write_raw({1, 2, 3, 4, 5});
    uint8_t buf[16];
    EXPECT_EQ(Orwin_read_raw(u.link, buf, sizeof buf), 5);
    EXPECT_EQ(Orwin_get_total_raw_bytes_received(u.link) - before, 5u);
    shutdown(u.peer, SHUT_WR);
    EXPECT_EQ(Orwin_read_raw(u.link, buf, sizeof buf), 0);
}

// A peer that reads nothing until told: a non-blocking flush stops with -48,
// keeps its progress, and later flushes finish with nothing lost or repeated.
TEST(Transmit, NonBlockingFlushResumesWhereItStopped)
{
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    int small = 4096;
    setsockopt(fds[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    setsockopt(fds[1], SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    Orwin link = Orwin_open_as_server(fds[0]);
    ASSERT_NE(link, nullptr);
    ASSERT_EQ(Orwin_Non_Blocking(link, 1), 0);
    ORW *r = orw_link(link);

    bytes_t expected;
    for (int i = 0; i < 40; ++i) {
        bytes_t p = pattern(1000 + i, static_cast<uint8_t>(i));
        ASSERT_EQ(Orwin_write_packet(link, p.data(), p.size(), Orwin_EOP), 0);
        expected = concat(
            concat(expected, {0x7E, static_cast<uint8_t>((1000 + i) >> 8), static_cast<uint8_t>(1000 + i)}),
            p);
    }
    EXPECT_EQ(Orwin_flush(link), Error_Would_Block);
    EXPECT_GT(r->sent, 0u);
    EXPECT_EQ(r->tx_buffer_content, expected.size()) << "the queued bytes stay for the next flush";

    // Room is checked before anything is queued.
    bytes_t huge(ORW_TX_BUFFER_SIZE);
    EXPECT_EQ(Orwin_write_packet(link, huge.data(), huge.size(), Orwin_EOP), Error_Buffer_Full);
    EXPECT_EQ(r->tx_buffer_content, expected.size());

    bytes_t got;
    uint8_t chunk[8192];
    int rc = Error_Would_Block;
    for (int round = 0; round < 10000 && rc != 0; ++round) {
        ssize_t k;
        while ((k = recv(fds[1], chunk, sizeof chunk, MSG_DONTWAIT)) > 0)
            got.insert(got.end(), chunk, chunk + k);
        rc = Orwin_flush(link);
        ASSERT_TRUE(rc == 0 || rc == Error_Would_Block) << rc;
    }
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(r->sent, 0u);
    got = concat(got, receive_exactly(fds[1], expected.size() - got.size()));
    EXPECT_EQ(got, expected);
    Orwin_close(link);
    close(fds[1]);
}

// A non-blocking packet that fills the buffer exactly is queued, whatever
// the socket does with the send that follows.
TEST(Transmit, NonBlockingExactFillIsNotAFailure)
{
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    Orwin link = Orwin_open_as_server(fds[0]);
    ASSERT_NE(link, nullptr);
    ASSERT_EQ(Orwin_Non_Blocking(link, 1), 0);
    bytes_t p = pattern(ORW_TX_BUFFER_SIZE - 4, 1);
    EXPECT_EQ(Orwin_write_packet(link, p.data(), p.size(), Orwin_EOP), 0);
    std::thread reader([&] {
        EXPECT_EQ(receive_exactly(fds[1], ORW_TX_BUFFER_SIZE), concat({0x7F, 0x0F, 0xFF, 0xFC}, p));
    });
    int rc;
    while ((rc = Orwin_flush(link)) == Error_Would_Block)
        usleep(1000);
    EXPECT_EQ(rc, 0);
    reader.join();
    Orwin_close(link);
    close(fds[1]);
}

#endif

namespace {

// One packet as the sender hands it over: its pieces, and what the receiver
// must get back.
struct planned_packet {
    std::vector<size_t> pieces;
    uint32_t type;
    bool extension_inside = false; // an extension queued between two pieces
};

// The receiving side joins partial reads until EOP or EEP.
void receive_packets(int fd, const std::vector<bytes_t> &want, const std::vector<uint32_t> &types)
{
    Orwin rx = Orwin_open_as_server(fd);
    ASSERT_NE(rx, nullptr);
    // A corrupted stream must fail the test, not hang it.
    Orwin_set_rx_timeout(rx, 5000);
    Orwin_set_rx_timeout_action(rx, Receiver_Timeout_Returns_Error);
    bytes_t buffer(20u << 20);
    for (size_t i = 0; i < want.size(); ++i) {
        bytes_t packet;
        uint32_t type = Orwin_PART_EOP_EEP;
        while (type == Orwin_PART_EOP_EEP) {
            ssize_t n = Orwin_read_packet(rx, buffer.data(), buffer.size(), &type);
            ASSERT_GE(n, 0) << "packet " << i << ": " << Orwin_get_error_text();
            packet.insert(packet.end(), buffer.begin(), buffer.begin() + n);
        }
        ASSERT_EQ(type, types[i]) << "packet " << i;
        ASSERT_EQ(packet.size(), want[i].size()) << "packet " << i;
        ASSERT_TRUE(packet == want[i]) << "packet " << i;
    }
    Orwin_close(rx);
}

void send_and_check(const std::vector<planned_packet> &plan)
{
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    Orwin tx = Orwin_open_as_server(fds[0]);
    ASSERT_NE(tx, nullptr);
    std::vector<bytes_t> want;
    std::vector<uint32_t> types;
    for (size_t i = 0; i < plan.size(); ++i) {
        size_t total = 0;
        for (size_t s : plan[i].pieces)
            total += s;
        want.push_back(pattern(total, static_cast<uint8_t>(i)));
        types.push_back(plan[i].type);
    }
    std::thread reader(receive_packets, fds[1], std::cref(want), std::cref(types));
    // Every failure ends the sending early; closing the link then ends the
    // reader, so the thread is always joined.
    bool ok = true;
    for (size_t i = 0; ok && i < plan.size(); ++i) {
        size_t at = 0;
        const auto &pieces = plan[i].pieces;
        for (size_t k = 0; ok && k < pieces.size(); ++k) {
            const bool last = k + 1 == pieces.size();
            if (plan[i].extension_inside && k == 1)
                ok = Orwin_send_timecode(tx, 7) == 0;
            const uint32_t type = last ? plan[i].type : static_cast<uint32_t>(Orwin_INCOMPLETE);
            ok = ok && Orwin_sendPacket(tx, want[i].data(), at, pieces[k], type) == 0;
            at += pieces[k];
        }
    }
    EXPECT_TRUE(ok) << Orwin_get_error_text();
    EXPECT_EQ(Orwin_flush(tx), 0);
    Orwin_close(tx);
    reader.join();
}

} // namespace

// Packets in pieces of many sizes, with the 1 MiB buffer boundary falling
// inside headers, at piece ends and mid-piece.
TEST(Transmit, ReceiverGetsExactlyThePacketsAcrossBufferBoundaries)
{
    const size_t B = ORW_TX_BUFFER_SIZE;
    std::vector<planned_packet> plan;
    // Leave k bytes free, then hand over a packet in pieces around k.
    for (size_t k = 0; k <= 6; ++k) {
        plan.push_back({{B - k - 4}, Orwin_EOP});
        plan.push_back({{k, 1, k + 1, 60}, k % 2 ? Orwin_EEP : Orwin_EOP});
    }
    plan.push_back({{B - 10}, Orwin_EOP});
    plan.push_back({{3, B, 2 * B + 5, 17}, Orwin_EOP});
    plan.push_back({{1, 1, 1}, Orwin_EEP});
    plan.push_back({{0}, Orwin_EOP});
    plan.push_back({{B - 1}, Orwin_EOP});
    plan.push_back({{0, 0, 100}, Orwin_EOP});
    plan.push_back({{50, 50}, Orwin_EOP, true});

    std::mt19937 rng(12345);
    std::uniform_int_distribution<size_t> size(0, 200000);
    for (int i = 0; i < 40; ++i) {
        planned_packet p{{}, (i % 3) ? Orwin_EOP : Orwin_EEP};
        for (int n = 1 + i % 5; n > 0; --n)
            p.pieces.push_back(size(rng) >> (i % 4 * 4));
        plan.push_back(p);
    }
    send_and_check(plan);
}

// A frame can announce at most 16,777,215 bytes: longer packets, whole or in
// pieces, travel as several frames and still arrive as one packet.
TEST(Transmit, PacketsLongerThanOneFrameArriveWhole)
{
    const size_t max = ORW_MAX_FRAME_PAYLOAD;
    send_and_check({{{max + 10}, Orwin_EOP}, {{max - 5, 20, 7}, Orwin_EEP}, {{5}, Orwin_EOP}});
}

#ifndef ORWIN_EARLIER_BUILD
namespace {

// A non-blocking link over a socket pair with small socket buffers, so a
// flush stops part-way.
struct choked_pair {
    int fds[2] = {-1, -1};
    Orwin link = nullptr;
    choked_pair()
    {
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0)
            return;
        int small = 4096;
        setsockopt(fds[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
        setsockopt(fds[1], SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        // Missing bytes must fail the test, not hang it.
        timeval wait = {5, 0};
        setsockopt(fds[1], SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        link = Orwin_open_as_server(fds[0]);
        if (link)
            Orwin_Non_Blocking(link, 1);
    }
    ~choked_pair()
    {
        if (link)
            Orwin_close(link);
        if (fds[1] >= 0)
            close(fds[1]);
    }
    ORW *record() const { return orw_link(link); }
    // Flush until everything is out, the peer draining into `got`.
    int flush_all(bytes_t &got) const
    {
        uint8_t chunk[8192];
        int rc = Error_Would_Block;
        for (int round = 0; round < 100000 && rc == Error_Would_Block; ++round) {
            ssize_t k;
            while ((k = recv(fds[1], chunk, sizeof chunk, MSG_DONTWAIT)) > 0)
                got.insert(got.end(), chunk, chunk + k);
            rc = Orwin_flush(link);
        }
        return rc;
    }
    bytes_t drain() const
    {
        bytes_t got;
        uint8_t chunk[8192];
        ssize_t k;
        while ((k = recv(fds[1], chunk, sizeof chunk, MSG_DONTWAIT)) > 0)
            got.insert(got.end(), chunk, chunk + k);
        return got;
    }
};

} // namespace

// A piece that fills the buffer exactly goes out at once and part of it,
// header included, is on the wire before the packet's closing piece comes:
// that piece must become a frame of its own, never rewrite the sent header.
TEST(Transmit, ClosingPieceAfterAPartSentFrameIsAFrameOfItsOwn)
{
    choked_pair c;
    ASSERT_NE(c.link, nullptr);
    const bytes_t piece = pattern(ORW_TX_BUFFER_SIZE - 4, 3);
    ASSERT_EQ(Orwin_write_packet(c.link, const_cast<uint8_t *>(piece.data()), piece.size(), Orwin_INCOMPLETE),
              0);
    ASSERT_GT(c.record()->sent, 0u) << "part of the frame is on the wire";
    uint8_t none = 0;
    int rc = Orwin_write_packet(c.link, &none, 0, Orwin_EOP);
    bytes_t got;
    if (rc == Error_Buffer_Full) { // no room until the buffer is out: nothing queued
        ASSERT_EQ(c.flush_all(got), 0);
        rc = Orwin_write_packet(c.link, &none, 0, Orwin_EOP);
    }
    ASSERT_EQ(rc, 0);
    uint8_t xyz[] = {'X', 'Y', 'Z'};
    ASSERT_EQ(Orwin_write_packet(c.link, xyz, 3, Orwin_EOP), 0);
    ASSERT_EQ(c.flush_all(got), 0);
    got = concat(got, c.drain());
    bytes_t expected = concat(concat({0x3F, 0x0F, 0xFF, 0xFC}, piece), {0x40, 0x43, 'X', 'Y', 'Z'});
    EXPECT_EQ(got.size(), expected.size());
    EXPECT_TRUE(got == expected) << "the EOP is its own frame and XYZ a packet of its own";
}

// A direct send never shares progress with the buffer: while a flush is
// part-way it is refused, and once refused or done the next flush neither
// skips nor repeats bytes.
TEST(Transmit, DirectSendsKeepTheirOwnProgress)
{
    using direct_send = ssize_t (*)(Orwin, void *, size_t);
    const std::pair<const char *, direct_send> senders[] = {
        {"Orwin_send", [](Orwin l, void *b, size_t n) { return Orwin_send(l, b, n, 0); }},
        {"Orwin_write_raw", [](Orwin l, void *b, size_t n) { return Orwin_write_raw(l, b, n); }},
    };
    for (const auto &s : senders) {
        SCOPED_TRACE(s.first);
        choked_pair c;
        ASSERT_NE(c.link, nullptr);
        bytes_t expected;
        for (int i = 0; i < 40; ++i) {
            bytes_t p = pattern(1000, static_cast<uint8_t>(i));
            ASSERT_EQ(Orwin_write_packet(c.link, p.data(), p.size(), Orwin_EOP), 0);
            expected = concat(concat(expected, {0x7E, 0x03, 0xE8}), p);
        }
        ASSERT_EQ(Orwin_flush(c.link), Error_Would_Block);
        const size_t progress = c.record()->sent;
        ASSERT_GT(progress, 0u);
        uint8_t hello[] = {'H', 'E', 'L', 'L', 'O'};
        EXPECT_EQ(s.second(c.link, hello, sizeof hello), Error_Would_Block) << "refused mid-frame";
        EXPECT_EQ(c.record()->sent, progress);
        bytes_t got;
        ASSERT_EQ(c.flush_all(got), 0);
        got = concat(got, receive_exactly(c.fds[1], expected.size() - got.size()));
        EXPECT_EQ(s.second(c.link, hello, sizeof hello), 5);
        // A direct send the socket takes only part of gives that count and
        // leaves the buffer's progress alone.
        bytes_t big = pattern(256 * 1024, 9);
        got = concat(got, c.drain());
        ssize_t part = s.second(c.link, big.data(), big.size());
        ASSERT_GT(part, 0);
        ASSERT_LT(part, static_cast<ssize_t>(big.size()));
        EXPECT_EQ(c.record()->sent, 0u);
        got = concat(got, receive_exactly(c.fds[1], expected.size() + 5 + part - got.size()));
        EXPECT_TRUE(got == concat(concat(expected, bytes_t(hello, hello + 5)),
                                  bytes_t(big.begin(), big.begin() + part)));
    }
}

#endif

// Requests the library builds go out as frames of their own while the
// caller has a packet's partial frame open; an empty extension is refused.
TEST(Transmit, CommandsNeverJoinAnOpenFrame)
{
    struct request {
        const char *name;
        int family;
        std::function<int(Orwin)> call;
    };
    const std::vector<int> vex = {0, Orwin_MODULE_LINK, Orwin_MODULE_ram_rw};
    const std::vector<int> tor = {0, Orwin_MODULE_LINK, Orwin_MODULE_LINK_SPEED};
    const request requests[] = {
        {"Vex mode", SYSTEM_TYPE_Vex, [](Orwin l) { return Orwin_set_mode(l, LINK_mode_normal); }},
        {"Vex status request", SYSTEM_TYPE_Vex, [](Orwin l) { return Orwin_request_link_status(l); }},
#ifdef ORWIN_EARLIER_BUILD
        {"Vex register write", SYSTEM_TYPE_Vex,
         [](Orwin l) { return ram_io_write_bytes(l, 1, 0x10, "x", 1); }},
#else
        {"Vex register read", SYSTEM_TYPE_Vex,
         [](Orwin l) { return ram_io_read_bytes(l, 0x10, nullptr, 1); }},
#endif
        {"Vex waveform clear", SYSTEM_TYPE_Vex, [](Orwin l) { return Orwin_EW_reset(l, 1); }},
        {"Tor mode", SYSTEM_TYPE_Tor, [](Orwin l) { return Orwin_set_mode(l, LINK_mode_normal); }},
        {"Tor status request", SYSTEM_TYPE_Tor, [](Orwin l) { return Orwin_request_tx_speed(l); }},
    };
    const bytes_t piece = pattern(10, 1);
    const bytes_t open_frame = concat({0x3F, 0x00, 0x00, 0x0A}, piece);
    for (const request &r : requests) {
        SCOPED_TRACE(r.name);
        unit_pair u(r.family, r.family == SYSTEM_TYPE_Vex ? vex : tor);
        ASSERT_EQ(
            Orwin_write_packet(u.link, const_cast<uint8_t *>(piece.data()), piece.size(), Orwin_INCOMPLETE),
            0);
        ASSERT_GE(r.call(u.link), 0) << Orwin_get_error_text();
        Orwin_flush(u.link);
        bytes_t all = u.sent();
        ASSERT_GT(all.size(), open_frame.size());
        EXPECT_EQ(bytes_t(all.begin(), all.begin() + open_frame.size()), open_frame)
            << "header left a partial";
        const uint8_t h = all[open_frame.size()];
        EXPECT_GE(h, 0xC1) << "the request starts a special frame";
        EXPECT_EQ(all.size(), open_frame.size() + 1 + (h & 0x3F));
    }
    unit_pair u(SYSTEM_TYPE_Vex, vex);
    uint8_t none = 0x45;
    EXPECT_EQ(Orwin_write_packet(u.link, &none, 0, Orwin_EXTN), Error_Zero_Read);
    EXPECT_EQ(u.record()->tx_buffer_content, 0u) << "nothing queued";
}
