// SPDX-License-Identifier: MIT
#include "rmap_node.hpp"

#include <algorithm>
#include <array>

namespace orw::unitsim {

namespace {

// Header fields of a command, in packet order after any path bytes.
struct command_fields {
    uint8_t target, instruction, key, initiator, era;
    std::vector<uint8_t> reply_address;
    uint16_t tid;
    uint32_t address, length;
    size_t header_size; // bytes up to and including the header CRC
};

constexpr uint8_t bit_command = 0x40, bit_write = 0x20, bit_verify = 0x10, bit_reply = 0x08,
                  bit_increment = 0x04;

// A packet without its path bytes, in place.
struct packet_view {
    const uint8_t *bytes;
    size_t n;
    size_t size() const { return n; }
    const uint8_t *data() const { return bytes; }
    uint8_t operator[](size_t i) const { return bytes[i]; }
};

template <class Bytes> uint32_t be(const Bytes &p, size_t at, int n)
{
    uint32_t v = 0;
    for (int i = 0; i < n; ++i)
        v = v << 8 | p[at + static_cast<size_t>(i)];
    return v;
}

void put_be(std::vector<uint8_t> &out, uint32_t v, int n)
{
    for (int i = n - 1; i >= 0; --i)
        out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// Command codes the standard defines (write, verify, reply, increment bits):
// reads need the reply bit, read-modify-write is 0111, writes are all valid.
bool valid_command(uint8_t instruction)
{
    unsigned code = (instruction >> 2) & 0x0F;
    if (code & 0x8)
        return true;
    return code == 0x2 || code == 0x3 || code == 0x7;
}

std::vector<uint8_t> reply_route(const std::vector<uint8_t> &address)
{
    auto first = std::find_if(address.begin(), address.end(), [](uint8_t b) { return b != 0; });
    return std::vector<uint8_t>(first, address.end());
}

} // namespace

rmap_node::rmap_node(const rmap_target_config &c) : cfg(c), memory_(c.memory_size, 0) {}

std::vector<uint8_t> rmap_node::read(uint32_t address, size_t count) const
{
    std::vector<uint8_t> out(count, 0);
    for (size_t i = 0; i < count; ++i) {
        uint64_t a = static_cast<uint64_t>(address) + i;
        if (a >= cfg.base_address && a - cfg.base_address < memory_.size())
            out[i] = memory_[a - cfg.base_address];
    }
    return out;
}

void rmap_node::write(uint32_t address, const std::vector<uint8_t> &bytes)
{
    for (size_t i = 0; i < bytes.size(); ++i) {
        uint64_t a = static_cast<uint64_t>(address) + i;
        if (a >= cfg.base_address && a - cfg.base_address < memory_.size())
            memory_[a - cfg.base_address] = bytes[i];
    }
}

bool rmap_node::in_memory(uint8_t era, uint32_t address, uint32_t length, bool increment) const
{
    if (era != cfg.extended_address || address < cfg.base_address)
        return false;
    uint64_t span = increment ? length : (length ? 1 : 0);
    return static_cast<uint64_t>(address - cfg.base_address) + span <= memory_.size();
}

bool rmap_node::handle(const std::vector<uint8_t> &raw, bool eep, std::vector<uint8_t> &reply)
{
    // Path bytes were consumed by the routers on the way here.
    size_t skip = 0;
    while (skip < raw.size() && raw[skip] < 0x20)
        ++skip;
    const packet_view p{raw.data() + skip, raw.size() - skip};
    if (p.size() < 3 || p[1] != 0x01 || !(p[2] & bit_command))
        return false; // not an RMAP command: not for this node
    ++commands;

    command_fields f{};
    f.target = p[0];
    f.instruction = p[2];
    size_t reply_bytes = 4u * (p[2] & 0x03);
    f.header_size = 16 + reply_bytes;
    // A header cut short or with a bad CRC cannot be trusted to say where a
    // reply would go: the standard discards it without a reply.
    if (p.size() < f.header_size || rmap_crc(p.data(), f.header_size - 1) != p[f.header_size - 1])
        return false;
    f.key = p[3];
    f.reply_address.assign(p.data() + 4, p.data() + 4 + reply_bytes);
    size_t at = 4 + reply_bytes;
    f.initiator = p[at];
    f.tid = static_cast<uint16_t>(be(p, at + 1, 2));
    f.era = p[at + 3];
    f.address = be(p, at + 4, 4);
    f.length = be(p, at + 8, 3);

    const bool writing = (f.instruction & bit_write) != 0;
    const bool rmw = !writing && ((f.instruction >> 2) & 0x7) == 0x7;
    const bool wants_reply = (f.instruction & bit_reply) != 0;
    const bool increment = (f.instruction & bit_increment) != 0;
    uint8_t status = 0;
    std::vector<uint8_t> data, mask, out_data;

    if ((f.instruction & 0x80) || !valid_command(f.instruction)) {
        status = 2; // unused packet type or command code
    } else if (f.target != cfg.logical_address) {
        status = 12;
    } else if (writing || rmw) {
        size_t have = p.size() - f.header_size;
        if (have < static_cast<size_t>(f.length) + 1)
            status = eep ? 7 : 5; // EEP, or early EOP
        else if (have > static_cast<size_t>(f.length) + 1)
            status = 6; // too much data
        else if (rmap_crc(p.data() + f.header_size, f.length) != p[f.header_size + f.length])
            status = 4;
        else if (f.key != cfg.key)
            status = 3;
        else if (rmw && (f.length > 8 || f.length % 2 != 0))
            status = 11;
        else if (!in_memory(f.era, f.address, rmw ? f.length / 2 : f.length, increment || rmw))
            status = 10;
        const uint8_t *first = p.data() + f.header_size;
        if (status == 0 && writing && increment) {
            if (f.length)
                std::copy(first, first + f.length, &cell(f.address));
        } else if (status == 0 && writing) {
            if (f.length)
                cell(f.address) = first[f.length - 1];
        } else if (status == 0) {
            uint32_t half = f.length / 2;
            for (uint32_t i = 0; i < half; ++i) {
                uint8_t &m = cell(f.address + i);
                out_data.push_back(m);
                m = static_cast<uint8_t>((first[i] & first[half + i]) | (m & ~first[half + i]));
            }
        }
    } else {
        if (eep)
            status = 7;
        else if (f.key != cfg.key)
            status = 3;
        else if (!in_memory(f.era, f.address, f.length, increment))
            status = 10;
        if (status == 0)
            for (uint32_t i = 0; i < f.length; ++i)
                out_data.push_back(cell(increment ? f.address + i : f.address));
    }

    if (!wants_reply || cfg.drop_replies)
        return false;
    reply = reply_route(f.reply_address);
    size_t crc_from = reply.size();
    reply.insert(reply.end(), {f.initiator, 0x01, static_cast<uint8_t>(f.instruction & 0xBF), status,
                               f.target, static_cast<uint8_t>(f.tid >> 8), static_cast<uint8_t>(f.tid)});
    if (writing) {
        reply.push_back(rmap_crc(reply.data() + crc_from, reply.size() - crc_from));
    } else {
        reply.push_back(0x00);
        put_be(reply, static_cast<uint32_t>(out_data.size()), 3);
        reply.push_back(rmap_crc(reply.data() + crc_from, reply.size() - crc_from));
        reply.insert(reply.end(), out_data.begin(), out_data.end());
        reply.push_back(rmap_crc(out_data.data(), out_data.size()));
    }
    if (cfg.damage_replies)
        reply.back() = static_cast<uint8_t>(~reply.back());
    return true;
}

std::vector<uint8_t> build_rmap_command(const rmap_request &r)
{
    uint8_t instruction = bit_command | static_cast<uint8_t>(r.reply_address.size() / 4 & 0x03);
    uint32_t length = r.length;
    if (r.what == rmap_request::op::write) {
        instruction |= bit_write | (r.verify ? bit_verify : 0) | (r.reply ? bit_reply : 0) |
                       (r.increment ? bit_increment : 0);
        length = static_cast<uint32_t>(r.data.size());
    } else if (r.what == rmap_request::op::rmw) {
        instruction |= bit_verify | bit_reply | bit_increment;
        length = static_cast<uint32_t>(r.data.size());
    } else {
        instruction |= bit_reply | (r.increment ? bit_increment : 0);
    }
    std::vector<uint8_t> out = {r.target_address, 0x01, instruction, r.key};
    out.insert(out.end(), r.reply_address.begin(), r.reply_address.end());
    out.push_back(r.initiator_address);
    put_be(out, r.tid, 2);
    out.push_back(r.extended_address);
    put_be(out, r.address, 4);
    put_be(out, length, 3);
    out.push_back(rmap_crc(out.data(), out.size()));
    if (r.what != rmap_request::op::read) {
        out.insert(out.end(), r.data.begin(), r.data.end());
        out.push_back(rmap_crc(r.data.data(), r.data.size()));
    }
    return out;
}

bool rmap_reply_tid(const rmap_request &r, const std::vector<uint8_t> &packet, uint16_t &tid)
{
    size_t route = reply_route(r.reply_address).size();
    if (packet.size() < route + 7)
        return false;
    tid = static_cast<uint16_t>(packet[route + 5] << 8 | packet[route + 6]);
    return true;
}

rmap_result check_rmap_reply(const rmap_request &r, const std::vector<uint8_t> &packet)
{
    rmap_result res;
    res.packet = packet;
    std::vector<uint8_t> route = reply_route(r.reply_address);
    const bool writing = r.what == rmap_request::op::write;
    const size_t header = route.size() + (writing ? 8 : 12);
    if (packet.size() < header) {
        res.problem = "reply shorter than its header";
        return res;
    }
    if (!std::equal(route.begin(), route.end(), packet.begin())) {
        res.problem = "reply does not begin with the reply path";
        return res;
    }
    const uint8_t *h = packet.data() + route.size();
    res.instruction = h[2];
    res.status = h[3];
    uint8_t expected = build_rmap_command(r)[2] & 0xBF;
    if (rmap_crc(h, header - route.size() - 1) != packet[header - 1])
        res.problem = "bad header CRC";
    else if (h[0] != r.initiator_address)
        res.problem = "wrong initiator logical address";
    else if (h[1] != 0x01)
        res.problem = "wrong protocol identifier";
    else if (h[2] != expected)
        res.problem = "instruction is not the command's in reply form";
    else if (h[4] != r.target_address)
        res.problem = "wrong target logical address";
    else if ((h[5] << 8 | h[6]) != r.tid)
        res.problem = "wrong transaction identifier";
    if (!res.problem.empty() || writing) {
        if (writing && packet.size() != header && res.problem.empty())
            res.problem = "bytes after the write reply";
        return res;
    }
    if (h[7] != 0)
        res.problem = "reserved byte is not 0";
    uint32_t length = be(packet, route.size() + 8, 3);
    if (packet.size() != header + length + 1) {
        res.problem = "data length does not match the data";
        return res;
    }
    res.data.assign(packet.begin() + static_cast<std::ptrdiff_t>(header), packet.end() - 1);
    if (rmap_crc(res.data.data(), res.data.size()) != packet.back())
        res.problem = "bad data CRC";
    return res;
}

} // namespace orw::unitsim
