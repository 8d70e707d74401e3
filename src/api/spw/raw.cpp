// SPDX-License-Identifier: MIT
// Raw packets: a handler that sees a link's traffic unparsed, and the
// sending side that frames path, logical address and protocol identifier.
#include "Orwin.hpp"

namespace orw {
namespace spacewire {
namespace raw {

void handler::start(uint8_t, uint8_t) {}
bool handler::body(unsigned char *, size_t, int)
{
    return false;
}
void handler::eop(int) {}
void handler::eep() {}
void handler::reset() {}
void handler::read_packet(unsigned char *, size_t, int) {}

protocol_instance *protocol::new_instance()
{
    return new handler();
}

void protocol::send(device_t *device, uint8_t pid, const unsigned char *data, size_t sz)
{
    ORW_SPW_TRACE(2, device, "raw packet pid %d %zu bytes on link %d", pid, sz, device->link());
    writelock lock(device);
    const uint8_t *path = nullptr;
    size_t pathsz = 0;
    uint8_t ldest = 0;
    device->dest(path, pathsz, ldest);
    if (pathsz)
        device->write(path, pathsz, connection::INCOMPLETE);
    device->write(&ldest, 1, connection::INCOMPLETE);
    device->write(&pid, 1, connection::INCOMPLETE);
    device->write(data, sz, connection::EOP);
    device->flush();
}

} // namespace raw
} // namespace spacewire
} // namespace orw
