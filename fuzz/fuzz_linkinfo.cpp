// SPDX-License-Identifier: MIT
// Fuzz target for the link dispatchers: arbitrary pieces and terminators fed
// to the links of one connection that has a raw handler (link 1), registered
// instances (link 2) and instances made on demand from the factory table
// (link 3). Instances check that the dispatcher's calls come in order.
//
// The input is a sequence of commands; each begins with a control byte:
//   bits 0-1  terminator of a piece: 0 and 3 more follows, 1 EOP, 2 EEP
//   bits 2-3  link: 0 -> 1, 1 -> 2, 2 -> 3, 3 -> 4 (nothing registered)
//   bits 4-6  0..3 a piece of (next byte & 63) bytes from the input;
//             4 toggle path dropping, 5 toggle default handlers, 6 toggle
//             inactive, 7 swap the registered instances of link 2
//   bit 7     the instances of this command's link reject their next body
#include "Orwin.hpp"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace {

using orw::connection;
using namespace orw::spacewire;

void check(bool ok)
{
    if (!ok)
        __builtin_trap();
}

bool reject_next = false;

// Calls must come as start, body..., eop; an EEP may cut a packet short
// silently, so a start is allowed at any time.
struct ordered : protocol_instance {
    bool open = false;
    uint8_t expected_pid = 0;
    int packets = 0;

    void start(uint8_t, uint8_t pid) override
    {
        check(expected_pid == 0 || pid == expected_pid);
        open = true;
    }
    bool body(unsigned char *data, size_t sz, int terminator) override
    {
        check(open && data != nullptr && sz > 0 && sz <= 64);
        check(terminator == connection::EOP || terminator == connection::PART_EOP_EEP ||
              terminator == connection::EEP);
        bool ok = !reject_next;
        reject_next = false;
        return ok;
    }
    // A packet ended by EEP ends with eep() in place of eop().
    void eep() override
    {
        check(open);
        open = false;
    }
    void eop(int link) override
    {
        check(open && link == linkno);
        open = false;
        // Every few packets, ask to be removed or to stop the reader.
        if (++packets % 7 == 0)
            stop();
        else if (packets % 11 == 0)
            finis();
    }
};

struct counting_raw : raw::handler {
    size_t pieces = 0;
    void read_packet(unsigned char *, size_t sz, int terminator) override
    {
        check(sz <= 64);
        check(terminator == connection::EOP || terminator == connection::EEP ||
              terminator == connection::PART_EOP_EEP);
        ++pieces;
    }
};

struct ordered_factory : protocol_factory {
    protocol_instance *new_instance() override { return new ordered(); }
};

constexpr uint8_t made_pid = 0x30;
constexpr uint8_t registered_pids[] = {0x01, 0x02, 0xFE};

struct world {
    connection_t ifc;
    counting_raw raw_handler;
    ordered registered[2][3];
    int set = 0;
    ordered_factory factory;

    world()
    {
        protocol_factory::register_protocol(made_pid, &factory);
        for (int l = 1; l <= 4; ++l)
            ifc.set_verbose(static_cast<uint8_t>(l), false);
        ifc.register_generic(1, &raw_handler);
        for (auto &s : registered)
            for (int i = 0; i < 3; ++i)
                s[i].expected_pid = registered_pids[i];
        install();
    }
    void install()
    {
        for (int i = 0; i < 3; ++i) {
            registered[set][i].running = true;
            registered[set][i].shutdown = false;
            ifc.register_protocol(2, registered_pids[i], &registered[set][i]);
        }
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static world *w = new world();
    // Every input starts from idle parsers.
    for (int l = 1; l <= 4; ++l) {
        linkinfo &li = w->ifc.links[l];
        li.reset();
        li.set_pa(false);
        li.use_default(true);
        li.set_inactive(false);
    }
    w->install();

    std::vector<unsigned char> piece;
    size_t i = 0;
    while (i < size) {
        uint8_t control = data[i++];
        int terminator_bits = control & 3;
        int terminator = terminator_bits == 1   ? connection::EOP
                         : terminator_bits == 2 ? connection::EEP
                                                : connection::PART_EOP_EEP;
        uint8_t l = static_cast<uint8_t>(1 + ((control >> 2) & 3));
        int action = (control >> 4) & 7;
        reject_next = (control & 0x80) != 0;
        linkinfo &li = w->ifc.links[l];
        switch (action) {
        case 4:
            li.set_pa(!li.drop_pa);
            break;
        case 5:
            li.use_default(!li.default_handler);
            break;
        case 6:
            li.set_inactive(!li.inactive);
            break;
        case 7:
            w->set ^= 1;
            w->install();
            break;
        default: {
            size_t n = i < size ? (data[i++] & 63) : 0;
            if (n > size - i)
                n = size - i;
            // A copy, so that reading past the piece is caught.
            piece.assign(data + i, data + i + n);
            i += n;
            // An RMAP command served here is answered through a connection
            // that has no unit: its reply fails with orw::error, as the
            // reader thread expects and catches.
            bool reply_failed = false;
            try {
                li.read_packet(piece.data(), piece.size(), terminator);
            } catch (const orw::error &) {
                reply_failed = true;
            }
            check(reply_failed || li.parser_state() == linkinfo::rsla || terminator != connection::EOP ||
                  li.generic() != nullptr || li.inactive);
            break;
        }
        }
    }
    return 0;
}
