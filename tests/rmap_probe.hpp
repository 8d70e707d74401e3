// SPDX-License-Identifier: MIT
// An RMAP handler bound to no connection, fed packets piece by piece; it keeps
// the replies its target side would send and the callback calls it made.
#pragma once

#include "Orwin.hpp"
#include "rmap_reference.hpp"

#include <vector>

namespace rmap = orw::spacewire::rmap;
using rmap_ref::bytes;

struct rmap_probe : rmap::handler {
    struct call {
        rmap::rmap_command kind;
        uint8_t pkt, sla, key, era;
        uint32_t addr, sz;
        uint16_t tid;
        bytes data, mask;
    };
    std::vector<bytes> replies;
    std::vector<call> calls;
    // Statuses and read data to answer with instead of the base callbacks'.
    bool own_answers = false;
    uint8_t answer_status = 0;
    bytes answer_data;

    rmap_probe() { set_ifc(nullptr, 1); }

    void send_reply(const uint8_t *h, size_t hn, const uint8_t *b, size_t bn) override
    {
        bytes r(h, h + hn);
        r.insert(r.end(), b, b + bn);
        replies.push_back(r);
    }
    uint8_t read(uint8_t pkt, uint8_t sla, uint8_t key, uint8_t era, uint32_t addr, uint32_t sz) override
    {
        calls.push_back({rmap::rmap_read, pkt, sla, key, era, addr, sz, tid(), {}, {}});
        if (!own_answers)
            return handler::read(pkt, sla, key, era, addr, sz);
        set_data(answer_data.data(), std::min<size_t>(sz, answer_data.size()));
        return answer_status;
    }
    uint8_t write(uint8_t pkt, uint8_t sla, uint8_t key, uint8_t era, uint32_t addr, uint32_t sz) override
    {
        bytes d(sz);
        get_data(d.data(), sz);
        calls.push_back({rmap::rmap_write, pkt, sla, key, era, addr, sz, tid(), d, {}});
        return own_answers ? answer_status : handler::write(pkt, sla, key, era, addr, sz);
    }
    uint8_t readmodifywrite(uint8_t pkt, uint8_t sla, uint8_t key, uint8_t era, uint32_t addr,
                            uint32_t sz) override
    {
        bytes d(sz), m(sz);
        get_data(d.data(), sz);
        get_mask(m.data(), sz);
        calls.push_back({rmap::rmap_read_modify_write, pkt, sla, key, era, addr, sz, tid(), d, m});
        if (!own_answers)
            return handler::readmodifywrite(pkt, sla, key, era, addr, sz);
        set_data(answer_data.data(), std::min<size_t>(sz, answer_data.size()));
        return answer_status;
    }
    using handler::read;
    using handler::readmodifywrite;
    using handler::write;

    /// Feeds `p` (address byte and PID first) cut before each offset of
    /// `cuts` (offsets into p, each > 2), as the link dispatcher would; the
    /// last piece ends with `end` (EOP or EEP).
    void feed(const bytes &p, const std::vector<size_t> &cuts = {}, int rxlink = 1,
              int end = orw::connection::EOP)
    {
        start(p[0], p[1]);
        size_t from = 2;
        std::vector<size_t> ends = cuts;
        ends.push_back(p.size());
        for (size_t stop : ends) {
            bool last = stop == p.size();
            bytes piece(p.begin() + static_cast<long>(from), p.begin() + static_cast<long>(stop));
            if (!body(piece.data(), piece.size(), last ? end : orw::connection::PART_EOP_EEP))
                break;
            from = stop;
        }
        if (end == orw::connection::EEP)
            eep();
        else
            eop(rxlink);
    }
};
