// SPDX-License-Identifier: MIT
// protocol_factory, the process-wide factory table, and the base of every
// protocol handler.
#include "Orwin.hpp"

namespace orw {
namespace spacewire {

std::atomic<protocol_factory *> protocols[256] = {};

protocol_instance *protocol_factory::new_instance()
{
    return nullptr;
}

void protocol_factory::register_protocol(uint8_t pid, protocol_factory *f)
{
    ORW_SPW_TRACE(4, f, "registering factory for protocol %d", pid);
    protocols[pid].store(f, std::memory_order_release);
}

protocol_factory *protocol_factory::factory(uint8_t pid)
{
    return protocols[pid].load(std::memory_order_acquire);
}

void protocol_instance::start(uint8_t, uint8_t) {}
bool protocol_instance::body(unsigned char *, size_t, int)
{
    return true;
}
void protocol_instance::eop(int) {}
void protocol_instance::eep() {}
void protocol_instance::reset() {}

protocol_instance::~protocol_instance()
{
    delete[] data;
}

void protocol_instance::set_ifc(connection_t *ifc_, int link)
{
    ORW_SPW_TRACE(8, this, "setting ifc %p link %d", static_cast<void *>(ifc_), link);
    ifc = ifc_;
    linkno = link;
    // Bound again (another link, or registered twice): the buffer is kept.
    if (!data)
        data = new unsigned char[packet_buffer_size];
    reset();
}

connection_t *protocol_instance::get_ifc(int &link)
{
    ORW_SPW_TRACE(8, this, "returning ifc %p link %d", static_cast<void *>(ifc), linkno);
    link = linkno;
    return ifc;
}

bool protocol_instance::verbose()
{
    if (!ifc || linkno < 0 || linkno >= max_links)
        return true;
    return ifc->verbose(static_cast<uint8_t>(linkno));
}

} // namespace spacewire
} // namespace orw
