// SPDX-License-Identifier: MIT
// Building CCSDS space packets from their fields and sending them, and the
// factory that makes protocol 2 handlers on demand.
#include "ccsds_transfer.hpp"

#include <algorithm>
#include <cstring>

namespace orw {
namespace spacewire {
namespace ccsds {

namespace {

constexpr int piece_secondary = 0;
constexpr int piece_user = 1;
constexpr int piece_checksum = 2;
constexpr int pieces = 5;

protocol default_factory;

// Protocol 2 is parsed by a CCSDS handler on every link that takes defaults.
struct factory_entry {
    factory_entry() { protocol_factory::register_protocol(protocol_id, &default_factory); }
} entered;

void put_be16(unsigned char *b, uint32_t v)
{
    b[0] = static_cast<unsigned char>(v >> 8);
    b[1] = static_cast<unsigned char>(v);
}

} // namespace

protocol_instance *protocol::new_instance()
{
    return new handler();
}

void protocol::header(uint8_t version, bool type, uint16_t apid, uint8_t seqfl, uint16_t seqcnt)
{
    ORW_SPW_TRACE(2, this, "version %02x type %d appid %d seqfl %d seqcnt %d", version, type ? 1 : 0, apid,
                  seqfl, seqcnt);
    std::fill(std::begin(data), std::end(data), nullptr);
    std::fill(std::begin(sz), std::end(sz), 0);
    std::fill(std::begin(packet), std::end(packet), 0);
    lastid = -1;
    encode_primary(packet, version, type, apid, seqfl, seqcnt);
}

void protocol::secondary_header(uint32_t time, uint8_t fine, uint8_t timeid, bool checkword, uint8_t r1,
                                uint8_t pt, uint8_t r2, uint16_t sapid, uint8_t r3, uint8_t tid)
{
    packet[0] |= 0x08;
    sechdr[0] = static_cast<unsigned char>(time >> 24);
    sechdr[1] = static_cast<unsigned char>(time >> 16);
    sechdr[2] = static_cast<unsigned char>(time >> 8);
    sechdr[3] = static_cast<unsigned char>(time);
    sechdr[4] = fine;
    sechdr[5] =
        static_cast<unsigned char>(((timeid & 3) << 6) | (checkword ? 0x20 : 0) | ((r1 & 1) << 4) | (pt & 7));
    sechdr[6] = static_cast<unsigned char>(((r2 & 0x1F) << 3) | ((sapid >> 8) & 3));
    sechdr[7] = static_cast<unsigned char>(sapid & 0xFF);
    sechdr[8] = r3;
    sechdr[9] = tid;
    data[piece_secondary] = sechdr;
    sz[piece_secondary] = secondary_header_size;
    // Given after the user data, it must not make the user data the piece
    // that is never terminated.
    lastid = std::max(lastid, piece_secondary);
}

void protocol::user_data(const unsigned char *d, size_t n)
{
    data[piece_user] = d;
    sz[piece_user] = n;
    lastid = n ? std::max(lastid, piece_user) : lastid;
}

bool protocol::with_checkword() const
{
    return sz[piece_secondary] && (sechdr[5] & 0x20);
}

size_t protocol::data_field_size() const
{
    // The checksum piece is left out: it is rebuilt by every send and must
    // not count itself when a packet is sent again.
    size_t total = sz[piece_secondary] + sz[piece_user];
    if (total == 0)
        return 0;
    return total + (with_checkword() ? 2 : 0);
}

void protocol::fill_length()
{
    size_t field = data_field_size();
    put_be16(packet + 4, static_cast<uint32_t>(field ? field - 1 : 0));
}

uint16_t protocol::checksum() const
{
    unsigned char primary[primary_header_size];
    std::memcpy(primary, packet, sizeof primary);
    size_t field = data_field_size();
    put_be16(primary + 4, static_cast<uint32_t>(field ? field - 1 : 0));
    uint16_t sum = add_words(0, primary, sizeof primary);
    sum = add_words(sum, data[piece_secondary], sz[piece_secondary]);
    return add_words(sum, data[piece_user], sz[piece_user]);
}

void protocol::send(device_t *device, uint8_t application, uint8_t reserved)
{
    data[piece_checksum] = nullptr;
    sz[piece_checksum] = 0;
    const size_t field = data_field_size();
    if (field == 0) {
        ORW_SPW_TRACE(2, this, "no data field, nothing sent");
        return;
    }
    if (field > max_data_field) {
        ORW_SPW_TRACE(1, this, "ERROR data field of %zu octets is longer than %zu", field, max_data_field);
        throw error(device->connection()->addr, Error_Request_Too_Large, "CCSDS data field is too long");
    }
    fill_length();
    if (with_checkword()) {
        put_be16(csum, checksum());
        data[piece_checksum] = csum;
        sz[piece_checksum] = sizeof csum;
    }
    lastid = -1;
    for (int i = 0; i < pieces; ++i)
        if (sz[i])
            lastid = i;

    // The transfer header, the primary and the secondary header go out in
    // one write; the user data and the checksum follow as pieces.
    ccsds_transfer::prefix p = ccsds_transfer::make_prefix(device, application, reserved);
    std::memcpy(p.head + p.headsz, packet, primary_header_size);
    p.headsz += primary_header_size;
    int next = piece_secondary;
    if (sz[piece_secondary]) {
        std::memcpy(p.head + p.headsz, sechdr, secondary_header_size);
        p.headsz += secondary_header_size;
        next = piece_user;
    }
    const bool head_ends = lastid < next;
    writelock lock(device);
    ccsds_transfer::write_prefix(device, p, head_ends ? connection::EOP : connection::INCOMPLETE);
    for (int i = next; i < pieces; ++i)
        if (sz[i])
            device->write(data[i], sz[i], i == lastid ? connection::EOP : connection::INCOMPLETE);
    device->flush();
}

} // namespace ccsds
} // namespace spacewire
} // namespace orw
