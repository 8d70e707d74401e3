// SPDX-License-Identifier: MIT
// Orwin_SpaceWire_protocol.hpp - what every SpaceWire protocol builds on:
// the handler of one protocol on one link, fed each packet piece by piece by
// the link's dispatcher, and the factories that make handlers on demand.
#ifndef ORWIN_SPACEWIRE_PROTOCOL_HPP
#define ORWIN_SPACEWIRE_PROTOCOL_HPP

#include "Orwin_Export.h"

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace orw {
namespace spacewire {

class connection_t;
class protocol_instance;

/** Size of the receive buffer of a connection and of every protocol instance. */
constexpr size_t packet_buffer_size = 0x100000;

/**
 * Makes protocol instances on demand. The process-wide table `protocols`
 * maps a protocol identifier to the factory a link uses when a packet with
 * that identifier arrives and nothing is registered for it.
 */
class ORWIN_API protocol_factory {
  public:
    /** A new instance of the protocol, owned by the caller; the base gives null. */
    virtual protocol_instance *new_instance();
    virtual ~protocol_factory() = default;

    /**
     * Enter `f` as the factory of protocol `pid` (null removes it). Meant for
     * start-up, before any traffic; the table is read without a lock.
     */
    static void register_protocol(uint8_t pid, protocol_factory *f);
    /** The factory of protocol `pid`, or null. */
    static protocol_factory *factory(uint8_t pid);
};

/** The process-wide factory table, indexed by protocol identifier (all null at load). */
extern ORWIN_API std::atomic<protocol_factory *> protocols[256];

/**
 * Handler of one protocol on one link. The link's dispatcher calls, for each
 * packet: start() once, body() for every piece after the protocol
 * identifier (with that piece's terminator: EOP, EEP or PART_EOP_EEP), and
 * eop() at the end, or eep() instead when the packet ends with EEP.
 * All calls come from the connection's reader thread.
 */
class ORWIN_API protocol_instance {
  public:
    protocol_instance() = default;
    protocol_instance(const protocol_instance &) = delete;
    protocol_instance &operator=(const protocol_instance &) = delete;

    /** A packet begins: `sla` is its address byte, `pid` its protocol identifier. */
    virtual void start(uint8_t sla, uint8_t pid);
    /** A piece of the packet body; false rejects it (the rest of the packet is dropped). */
    virtual bool body(unsigned char *data, size_t sz, int terminator);
    /** The packet ended with EOP on link `link`. */
    virtual void eop(int link);
    /** The packet ended with EEP (its pieces came through body() as usual). */
    virtual void eep();
    virtual void reset();
    virtual ~protocol_instance();
    /** Ask to be unregistered from the link at the end of the current packet. */
    virtual void stop() { running = false; }
    /** Ask the connection's reader to stop at the end of the current packet. */
    virtual void finis() { shutdown = true; }

    /** Bind to a connection and link; allocates `data` once and calls reset(). */
    void set_ifc(connection_t *ifc, int link);
    /** The connection; `link` receives the link number. */
    connection_t *get_ifc(int &link);
    /** The verbose switch of this instance's link (true when unbound). */
    bool verbose();
    bool is_shutdown() const { return shutdown; }
    bool is_running() const { return running; }

    int linkno = 0;
    connection_t *ifc = nullptr;
    unsigned char *data = nullptr; // packet_buffer_size bytes once bound
    std::atomic<bool> running{true};
    std::atomic<bool> shutdown{false};
};

} // namespace spacewire
} // namespace orw

#endif // ORWIN_SPACEWIRE_PROTOCOL_HPP
