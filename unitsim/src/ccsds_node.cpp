// SPDX-License-Identifier: MIT
#include "ccsds_node.hpp"

namespace orw::unitsim {

namespace {

constexpr uint8_t pid_ccsds = 2;
constexpr size_t primary_bytes = 6;
constexpr size_t secondary_bytes = 10;
constexpr uint8_t checkword_bit = 0x20; // in secondary header byte 5

bool checkword_flagged(const ccsds_packet &p)
{
    return p.has_secondary && (p.secondary[5] & checkword_bit) != 0;
}

void primary(const ccsds_packet &p, uint16_t length_field, uint8_t out[primary_bytes])
{
    // Version 3 bits, type, secondary header flag, APID 11 bits; sequence
    // flags 2 bits, count 14 bits; length: data field octets - 1.
    uint16_t first = static_cast<uint16_t>((p.version & 7) << 13 | (p.telecommand ? 1 : 0) << 12 |
                                           (p.has_secondary ? 1 : 0) << 11 | (p.apid & 0x7FF));
    uint16_t second = static_cast<uint16_t>((p.sequence_flags & 3) << 14 | (p.sequence_count & 0x3FFF));
    const uint16_t words[3] = {first, second, length_field};
    for (int w = 0; w < 3; ++w) {
        out[2 * w] = static_cast<uint8_t>(words[w] >> 8);
        out[2 * w + 1] = static_cast<uint8_t>(words[w]);
    }
}

} // namespace

uint16_t word_sum(uint16_t sum, const uint8_t *b, size_t n)
{
    for (size_t i = 0; i < n; i += 2) {
        uint16_t word = static_cast<uint16_t>(b[i] << 8);
        if (i + 1 < n)
            word = static_cast<uint16_t>(word | b[i + 1]);
        sum = static_cast<uint16_t>(sum + word);
    }
    return sum;
}

std::vector<uint8_t> encode_ccsds(const ccsds_packet &p)
{
    const bool with_sum = checkword_flagged(p);
    size_t field = (p.has_secondary ? secondary_bytes : 0) + p.user_data.size() + (with_sum ? 2 : 0);
    uint8_t head[primary_bytes];
    primary(p, static_cast<uint16_t>(field - 1), head);

    std::vector<uint8_t> out;
    out.reserve(4 + primary_bytes + field);
    for (uint8_t b : {p.logical_address, pid_ccsds, p.reserved, p.application})
        out.push_back(b);
    out.insert(out.end(), head, head + primary_bytes);
    uint16_t sum = word_sum(0, head, primary_bytes);
    if (p.has_secondary) {
        out.insert(out.end(), p.secondary.begin(), p.secondary.end());
        sum = word_sum(sum, p.secondary.data(), p.secondary.size());
    }
    out.insert(out.end(), p.user_data.begin(), p.user_data.end());
    sum = word_sum(sum, p.user_data.data(), p.user_data.size());
    if (with_sum) {
        out.push_back(static_cast<uint8_t>(sum >> 8));
        out.push_back(static_cast<uint8_t>(sum));
    }
    return out;
}

ccsds_packet decode_ccsds(const std::vector<uint8_t> &spw)
{
    ccsds_packet p;
    if (spw.size() < 4 + primary_bytes)
        return p;
    p.logical_address = spw[0];
    const bool is_ccsds = spw[1] == pid_ccsds;
    p.reserved = spw[2];
    p.application = spw[3];
    const uint8_t *h = spw.data() + 4;
    p.version = static_cast<uint8_t>(h[0] >> 5);
    p.telecommand = (h[0] >> 4) & 1;
    p.has_secondary = (h[0] >> 3) & 1;
    p.apid = static_cast<uint16_t>((h[0] & 7) << 8 | h[1]);
    p.sequence_flags = static_cast<uint8_t>(h[2] >> 6);
    p.sequence_count = static_cast<uint16_t>((h[2] & 0x3F) << 8 | h[3]);
    p.length_field = static_cast<uint16_t>(h[4] << 8 | h[5]);

    std::vector<uint8_t> field(h + primary_bytes, spw.data() + spw.size());
    bool length_ok = field.size() == static_cast<size_t>(p.length_field) + 1;
    size_t user_begin = 0;
    size_t user_end = field.size();
    if (p.has_secondary) {
        if (field.size() < secondary_bytes)
            return p;
        std::copy(field.begin(), field.begin() + secondary_bytes, p.secondary.begin());
        user_begin = secondary_bytes;
    }
    p.has_checksum = checkword_flagged(p);
    if (p.has_checksum) {
        if (field.size() < user_begin + 2)
            return p;
        user_end = field.size() - 2;
        p.checksum = static_cast<uint16_t>(field[user_end] << 8 | field[user_end + 1]);
        uint16_t sum = word_sum(0, h, primary_bytes);
        sum = word_sum(sum, field.data(), user_begin);
        sum = word_sum(sum, field.data() + user_begin, user_end - user_begin);
        p.checksum_ok = sum == p.checksum;
    }
    p.user_data.assign(field.begin() + static_cast<std::ptrdiff_t>(user_begin),
                       field.begin() + static_cast<std::ptrdiff_t>(user_end));
    p.well_formed = is_ccsds && length_ok && (!p.has_checksum || p.checksum_ok);
    return p;
}

} // namespace orw::unitsim
