// SPDX-License-Identifier: MIT
// Which RMAP transaction table serves a link: the link's own when enabled,
// else the connection's when enabled, else the process-wide one.
#include "Orwin.hpp"

namespace orw::spacewire {

rmap::transinfo *linkinfo::transactions()
{
    return rmap_transactions.enabled() ? &rmap_transactions : nullptr;
}

void linkinfo::set_transactions(bool enabled)
{
    rmap_transactions.set_enabled(enabled);
}

void linkinfo::set_transaction_handler(rmap::transinfo *h)
{
    rmap_transactions.set_user_handler(h);
}

rmap::transinfo *connection_t::rmap_scope(int link)
{
    if (link > 0 && link < max_links && links[link].rmap_transactions.enabled())
        return &links[link].rmap_transactions;
    if (rmap_transactions.enabled())
        return &rmap_transactions;
    return &rmap::global_transactions;
}

rmap::transaction_response *connection_t::rmap_tx(int link, uint16_t tid)
{
    return rmap_scope(link)->find(tid);
}

void connection_t::tid_scope(uint16_t port, bool enabled)
{
    ORW_SPW_TRACE(8, this, "setting scope for port %d to %d", port, enabled);
    check_link(port);
    (port == 0 ? rmap_transactions : links[port].rmap_transactions).set_enabled(enabled);
}

void connection_t::tid_handler(uint16_t port, rmap::transinfo *h)
{
    ORW_SPW_TRACE(8, this, "setting handler for port %d to %p", port, static_cast<void *>(h));
    check_link(port);
    (port == 0 ? rmap_transactions : links[port].rmap_transactions).set_user_handler(h);
}

void connection_t::tid_seed(uint16_t port, uint16_t seed)
{
    ORW_SPW_TRACE(8, this, "setting seed for port %d to %d", port, seed);
    check_link(port);
    if (port == 0) {
        rmap_transactions.seed(seed);
        return;
    }
    if (!links[port].rmap_transactions.enabled())
        throw new rmap::tidnotenabled();
    links[port].rmap_transactions.seed(seed);
}

void connection_t::tid_global(rmap::transinfo *h)
{
    ORW_SPW_TRACE(8, nullptr, "setting global handler to %p", static_cast<void *>(h));
    rmap::global_transactions.set_user_handler(h);
}

void connection_t::tid_global_seed(uint16_t seed)
{
    rmap::global_transactions.seed(seed);
}

} // namespace orw::spacewire
