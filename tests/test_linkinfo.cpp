// SPDX-License-Identifier: MIT
// linkinfo: every reference packet at every split point, terminators, path
// dropping, unknown protocols, switches, instance stop/finish and ownership.
#include "Orwin.hpp"
#include "spw_reference.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace spwtest;
using orw::spacewire::connection_t;
using orw::spacewire::linkinfo;

namespace {

constexpr int link_no = 3;

void feed(linkinfo &l, bytes data, int terminator)
{
    l.read_packet(data.data(), data.size(), terminator);
}

// Feeds `p` as up to three pieces cut at `a` and `b` (a <= b), the last with `terminator`.
void feed_split(linkinfo &l, const bytes &p, size_t a, size_t b, int terminator)
{
    feed(l, bytes(p.begin(), p.begin() + a), connection::PART_EOP_EEP);
    feed(l, bytes(p.begin() + a, p.begin() + b), connection::PART_EOP_EEP);
    feed(l, bytes(p.begin() + b, p.end()), terminator);
}

struct Dispatch : ::testing::Test {
    connection_t ifc; // no unit: the dispatchers are fed directly
    linkinfo &link = ifc.links[link_no];
    recording_instance inst;

    void SetUp() override
    {
        ifc.set_verbose(link_no, false);
        for (uint8_t pid : registered_pids)
            ifc.register_protocol(link_no, pid, &inst);
    }
};

} // namespace

TEST_F(Dispatch, EveryReferencePacketAtEverySplitPointIsOneStartItsBodyAndOneEop)
{
    for (const reference_packet &r : reference_packets()) {
        link.set_pa(r.drop_pa);
        const bytes &p = r.packet;
        for (size_t a = 0; a <= p.size(); ++a) {
            for (size_t b = a; b <= p.size(); ++b) {
                SCOPED_TRACE(std::string(r.name) + " split " + std::to_string(a) + "," + std::to_string(b));
                inst.calls.clear();
                feed_split(link, p, a, b, connection::EOP);
                ASSERT_GE(inst.calls.size(), 2u);
                EXPECT_EQ(inst.calls.front(), "start " + std::to_string(r.sla) + " " + std::to_string(r.pid));
                EXPECT_EQ(inst.calls.back(), "eop " + std::to_string(link_no));
                for (size_t i = 1; i + 1 < inst.calls.size(); ++i)
                    EXPECT_EQ(inst.calls[i].rfind("body ", 0), 0u) << inst.calls[i];
                EXPECT_EQ(inst.received, r.body);
                EXPECT_EQ(link.parser_state(), linkinfo::rsla);
            }
        }
    }
}

TEST_F(Dispatch, BodyPiecesCarryTheirOwnTerminator)
{
    feed(link, {0xFE}, connection::PART_EOP_EEP);
    feed(link, {test_pid, 1, 2}, connection::PART_EOP_EEP);
    feed(link, {3}, connection::EOP);
    EXPECT_EQ(inst.calls, (std::vector<std::string>{"start 254 66", "body 2 1000", "body 1 258", "eop 3"}));
}

// The instance gets the packet's bytes, then eep() in place of eop(): a
// reply cut short must end its transaction, not be mistaken for a whole one.
TEST_F(Dispatch, EepEndsThePacketWithEepInsteadOfEop)
{
    for (size_t cut = 0; cut <= 4; ++cut) {
        inst.calls.clear();
        bytes p{0xFE, test_pid, 1, 2};
        feed(link, bytes(p.begin(), p.begin() + cut), connection::PART_EOP_EEP);
        feed(link, bytes(p.begin() + cut, p.end()), connection::EEP);
        EXPECT_EQ(link.parser_state(), linkinfo::rsla) << cut;
        ASSERT_FALSE(inst.calls.empty()) << cut;
        EXPECT_EQ(inst.calls.front(), "start 254 66") << cut;
        EXPECT_EQ(inst.calls.back(), "eep") << cut;
        EXPECT_EQ(inst.received, (bytes{1, 2})) << cut;
        for (const std::string &c : inst.calls)
            EXPECT_NE(c.rfind("eop", 0), 0u) << cut;
        // The next packet starts afresh.
        inst.calls.clear();
        feed(link, {0xFD, test_pid, 9}, connection::EOP);
        EXPECT_EQ(inst.calls, (std::vector<std::string>{"start 253 66", "body 1 258", "eop 3"})) << cut;
    }
}

TEST_F(Dispatch, UnknownProtocolsAreMadeFromTheFactoryTableOnlyWithDefaultHandlers)
{
    static recording_factory factory;
    orw::spacewire::protocol_factory::register_protocol(factory_pid, &factory);
    const int before = recording_instance::live;
    {
        connection_t other;
        linkinfo &l = other.links[1];
        // No factory for 0x43: dropped up to the EOP, the link then works.
        feed(l, {0xFE, 0x43, 1, 2}, connection::EOP);
        EXPECT_EQ(l.parser_state(), linkinfo::rsla);
        EXPECT_EQ(l.get_protocol(0x43), nullptr);

        other.use_default(1, false);
        feed(l, {0xFE, factory_pid, 1}, connection::EOP);
        EXPECT_EQ(l.get_protocol(factory_pid), nullptr);

        other.use_default(1, true);
        feed(l, {0xFE, factory_pid, 1}, connection::EOP);
        auto *made = dynamic_cast<recording_instance *>(l.get_protocol(factory_pid));
        ASSERT_NE(made, nullptr);
        EXPECT_EQ(made->calls, (std::vector<std::string>{"start 254 241", "body 1 258", "eop 1"}));
        EXPECT_EQ(made->ifc, &other);
        EXPECT_EQ(made->linkno, 1);
        feed(l, {0xFE, factory_pid, 2}, connection::EOP);
        EXPECT_EQ(l.get_protocol(factory_pid), made) << "one instance per link and protocol";
        EXPECT_EQ(recording_instance::live, before + 1);
    }
    EXPECT_EQ(recording_instance::live, before) << "made on demand, deleted with the connection";
    orw::spacewire::protocol_factory::register_protocol(factory_pid, nullptr);
}

TEST_F(Dispatch, InactiveLinkAndRawHandlerTakeEverything)
{
    ifc.set_inactive(link_no, true);
    feed(link, {0xFE, test_pid, 1}, connection::EOP);
    EXPECT_TRUE(inst.calls.empty());
    ifc.set_inactive(link_no, false);

    piece_log raw;
    ifc.register_generic(link_no, &raw);
    feed(link, {0xFE}, connection::PART_EOP_EEP); // would have moved the parser on
    feed(link, {test_pid, 1}, connection::EEP);
    feed(link, {}, connection::EOP);
    auto pieces = raw.snapshot();
    ASSERT_EQ(pieces.size(), 3u);
    EXPECT_EQ(pieces[0].data, bytes{0xFE});
    EXPECT_EQ(pieces[1].terminator, connection::EEP);
    EXPECT_EQ(pieces[2].terminator, connection::EOP);
    EXPECT_TRUE(pieces[2].data.empty());
    EXPECT_EQ(link.parser_state(), linkinfo::rsla);
    EXPECT_TRUE(inst.calls.empty());

    ifc.register_generic(link_no, nullptr);
    feed(link, {0xFE, test_pid, 1}, connection::EOP);
    EXPECT_EQ(inst.calls.size(), 3u);
}

TEST_F(Dispatch, ShortPacketsLeaveTheLinkReady)
{
    for (bytes shortp : {bytes{0xFE}, bytes{0x01}, bytes{}}) {
        inst.calls.clear();
        feed(link, shortp, connection::EOP);
        EXPECT_EQ(link.parser_state(), linkinfo::rsla);
        feed(link, {0xFE, test_pid, 7}, connection::EOP);
        EXPECT_EQ(inst.calls, (std::vector<std::string>{"start 254 66", "body 1 258", "eop 3"}));
    }
}

TEST_F(Dispatch, DroppedPathBytesArePrintedWhenVerbose)
{
    ifc.set_pa(link_no, true);
    ifc.set_verbose(link_no, true);
    EXPECT_TRUE(inst.verbose());
    ::testing::internal::CaptureStdout();
    feed(link, {0x03}, connection::PART_EOP_EEP);
    feed(link, {0x07, 0xFE, test_pid}, connection::EOP);
    feed(link, {0xFE, test_pid}, connection::EOP);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Dropping pa 03\nDropping pa 07\n");
}

TEST_F(Dispatch, RejectedBodyDropsTheRestButTheInstanceStillSeesTheEop)
{
    inst.accept = false;
    feed(link, {0xFE, test_pid, 1}, connection::PART_EOP_EEP);
    EXPECT_EQ(link.parser_state(), linkinfo::error);
    feed(link, {2, 3}, connection::PART_EOP_EEP);
    feed(link, {4}, connection::EOP);
    EXPECT_EQ(inst.calls, (std::vector<std::string>{"start 254 66", "body 1 1000", "eop 3"}));
    EXPECT_EQ(link.parser_state(), linkinfo::rsla);
}

TEST_F(Dispatch, StopUnregistersAndFinisStopsTheReaderAtTheEndOfThePacket)
{
    ifc.thread_enabled = true; // as if the reader were wanted
    inst.finish_after = 1;
    feed(link, {0xFE, test_pid}, connection::EOP);
    EXPECT_FALSE(ifc.thread_enabled.load());
    EXPECT_EQ(link.get_protocol(test_pid), &inst);

    inst.stop_after = 2;
    inst.shutdown = false;
    feed(link, {0xFE, test_pid}, connection::EOP);
    EXPECT_EQ(link.get_protocol(test_pid), nullptr) << "removed, left to its owner";
    inst.calls.clear();
    feed(link, {0xFE, test_pid}, connection::EOP);
    EXPECT_TRUE(inst.calls.empty());
}

TEST_F(Dispatch, UnregisteredInMidPacketGetsNothingMore)
{
    feed(link, {0xFE, test_pid, 1}, connection::PART_EOP_EEP);
    recording_instance other;
    ifc.register_protocol(link_no, test_pid, &other);
    feed(link, {2}, connection::EOP);
    EXPECT_EQ(inst.calls, (std::vector<std::string>{"start 254 66", "body 1 1000"}));
    EXPECT_TRUE(other.calls.empty());
    feed(link, {0xFE, test_pid, 3}, connection::EOP);
    EXPECT_EQ(other.calls.size(), 3u);
}

TEST(DispatchRegistration, LinksOutsideTheTableAreRefused)
{
    connection_t ifc;
    recording_instance inst;
    try {
        ifc.register_protocol(32, test_pid, &inst);
        FAIL() << "link 32 accepted";
    } catch (const orw::error &e) {
        EXPECT_EQ(e.get(), connection::Error_Invalid_Link);
    }
    EXPECT_THROW(ifc.set_pa(255, true), orw::error);
    EXPECT_NO_THROW(ifc.register_protocol(31, test_pid, &inst));
    EXPECT_EQ(ifc.get_protocol(31, test_pid), &inst);
    EXPECT_EQ(inst.ifc, &ifc);
    EXPECT_EQ(inst.linkno, 31);
    EXPECT_FALSE(ifc.thread_running.load()) << "no unit, no reader";
}
