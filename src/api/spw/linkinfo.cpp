// SPDX-License-Identifier: MIT
// linkinfo: parses the address and protocol identifier bytes of every packet
// on one link as its pieces arrive and feeds the rest to the protocol
// instance registered, or made on demand, for that identifier.
#include "Orwin.hpp"

#include <cstdio>

namespace orw {
namespace spacewire {

namespace {

constexpr uint8_t first_logical_address = 0x20;

const char *terminator_name(int terminator)
{
    return Orwin_pkttype_to_str(terminator);
}

} // namespace

linkinfo::~linkinfo()
{
    for (protocol_instance *&p : created) {
        delete p;
        p = nullptr;
    }
}

void linkinfo::set_link(connection_t *ifc_, int link)
{
    ifc = ifc_;
    linkno = link;
    reset();
}

void linkinfo::reset()
{
    status = rsla;
    current = nullptr;
}

void linkinfo::register_protocol(uint8_t pid_, protocol_instance *pi)
{
    ORW_SPW_TRACE(4, this, "link %d protocol %d instance %p", linkno, pid_, static_cast<void *>(pi));
    protocols[pid_].store(pi, std::memory_order_release);
}

void linkinfo::register_generic(raw::handler *h)
{
    ORW_SPW_TRACE(4, this, "link %d raw handler %p", linkno, static_cast<void *>(h));
    raw_handler.store(h, std::memory_order_release);
}

protocol_instance *linkinfo::get_protocol(uint8_t pid_) const
{
    return protocols[pid_].load(std::memory_order_acquire);
}

void linkinfo::set_inactive(bool flag)
{
    inactive.store(flag, std::memory_order_relaxed);
}
void linkinfo::use_default(bool flag)
{
    default_handler.store(flag, std::memory_order_relaxed);
}
void linkinfo::set_pa(bool flag)
{
    drop_pa.store(flag, std::memory_order_relaxed);
}
void linkinfo::set_verbose(bool flag)
{
    verbose.store(flag, std::memory_order_relaxed);
}
bool linkinfo::link_verbose() const
{
    return verbose.load(std::memory_order_relaxed);
}

void linkinfo::read_packet(unsigned char *data, size_t sz, int terminator)
{
    ORW_SPW_TRACE(8, this, "read packet of size %zu terminator %s", sz, terminator_name(terminator));
    if (inactive.load(std::memory_order_relaxed)) {
        ORW_SPW_TRACE(8, this, "Link is not active");
        return;
    }
    if (raw::handler *h = raw_handler.load(std::memory_order_acquire)) {
        h->read_packet(data, sz, terminator);
        return;
    }
    if (status == error) {
        ORW_SPW_TRACE(8, this, "dropping traffic as in error state");
        if (terminator == connection::EOP) {
            ORW_SPW_TRACE(8, this, "EOP received so resetting link");
            end_of_packet();
        } else if (terminator == connection::EEP) {
            end_of_packet_eep();
        }
        return;
    }
    feed(data, sz, terminator);
    if (terminator == connection::EOP)
        end_of_packet();
    else if (terminator == connection::EEP)
        end_of_packet_eep();
}

void linkinfo::feed(unsigned char *data, size_t sz, int terminator)
{
    size_t i = 0;
    while (i < sz && status != error) {
        switch (status) {
        case rsla:
            ORW_SPW_TRACE(8, this, "calling sla analysis on %zu", i);
            sm_sla(data, sz, i);
            break;
        case rpid:
            ORW_SPW_TRACE(8, this, "calling pid analysis on %zu", i);
            sm_pid(data, sz, i);
            break;
        case body:
            if (!sm_body(data + i, sz - i, terminator)) {
                ORW_SPW_TRACE(1, this, "ERROR processing message data");
                status = error;
            }
            i = sz;
            break;
        case error:
            break;
        }
    }
}

// A packet ended by EEP is still parsed, so that its instance (a target
// that answers a damaged command) learns of it; it gets eep(), not eop().
void linkinfo::end_of_packet_eep()
{
    ORW_SPW_TRACE(8, this, "EEP received so resetting link");
    protocol_instance *p = current;
    reset();
    if (p)
        p->eep();
}

// The instance that took the packet is told of its end (also when it
// rejected part of it); then its stop or finish request takes effect.
void linkinfo::end_of_packet()
{
    protocol_instance *p = current;
    uint8_t p_pid = pid;
    reset();
    if (!p)
        return;
    p->eop(linkno);
    if (p->is_shutdown()) {
        if (ifc)
            ifc->shutdown();
    } else if (!p->is_running()) {
        // Only if it is still the registered one: it may have been replaced.
        protocol_instance *expected = p;
        protocols[p_pid].compare_exchange_strong(expected, nullptr, std::memory_order_acq_rel);
    }
}

void linkinfo::drop_rest()
{
    status = error;
    current = nullptr;
}

void linkinfo::sm_sla(unsigned char *data, size_t sz, size_t &i)
{
    ORW_SPW_TRACE(4, this, "parsing command header from idx %zu", i);
    const bool skip_paths = drop_pa.load(std::memory_order_relaxed);
    bool dropped = false;
    while (status == rsla && i < sz) {
        ORW_SPW_TRACE(8, this, "processing header index %zu", i);
        uint8_t d = data[i++];
        if (!skip_paths || d >= first_logical_address) {
            sla = d;
            ORW_SPW_TRACE(4, this, "sla is %02x", sla);
            status = rpid;
            break;
        }
        ORW_SPW_TRACE(8, this, "dropping packet addressing data %02x", d);
        if (verbose.load(std::memory_order_relaxed)) {
            if (!dropped)
                std::fputs("Dropping pa", stdout);
            std::printf(" %02x", d);
        }
        dropped = true;
    }
    if (dropped && verbose.load(std::memory_order_relaxed))
        std::fputs("\n", stdout);
}

void linkinfo::sm_pid(unsigned char *data, size_t sz, size_t &i)
{
    ORW_SPW_TRACE(4, this, "parsing command header from idx %zu", i);
    if (status != rpid || i >= sz)
        return;
    pid = data[i++];
    protocol_instance *p = protocols[pid].load(std::memory_order_acquire);
    ORW_SPW_TRACE(4, this, "protocol handler for %d is %p", pid, static_cast<void *>(p));
    if (!p) {
        protocol_factory *f = protocol_factory::factory(pid);
        if (f && default_handler.load(std::memory_order_relaxed)) {
            ORW_SPW_TRACE(4, this, "creating protocol %d", pid);
            p = f->new_instance();
        }
        if (!p) {
            ORW_SPW_TRACE(1, this, "ERROR no support for protocol %d", pid);
            drop_rest();
            return;
        }
        // The instance this one replaces was unregistered, and the reader,
        // the only caller of instances, is here: nothing uses it any more.
        delete created[pid];
        created[pid] = p;
        p->set_ifc(ifc, linkno);
        protocols[pid].store(p, std::memory_order_release);
    }
    ORW_SPW_TRACE(4, this, "starting protocol %d", pid);
    current = p;
    p->start(sla, pid);
    ORW_SPW_TRACE(8, this, "starting body processing%d", pid);
    status = body;
}

bool linkinfo::sm_body(unsigned char *data, size_t sz, int terminator)
{
    protocol_instance *p = protocols[pid].load(std::memory_order_acquire);
    ORW_SPW_TRACE(8, this, "protocol %d %p body data size %zu", pid, static_cast<void *>(p), sz);
    if (p != current) {
        // Unregistered or replaced in mid-packet: neither instance gets the rest.
        current = nullptr;
        return false;
    }
    // A rejecting instance stays current: it is still told of the EOP.
    return p->body(data, sz, terminator);
}

} // namespace spacewire
} // namespace orw
