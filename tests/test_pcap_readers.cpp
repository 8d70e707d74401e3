// SPDX-License-Identifier: MIT
// A pcap capture of known traffic from the simulator (timetags, time-codes,
// every kind of event and packets on several links, a packet beyond the
// snap length, one in pieces) opened by real readers: libpcap with its
// record count, lengths and nanosecond times, tshark without and with the
// shipped dissector, which must show link, type, RMAP and CCSDS fields and
// flag the bad CRC; and a file of packets split over records, checked only
// once whole.
#include "Orwin_Pcap.hpp"
#include "capture_files.hpp"
#include "capture_probe.hpp"
#include "known_packets.hpp"
#include "orwin_unitsim.hpp"
#include "pcap_reader.hpp"
#include "rmap_reference.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>

namespace {

using namespace orw::unitsim;

struct expected {
    int link;
    int type;
    size_t caplen;
    std::string fields; // tshark's dissector fields, '|'-separated
};

constexpr uint64_t first_tt = 10000000000ull; // 1 s in 0.1 ns counts

std::vector<uint8_t> numbered(size_t n)
{
    std::vector<uint8_t> b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = static_cast<uint8_t>(0x40 + i % 151); // never a path byte first
    return b;
}

// Sends the known traffic; returns the records it must give, in order.
std::vector<expected> send_known_traffic(simulator &sim)
{
    std::vector<expected> out;
    const std::vector<uint8_t> cmd = test::rmap_write_command(), reply = test::rmap_write_reply(),
                               bad = test::rmap_read_reply_bad_data_crc(), ccsds = test::ccsds_packet();
    // Fields: link|type|rmap.tid|header_crc_ok|data_crc_ok|ccsds.apid|timecode|continuation|crc_bad
    sim.emit_timetag(1, first_tt);
    sim.emit_packet(1, cmd);
    out.push_back({1, 2, cmd.size() + 2, "1|2|5|1|1||||"});
    sim.emit_timetag(1, first_tt + 10000); // one microsecond later
    sim.emit_packet(1, reply);
    out.push_back({1, 2, reply.size() + 2, "1|2|5|1|||||"});
    sim.emit_timecode(3, 0x2A);
    out.push_back({3, 11, 3, "3|11|||||0x2a||"});
    const struct {
        uint8_t command;
        int type;
    } events[] = {{event_parity_error, 3}, {event_missing_data, 4}, {event_timeout, 5}, {event_perror1, 6},
                  {event_perror2, 7},      {event_esc_esc, 8},      {event_esc_eop, 9}, {event_esc_eep, 10},
                  {event_fct, 12},         {event_esc_fct, 13}};
    int link = 2;
    for (const auto &e : events) {
        sim.emit_event(link, e.command);
        out.push_back({link, e.type, 2, std::to_string(link) + "|" + std::to_string(e.type) + "|||||||"});
        link = link == 8 ? 2 : link + 1;
    }
    sim.emit_packet(4, ccsds);
    out.push_back({4, 2, ccsds.size() + 2, "4|2||||42|||"});
    sim.emit_packet(5, numbered(200 * 1024), true);
    const size_t full = pcap::snap_length - 2;
    out.push_back({5, 0, 65536, "5|0|||||||"});
    for (int i = 0; i < 2; ++i)
        out.push_back({5, 0, 65536, "5|0||||||1|"});
    out.push_back({5, 1, 200 * 1024 - 3 * full + 2, "5|1||||||1|"});
    sim.emit_packet(6, bad);
    out.push_back({6, 2, bad.size() + 2, "6|2|4660|1|0||||1"});
    sim.emit_packet(7, numbered(300), false, {100, 100});
    out.push_back({7, 0, 102, "7|0|||||||"});
    out.push_back({7, 0, 102, "7|0||||||1|"});
    out.push_back({7, 2, 102, "7|2||||||1|"});
    return out;
}

struct pcap_probe : orw::trc::pcap_capture {
    using pcap_capture::pcap_capture;
    ~pcap_probe() override { join_threads(); }
};

// Output of `command`; `status` its exit status. Standard error goes to
// `err` without the reader's warning about running as root.
std::string run(const std::string &command, int &status, std::string &err)
{
    const std::string err_file = "/tmp/orwin_reader_err_" + std::to_string(getpid());
    FILE *p = popen((command + " 2>" + err_file).c_str(), "r");
    std::string out;
    if (!p) {
        status = -1;
        return out;
    }
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    status = pclose(p);
    std::ifstream in(err_file);
    std::string line;
    err.clear();
    while (std::getline(in, line))
        if (line.find("Running as user") == std::string::npos)
            err += line + "\n";
    std::remove(err_file.c_str());
    return out;
}

std::vector<std::string> lines(const std::string &s)
{
    std::vector<std::string> out;
    std::istringstream in(s);
    std::string line;
    while (std::getline(in, line))
        out.push_back(line);
    return out;
}

class PcapReaders : public ::testing::Test {
  protected:
    static void SetUpTestSuite()
    {
        dir = new test::scratch_dir;
        path = new std::string(*dir / "known.pcap");
        simulator sim(recording_unit("TRC-8"));
        pcap_probe c(sim.address().c_str(), path->c_str(), 0, 0);
        c.start(1);
        ASSERT_TRUE(test::eventually([&] { return c.capture_thread_running.load(); }));
        want = new std::vector<expected>(send_known_traffic(sim));
        ASSERT_TRUE(test::eventually([&] { return c.records >= want->size(); }));
        c.stop();
        c.wait();
    }
    static void TearDownTestSuite()
    {
        delete want;
        delete path;
        delete dir;
    }
    static test::scratch_dir *dir;
    static std::string *path;
    static std::vector<expected> *want;
};
test::scratch_dir *PcapReaders::dir = nullptr;
std::string *PcapReaders::path = nullptr;
std::vector<expected> *PcapReaders::want = nullptr;

} // namespace

TEST_F(PcapReaders, LibpcapReadsEveryRecordWithItsLengthAndNanosecondTime)
{
    test::pcap_contents got = test::read_pcap(*path);
    EXPECT_EQ(got.error, "");
    EXPECT_EQ(got.linktype, 147);
    ASSERT_EQ(got.records.size(), want->size());
    for (size_t i = 0; i < want->size(); ++i) {
        EXPECT_EQ(got.records[i].link(), (*want)[i].link) << i;
        EXPECT_EQ(got.records[i].type(), (*want)[i].type) << i;
        EXPECT_EQ(got.records[i].body.size(), (*want)[i].caplen) << i;
    }
    // The unit's timetags one microsecond apart stamp the two RMAP packets.
    const auto ns = [&](size_t i) { return got.records[i].sec * 1000000000ll + got.records[i].nsec; };
    EXPECT_EQ(ns(1) - ns(0), 1000);
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    for (size_t i = 0; i < got.records.size(); ++i)
        EXPECT_NEAR(static_cast<double>(got.records[i].sec), static_cast<double>(now.tv_sec), 30.0) << i;
    EXPECT_EQ(std::vector<uint8_t>(got.records[0].body.begin() + 2, got.records[0].body.end()),
              test::rmap_write_command());
}

TEST_F(PcapReaders, TsharkReadsTheWholeFile)
{
    int status = 0;
    std::string err;
    std::string out =
        run("tshark -r '" + *path + "' -T fields -e frame.len -e frame.time_epoch", status, err);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(err, "");
    std::vector<std::string> got = lines(out);
    ASSERT_EQ(got.size(), want->size());
    for (size_t i = 0; i < want->size(); ++i)
        EXPECT_EQ(got[i].substr(0, got[i].find('\t')), std::to_string((*want)[i].caplen)) << i;
}

TEST_F(PcapReaders, DissectorShowsLinksTypesRmapCcsdsAndFlagsABadCrc)
{
    int status = 0;
    std::string err;
    const char *fields[] = {"orwin.link",
                            "orwin.type",
                            "orwin.rmap.tid",
                            "orwin.rmap.header_crc_ok",
                            "orwin.rmap.data_crc_ok",
                            "orwin.ccsds.apid",
                            "orwin.timecode",
                            "orwin.continuation",
                            "orwin.rmap.crc_bad"};
    std::string command =
        "tshark -X lua_script:" ORWIN_DISSECTOR_PATH " -r '" + *path + "' -T fields -E separator='|'";
    for (const char *f : fields)
        command += std::string(" -e ") + f;
    std::vector<std::string> got = lines(run(command, status, err));
    EXPECT_EQ(status, 0);
    EXPECT_EQ(err, "");
    ASSERT_EQ(got.size(), want->size());
    for (size_t i = 0; i < want->size(); ++i)
        EXPECT_EQ(got[i], (*want)[i].fields) << i;

    // The summary names the RMAP operation and the CRC mismatch.
    std::string summary =
        run("tshark -X lua_script:" ORWIN_DISSECTOR_PATH " -r '" + *path + "'", status, err);
    EXPECT_NE(summary.find("Link 1 EOP RMAP write command tid 5 address 0x00001000"), std::string::npos)
        << summary;
    EXPECT_NE(summary.find("Link 6 EOP RMAP read reply tid 4660 status 0 [CRC mismatch]"), std::string::npos);
    EXPECT_NE(summary.find("Link 3 Time-code 0x2a"), std::string::npos);
    EXPECT_NE(summary.find("Link 2 Parity error"), std::string::npos);
}

TEST(PcapDissector, ChecksDataCrcsOnlyOverWholePacketsAndShowsReadModifyWrite)
{
    test::scratch_dir dir;
    const std::vector<uint8_t> write = test::rmap_write_command(); // 17 header bytes, 4 data, CRC
    const std::vector<uint8_t> rmw = rmap_ref::rmw_command();
    std::vector<uint8_t> rmw_reply = {0x67, 0x01, 0x1C, 0x00, 0xFE, 0x00, 0x02, 0x00, 0x00, 0x00, 0x04};
    rmw_reply.push_back(test::rmap_crc(rmw_reply));
    const std::vector<uint8_t> old_value = {0xAA, 0xBB, 0xCC, 0xDD};
    rmw_reply.insert(rmw_reply.end(), old_value.begin(), old_value.end());
    rmw_reply.push_back(test::rmap_crc(old_value));
    // The write command in three records on link 1, between other links' packets.
    const struct {
        int link, type;
        std::vector<uint8_t> body;
        const char *fields; // link|type|data_crc_ok|data|mask|data_crc_later|crc_bad|reassembled
    } records[] = {
        {1, 0, {write.begin(), write.begin() + 19}, "1|0||0102||1||"},
        {2, 2, rmw, "2|2|1|11223344|f00fff00|||"},
        {1, 0, {write.begin() + 19, write.begin() + 21}, "1|0||||||"},
        {2, 2, rmw_reply, "2|2|1|aabbccdd||||"},
        {1, 2, {write.begin() + 21, write.end()}, "1|2|1|01020304||||3"},
    };
    const std::string path = dir / "parts.pcap";
    std::ofstream out(path, std::ios::binary);
    const uint32_t file_header[6] = {0xA1B23C4D, 0x00040002, 0, 0, 65536, 147};
    out.write(reinterpret_cast<const char *>(file_header), sizeof file_header);
    for (const auto &r : records) {
        const uint32_t size = static_cast<uint32_t>(r.body.size() + 2);
        const uint32_t head[4] = {1, 0, size, size};
        const char kind[2] = {static_cast<char>(r.link), static_cast<char>(r.type)};
        out.write(reinterpret_cast<const char *>(head), sizeof head);
        out.write(kind, 2);
        out.write(reinterpret_cast<const char *>(r.body.data()), static_cast<std::streamsize>(r.body.size()));
    }
    out.close();

    int status = 0;
    std::string err;
    std::string command =
        "tshark -X lua_script:" ORWIN_DISSECTOR_PATH " -r '" + path + "' -T fields -E separator='|'";
    for (const char *f :
         {"orwin.link", "orwin.type", "orwin.rmap.data_crc_ok", "orwin.rmap.data", "orwin.rmap.mask",
          "orwin.rmap.data_crc_later", "orwin.rmap.crc_bad", "orwin.reassembled_records"})
        command += std::string(" -e ") + f;
    std::vector<std::string> got = lines(run(command, status, err));
    EXPECT_EQ(status, 0);
    EXPECT_EQ(err, "");
    ASSERT_EQ(got.size(), std::size(records));
    for (size_t i = 0; i < got.size(); ++i)
        EXPECT_EQ(got[i], records[i].fields) << i;
    std::string summary = run("tshark -X lua_script:" ORWIN_DISSECTOR_PATH " -r '" + path + "'", status, err);
    EXPECT_NE(summary.find("RMAP write command tid 5 address 0x00001000 (reassembled from 3 records)"),
              std::string::npos)
        << summary;
    EXPECT_NE(summary.find("RMAP read-modify-write command tid 2"), std::string::npos) << summary;
    EXPECT_EQ(summary.find("CRC mismatch"), std::string::npos) << summary;
}
