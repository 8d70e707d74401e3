// SPDX-License-Identifier: MIT
// Fuzz target for the CCSDS and SpW-CCSDS handlers: arbitrary pieces and
// terminators, through link dispatchers (link 1 parses CCSDS, link 2 takes
// SpW-CCSDS, both for every protocol identifier) and straight into the
// handlers' body calls, EEP included. Long repeated pieces reach packets
// beyond the 1 MiB instance buffer.
//
// The input is a sequence of commands; each begins with a control byte:
//   bits 0-1  terminator of the piece: 0 and 3 more follows, 1 EOP, 2 EEP
//   bit 2     0: through the dispatchers, 1: straight into the handlers
//   bit 3     the piece is repeated to 600 KiB (twice per input at most, to
//             keep runs short; two such pieces pass the buffer)
// then a length byte and that many bytes of the piece.
#include "Orwin.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

constexpr size_t long_piece = 600 * 1024;

using orw::connection;
using namespace orw::spacewire;

void check(bool ok)
{
    if (!ok)
        __builtin_trap();
}

// Reads every byte it is given (the sanitizer checks the copy's range), so
// that a pointer past what the handler holds is caught.
void touch(const unsigned char *d, size_t n)
{
    static std::vector<unsigned char> sink(packet_buffer_size + 16);
    check(n <= sink.size());
    std::memcpy(sink.data(), d, n);
}

struct ccsds_checker : ccsds::handler {
    void request(uint8_t, uint8_t, unsigned char *raw, uint32_t rawsz, ccsds::primary_header &h,
                 ccsds::secondary_header *sec, unsigned char *d, uint32_t n) override
    {
        check(raw == data && rawsz <= packet_buffer_size && sec == nullptr);
        check(d == data + ccsds::primary_header_size);
        check(rawsz >= ccsds::primary_header_size ? n <= rawsz - ccsds::primary_header_size : n == 0);
        check(n <= h.sz);
        ccsds::primary_header again = ccsds::decode_primary(raw, rawsz);
        check(again.apid == h.apid && again.seqcnt == h.seqcnt && again.sz == h.sz);
        touch(raw, rawsz);
    }
};

struct spwccsds_checker : spwccsds::handler {
    void request(uint8_t, uint8_t, unsigned char *d, uint32_t n) override
    {
        check(d == data && n <= packet_buffer_size);
        touch(d, n);
    }
};

struct world {
    connection_t ifc;
    ccsds_checker parsed, direct_parsed;
    spwccsds_checker whole, direct_whole;

    world()
    {
        for (int pid = 0; pid < 256; ++pid) {
            ifc.register_protocol(1, static_cast<uint8_t>(pid), &parsed);
            ifc.register_protocol(2, static_cast<uint8_t>(pid), &whole);
        }
        direct_parsed.set_ifc(&ifc, 3);
        direct_whole.set_ifc(&ifc, 3);
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static world *w = new world();
    // Every input starts from idle parsers.
    w->ifc.links[1].reset();
    w->ifc.links[2].reset();
    w->direct_parsed.start(0xFE, 2);
    w->direct_whole.start(0xFE, 2);

    static std::vector<unsigned char> piece; // keeps its capacity between inputs
    int repeats_left = 2;
    size_t i = 0;
    while (i < size) {
        uint8_t control = data[i++];
        int bits = control & 3;
        int terminator = bits == 1 ? connection::EOP : bits == 2 ? connection::EEP : connection::PART_EOP_EEP;
        size_t n = i < size ? data[i++] : 0;
        if (n > size - i)
            n = size - i;
        piece.assign(data + i, data + i + n);
        i += n;
        if ((control & 8) && n > 0 && repeats_left-- > 0) {
            piece.resize(long_piece);
            for (size_t have = n; have < long_piece; have *= 2)
                std::memcpy(piece.data() + have, piece.data(), std::min(have, long_piece - have));
        }
        if (control & 4) {
            bool was_error = w->direct_parsed.status == ccsds::handler::ccsdserror;
            bool ok = w->direct_parsed.body(piece.data(), piece.size(), terminator);
            check(ok || was_error || w->direct_parsed.status == ccsds::handler::ccsdserror ||
                  terminator == connection::EEP);
            w->direct_whole.body(piece.data(), piece.size(), terminator);
            if (terminator == connection::EOP) {
                w->direct_parsed.eop(3);
                w->direct_whole.eop(3);
                w->direct_parsed.start(0xFE, 2);
                w->direct_whole.start(0xFE, 2);
            }
        } else {
            w->ifc.links[1].read_packet(piece.data(), piece.size(), terminator);
            w->ifc.links[2].read_packet(piece.data(), piece.size(), terminator);
        }
        check(w->parsed.sz <= packet_buffer_size && w->whole.sz <= packet_buffer_size);
    }
    return 0;
}
