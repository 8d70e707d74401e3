// SPDX-License-Identifier: MIT
// A record file taken from a live link, switched mid-stream, replays to
// exactly the packets the live link delivered after the switch.
#include "OrwinInternal.h"
#include "orwin_unitsim.hpp"

#include <gtest/gtest.h>

#include <string>
#include <unistd.h>
#include <vector>

namespace {

struct delivered {
    int link;
    uint32_t type;
    std::vector<uint8_t> data;
    bool operator==(const delivered &o) const { return link == o.link && type == o.type && data == o.data; }
};

void append_packet(std::vector<uint8_t> &stream, size_t size, uint8_t seed, bool eep = false)
{
    uint8_t kind = eep ? 0x80 : 0x40;
    if (size <= 60) {
        stream.push_back(static_cast<uint8_t>(kind + size));
    } else {
        stream.push_back(static_cast<uint8_t>(kind + 63));
        stream.push_back(static_cast<uint8_t>(size >> 16));
        stream.push_back(static_cast<uint8_t>(size >> 8));
        stream.push_back(static_cast<uint8_t>(size));
    }
    for (size_t i = 0; i < size; ++i)
        stream.push_back(static_cast<uint8_t>(seed + i));
}

// Reads one data packet, following link selections; false at end of data.
bool next_packet(Orwin link, int &rx_link, delivered &out)
{
    static std::vector<uint8_t> buffer(1 << 20);
    for (;;) {
        uint32_t type = 0;
        ssize_t n = Orwin_read_packet_full(link, buffer.data(), buffer.size(), &type, RETURN_EXTENSION_DATA);
        if (n < 0)
            return false;
        if (type == Orwin_EXTN && n == 1 && buffer[0] >= 0x40 && buffer[0] < 0x80) {
            rx_link = buffer[0] - 0x40;
        } else if (type == Orwin_EOP || type == Orwin_EEP) {
            out = {rx_link, type, std::vector<uint8_t>(buffer.begin(), buffer.begin() + n)};
            return true;
        }
    }
}

} // namespace

TEST(Replay, SwitchedRecordFileReplaysThePacketsAfterTheSwitch)
{
    orw::unitsim::config cfg;
    cfg.links = 4;
    orw::unitsim::simulator sim(cfg);
    std::string address = sim.address();
    Orwin link = Orwin_open(const_cast<char *>(address.c_str()));
    ASSERT_NE(link, nullptr) << Orwin_get_error_text();
    Orwin_set_rx_timeout(link, 5000);
    Orwin_set_rx_timeout_action(link, Receiver_Timeout_Returns_Error);

    std::vector<uint8_t> stream = {0xC0, 0x42};
    const uint8_t timetag[] = {0xC0, 0x88, 0, 0, 0, 0, 0, 0, 0x27, 0x10};
    stream.insert(stream.end(), timetag, timetag + sizeof timetag);
    for (int i = 0; i < 4; ++i)
        append_packet(stream, 10 + i, static_cast<uint8_t>(i));
    append_packet(stream, 300, 7, true);
    stream.insert(stream.end(), {0xC0, 0x43});
    for (int i = 0; i < 6; ++i)
        append_packet(stream, 1000 * (i + 1), static_cast<uint8_t>(i * 3));
    stream.insert(stream.end(), {0xC0, 0x41});
    append_packet(stream, 0, 0);
    append_packet(stream, 70000, 9);
    sim.inject(stream);

    int live_link = 1;
    delivered packet;
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(next_packet(link, live_link, packet));
    ORW *record = orw_link(link);
    EXPECT_GT(orw_rx_unparsed(&record->rx), 0u) << "the switch should hold unparsed bytes";

    char name[] = "/tmp/orwin-replay-XXXXXX";
    int fd = mkstemp(name);
    ASSERT_GE(fd, 0);
    close(fd);
    ASSERT_EQ(Orwin_set_record_file(link, name), 0);

    std::vector<delivered> live;
    const size_t remaining = 2 + 6 + 2;
    while (live.size() < remaining && next_packet(link, live_link, packet))
        live.push_back(packet);
    ASSERT_EQ(live.size(), remaining);
    ASSERT_EQ(Orwin_set_record_file(link, nullptr), 0);
    Orwin_close(link);

    Orwin replay = Orwin_open_file(name);
    ASSERT_NE(replay, nullptr);
    std::vector<delivered> replayed;
    int replay_link = 1;
    while (next_packet(replay, replay_link, packet))
        replayed.push_back(packet);
    EXPECT_EQ(Orwin_get_error(), Error_Receiver_Shutdown);
    Orwin_close(replay);
    unlink(name);

    ASSERT_EQ(replayed.size(), live.size());
    for (size_t i = 0; i < live.size(); ++i)
        EXPECT_TRUE(replayed[i] == live[i])
            << "packet " << i << " link " << replayed[i].link << " vs " << live[i].link << " size "
            << replayed[i].data.size() << " vs " << live[i].data.size();
}
