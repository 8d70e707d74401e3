// SPDX-License-Identifier: MIT
// The traffic generator: numbered packets of known sizes and contents on
// several links, at full speed or at a set rate, so that what a client
// captured can be compared with what was sent, byte for byte.
#include "frames.hpp"
#include "orwin_unitsim.hpp"

#include <algorithm>
#include <chrono>
#include <thread>

namespace orw::unitsim {

namespace {

// Bytes gathered before they are queued: large enough that queueing is
// cheap, small enough that the links interleave finely in time.
constexpr size_t chunk_bytes = 1u << 20;
constexpr size_t window_bytes = 4u << 20;

bool cancelled(const traffic &t)
{
    return t.cancel && t.cancel->load();
}

// One packet of each link, cut into frames of `piece` bytes that take turns.
void append_interleaved(std::vector<uint8_t> &out, const traffic &t, const std::vector<int> &links, size_t i,
                        size_t piece, int &last_link)
{
    std::vector<std::vector<uint8_t>> data;
    for (int link : links)
        data.push_back(traffic_payload(link, i, traffic_size(t, link, i)));
    std::vector<size_t> sent(links.size(), 0);
    for (bool more = true; more;) {
        more = false;
        for (size_t l = 0; l < links.size(); ++l) {
            const std::vector<uint8_t> &d = data[l];
            if (sent[l] > d.size())
                continue; // ended in an earlier turn
            if (links[l] != last_link)
                append_link_select(out, links[l]);
            last_link = links[l];
            const size_t n = std::min(piece, d.size() - sent[l]);
            if (sent[l] + n < d.size()) {
                append_partial(out, d.data() + sent[l], n);
                more = true;
            } else {
                append_packet(out, d.data() + sent[l], n, traffic_eep(t, i));
            }
            sent[l] += n;
            if (sent[l] == d.size())
                sent[l] = d.size() + 1;
        }
    }
}

} // namespace

size_t traffic_size(const traffic &t, int link, size_t index)
{
    if (t.sizes.empty())
        return 0;
    return t.sizes[(index + static_cast<size_t>(link)) % t.sizes.size()];
}

bool traffic_eep(const traffic &t, size_t index)
{
    return t.eep_every != 0 && index % t.eep_every == t.eep_every - 1;
}

std::vector<uint8_t> traffic_payload(int link, size_t index, size_t size)
{
    std::vector<uint8_t> data(size);
    for (size_t j = 0; j < size; ++j)
        data[j] = static_cast<uint8_t>(j + index * 7 + static_cast<size_t>(link) * 31);
    // The packet's number leads, so that a lost or repeated packet shows.
    for (size_t j = 0; j < 4 && j < size; ++j)
        data[j] = static_cast<uint8_t>(index >> (8 * j));
    return data;
}

config recording_unit(const std::string &product, family kind)
{
    config cfg;
    cfg.kind = kind;
    cfg.product = product;
    cfg.description = "Function=Recorder;Product=" + product + ";Manufacturer=Tarvik Limited";
    return cfg;
}

size_t simulator::generate(const traffic &t)
{
    std::vector<int> links = t.links;
    if (links.empty())
        for (int l = 1; l <= link_count(); ++l)
            links.push_back(l);
    using clock = std::chrono::steady_clock;
    const clock::time_point begin = clock::now();
    std::vector<uint8_t> pending;
    pending.reserve(chunk_bytes * 2);
    int last_link = -1;
    size_t sent = 0;
    for (size_t i = 0; i < t.count; ++i) {
        if (cancelled(t))
            break;
        if (t.interleave > 0)
            append_interleaved(pending, t, links, i, t.interleave, last_link);
        for (int link : t.interleave > 0 ? std::vector<int>() : links) {
            if (link != last_link)
                append_link_select(pending, link);
            last_link = link;
            std::vector<uint8_t> data = traffic_payload(link, i, traffic_size(t, link, i));
            append_packet(pending, data.data(), data.size(), traffic_eep(t, i));
        }
        const bool paced = t.rate > 0;
        if (paced) {
            auto due = begin + std::chrono::duration_cast<clock::duration>(
                                   std::chrono::duration<double>(static_cast<double>(i + 1) / t.rate));
            std::this_thread::sleep_until(due);
        }
        if (paced || pending.size() >= chunk_bytes || i + 1 == t.count) {
            if (!send_paced(std::move(pending), window_bytes, t.cancel))
                return sent;
            pending = std::vector<uint8_t>();
            pending.reserve(chunk_bytes * 2);
        }
        sent = i + 1;
    }
    if (!pending.empty() && !send_paced(std::move(pending), window_bytes, t.cancel))
        return sent > 0 ? sent - 1 : 0;
    while (!wait_until_sent(100))
        if (cancelled(t))
            break;
    return sent;
}

} // namespace orw::unitsim
