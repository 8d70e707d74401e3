// SPDX-License-Identifier: MIT
// Reads pcap files back through libpcap, the reader packet analysers build
// on, with nanosecond time stamps; and joins their packet records per link.
// libpcap's own header stays in pcap_reader.cpp: its `struct pcap` and the
// library's namespace of that name cannot meet in one translation unit.
#ifndef ORWIN_TESTS_PCAP_READER_HPP
#define ORWIN_TESTS_PCAP_READER_HPP

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace test {

struct pcap_record {
    int64_t sec = 0;
    int64_t nsec = 0;
    std::vector<uint8_t> body; // link, type, data
    int link() const { return body.empty() ? -1 : body[0]; }
    int type() const { return body.size() < 2 ? -1 : body[1]; }
};

struct pcap_contents {
    std::string error; // libpcap's message, empty when the whole file read
    int linktype = -1;
    int snaplen = -1;
    std::vector<pcap_record> records;
};

/** Every record of `path`, read with libpcap at nanosecond precision. */
pcap_contents read_pcap(const std::string &path);

/** A packet joined from its records: type-0 records continue it. */
struct joined_packet {
    std::vector<uint8_t> data;
    bool eep = false;
};

/**
 * Joins the packet records of `records` (events skipped) into whole packets
 * per link, in `open` (pending parts per link, kept across files).
 */
inline void join_packets(const std::vector<pcap_record> &records,
                         std::map<int, std::vector<joined_packet>> &out,
                         std::map<int, std::vector<uint8_t>> &open)
{
    for (const pcap_record &r : records) {
        if (r.type() < 0 || r.type() > 2)
            continue;
        std::vector<uint8_t> &part = open[r.link()];
        part.insert(part.end(), r.body.begin() + 2, r.body.end());
        if (r.type() != 0) {
            out[r.link()].push_back({std::move(part), r.type() == 1});
            part.clear();
        }
    }
}

} // namespace test

#endif // ORWIN_TESTS_PCAP_READER_HPP
