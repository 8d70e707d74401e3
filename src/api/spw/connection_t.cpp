// SPDX-License-Identifier: MIT
// connection_t: opening and preparing a unit's links, the write path and its
// lock, and the registration operations of the link dispatchers.
#include "Orwin.hpp"
#include "read_token.hpp"

#include <unistd.h>

namespace orw {
namespace spacewire {

connection_t::connection_t()
    : data(new unsigned char[packet_buffer_size]), token(std::make_shared<read_token>(*this))
{
    ORW_SPW_TRACE(8, this, "empty connection");
    // Every dispatcher knows its connection, also those of links the unit
    // does not have: a stray link number must not reach a null connection.
    for (int l = 0; l < max_links; ++l)
        links[l].set_link(this, l);
}

connection_t::connection_t(const std::string &host, double speed) : connection_t()
{
    set_host(host, speed);
}

connection_t::~connection_t()
{
    ORW_SPW_TRACE(2, this, "Closing down device");
    // Before anything it could be using goes.
    auto_reconnect(false);
    ORW_SPW_TRACE(2, this, "closing rmap for %p", static_cast<void *>(this));
    rmap::protocol::unregister_connection(this);
    ORW_SPW_TRACE(2, this, "closed rmap for %p", static_cast<void *>(this));
    ORW_SPW_TRACE(2, this, "checking thread running %d", thread_running.load() ? 1 : 0);
    stop_server();
    // A reader that ended on its own is still to be joined.
    wait();
    // Waiters must not outlive the tables that hold their transactions.
    rmap::end_transactions(this, lost ? rmap::transaction_outcome::connection_lost
                                      : rmap::transaction_outcome::cancelled);
}

void connection_t::set_host(const std::string &host, double speed)
{
    ORW_SPW_TRACE(2, this, "Connecting to host '%s'", host.c_str());
    // The reader must not read a handle that is being replaced.
    stop_server();
    wait();
    rmap::end_transactions(this, rmap::transaction_outcome::cancelled);
    {
        std::lock_guard<std::mutex> guard(failure_lock);
        lost = false;
        failed = false;
        failure.reset();
    }
    connect(host);
    ORW_SPW_TRACE(2, this, "Connected to host '%s'", host.c_str());
    initialise(speed);
}

void connection_t::initialise(double speed)
{
    require_device();
    // The reader would take the replies of the link queries below.
    stop_server();
    wait();
    link_speed = speed;
    ORW_SPW_TRACE(2, this, "Enabling transactions on this host");
    rmap_transactions.set_enabled(true);
    // A recording cannot be commanded: its links need no preparing and none
    // is connected, but its packets are dispatched all the same.
    int n = 0;
    if (live) {
        Orwin_set_tx_timeout(connection::device, send_timeout_ms);
        n = check(Orwin_get_number_of_links(connection::device));
        ORW_SPW_TRACE(2, this, "with %d links", n);
        if (n > max_links - 1)
            n = max_links - 1;
        ORW_SPW_TRACE(2, this, "Setting speed %f", speed);
        check(Orwin_set_speed_double(connection::device, speed));
        for (int link = 1; link <= n; ++link) {
            ORW_SPW_TRACE(2, this, "Enabling port %d", link);
            active_port(static_cast<unsigned>(link));
            mode(LINK_mode_normal);
            links[link].set_link(this, link);
        }
        ORW_SPW_TRACE(2, this, "Waiting for links to stabilise");
        check(Orwin_flush(connection::device));
        usleep(300);
    }
    ORW_SPW_TRACE(2, this, "initialising lock");
    thread_running = false;
    thread_enabled = false;
    ORW_SPW_TRACE(2, this, "Initialising RMAP");
    rmap::protocol::connection(this);
    ORW_SPW_TRACE(2, this, "Initialised RMAP");
    lbitmask = 0;
    for (int link = 1; link <= n; ++link) {
        active_port(static_cast<unsigned>(link));
        if (check(Orwin_link_connected(connection::device)) > 0) {
            lbitmask |= 1u << link;
            ORW_SPW_TRACE(2, this, "connected");
        }
    }
}

// ---- Write path ------------------------------------------------------------------

void connection_t::acquire_write_lock()
{
    ORW_SPW_TRACE(2, this, "acquiring lock");
    // While lost, a send fails at once rather than wait out a reconnection
    // that holds the lock.
    require_alive();
    token->sends.lock();
    ORW_SPW_TRACE(2, this, "acquired lock");
}

void connection_t::release_write_lock()
{
    ORW_SPW_TRACE(2, this, "releasing lock");
    token->sends.unlock();
    ORW_SPW_TRACE(2, this, "released lock");
}

// A send that failed may have left part of a packet on the stream: nothing
// after it would be understood, so the connection is lost.
int connection_t::checked_send(int rc)
{
    if (rc >= 0)
        return rc;
    error e(addr, rc, Orwin_get_error_text());
    // Only a refused request leaves the stream as it was.
    if (rc != Error_Buffer_Full && rc != Error_Zero_Read && rc != Error_Would_Block)
        lose(e);
    throw e;
}

void connection_t::writeport(int link, const void *data_, size_t sz, uint32_t flags)
{
    ORW_SPW_TRACE(8, this, "link %d %zu bytes of data flag %u", link, sz, flags);
    require_device();
    require_alive();
    try {
        if (static_cast<unsigned>(link) != tx_link)
            active_port(static_cast<unsigned>(link));
    } catch (const error &e) {
        checked_send(e.get());
    }
    // The C interface takes a mutable buffer but does not write to it.
    checked_send(Orwin_write_packet(connection::device, const_cast<void *>(data_), sz, flags));
}

void connection_t::flush()
{
    require_device();
    require_alive();
    checked_send(Orwin_flush(connection::device));
}

void connection_t::set_send_timeout(int ms)
{
    send_timeout_ms = ms < 0 ? 0 : ms;
    if (connection::device && live)
        Orwin_set_tx_timeout(connection::device, send_timeout_ms);
}

bool connection_t::active_link(int link) const
{
    return link > 0 && link < max_links && ((lbitmask >> link) & 1u);
}

// ---- Registration ------------------------------------------------------------------

void connection_t::check_link(int l) const
{
    if (l < 0 || l >= max_links)
        throw error(addr, Error_Invalid_Link, "link not present in device");
}

void connection_t::register_protocol(uint8_t l, uint8_t pid, protocol_instance *instance)
{
    check_link(l);
    if (!instance) {
        unregister_protocol(l, pid);
        return;
    }
    // In place before the reader starts, so that it misses no packet.
    instance->set_ifc(this, l);
    links[l].register_protocol(pid, instance);
    start_server();
    // An instance it replaced may be deleted by its owner once this returns.
    quiesce();
}

void connection_t::unregister_protocol(uint8_t l, uint8_t pid)
{
    check_link(l);
    links[l].register_protocol(pid, nullptr);
    quiesce();
}

void connection_t::rmap_server(uint8_t l, protocol_instance *instance)
{
    register_protocol(l, 1, instance);
}

void connection_t::register_generic(uint8_t l, raw::handler *h)
{
    check_link(l);
    if (h)
        h->set_ifc(this, l);
    links[l].register_generic(h);
    if (h)
        start_server();
    quiesce();
}

void connection_t::set_inactive(uint8_t l, bool flag)
{
    check_link(l);
    start_server();
    links[l].set_inactive(flag);
}

void connection_t::use_default(uint8_t l, bool flag)
{
    check_link(l);
    start_server();
    links[l].use_default(flag);
}

void connection_t::set_pa(uint8_t l, bool flag)
{
    ORW_SPW_TRACE(4, this, "setting ifc %p link %d pa %d", static_cast<void *>(this), l, flag ? 1 : 0);
    check_link(l);
    links[l].set_pa(flag);
}

void connection_t::set_verbose(uint8_t l, bool flag)
{
    ORW_SPW_TRACE(4, this, "setting %p link %d verbose %d", static_cast<void *>(this), l, flag ? 1 : 0);
    check_link(l);
    links[l].set_verbose(flag);
}

bool connection_t::verbose(uint8_t l)
{
    check_link(l);
    return links[l].link_verbose();
}

bool connection_t::link_verbose()
{
    return rx_link < static_cast<unsigned>(max_links) && verbose(static_cast<uint8_t>(rx_link));
}

protocol_instance *connection_t::get_protocol(uint8_t l, uint8_t pid)
{
    check_link(l);
    return links[l].get_protocol(pid);
}

linkinfo &connection_t::link_dispatcher(uint8_t l)
{
    check_link(l);
    return links[l];
}

// ---- Devices ---------------------------------------------------------------------------

void connection_t::require_connected(int link) const
{
    if (link < 1 || link >= max_links) {
        ORW_SPW_TRACE(1, this, "Link %d is not a link of a unit", link);
        throw error(addr, Error_Invalid_Link, "link not present in device");
    }
    if (!active_link(link)) {
        ORW_SPW_TRACE(1, this, "Link %d is not connected", link);
        throw error(addr, Error_Link_Not_Connected, "Link is not connected");
    }
}

device_t *connection_t::device(const std::string &name, const std::string &type, int link, uint8_t dest,
                               uint8_t src)
{
    ORW_SPW_TRACE(8, this, "creating device '%s' of type '%s' on link %d logical addresses %02x:%02x",
                  name.c_str(), type.c_str(), link, dest, src);
    require_connected(link);
    device_t *d = new device_t(name, type, this, link, dest, src);
    ORW_SPW_TRACE(8, this, "device is %p", static_cast<void *>(d));
    return d;
}

device_t *connection_t::device(const std::string &name, const std::string &type, int link,
                               const uint8_t *path, size_t pathsz, const uint8_t *rpath, size_t rpathsz,
                               uint8_t dest, uint8_t src)
{
    ORW_SPW_TRACE(8, this, "creating device '%s' of type '%s' on link %d packet addressing %zu:%zu %02x:%02x",
                  name.c_str(), type.c_str(), link, pathsz, rpathsz, dest, src);
    require_connected(link);
    device_t *d = new device_t(name, type, this, link, path, pathsz, rpath, rpathsz, dest, src);
    ORW_SPW_TRACE(8, this, "device is %p", static_cast<void *>(d));
    return d;
}

} // namespace spacewire
} // namespace orw
