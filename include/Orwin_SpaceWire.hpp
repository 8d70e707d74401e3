// SPDX-License-Identifier: MIT
// Orwin_SpaceWire.hpp - the SpaceWire layer: a connection that prepares a
// unit's links and runs one reader thread, per-link dispatch of incoming
// packets by protocol identifier, devices naming remote nodes, and raw
// packets. Included by Orwin.hpp.
// Orwin.hpp includes this header where its layers need it; included on its
// own, it comes in the same way.
#include "Orwin.hpp"

#ifndef ORWIN_SPACEWIRE_HPP
#define ORWIN_SPACEWIRE_HPP

#include "Orwin_Export.h"

// The protocol base, and the sending side of each protocol a device holds.
#include "Orwin_CCSDS.hpp"
#include "Orwin_RMAP_initiator.hpp"
#include "Orwin_RMAP_transactions.hpp"
#include "Orwin_SpaceWire_protocol.hpp"

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace orw {
namespace spacewire {

class connection_t;
class read_token;
class device_t;

/** Number of link dispatchers of a connection (link numbers 0-31). */
constexpr int max_links = 32;

namespace raw {

/** Receives a link's traffic unparsed: derive and override read_packet(). */
class ORWIN_API handler : public protocol_instance {
  public:
    void start(uint8_t sla, uint8_t pid) override;
    bool body(unsigned char *data, size_t sz, int terminator) override;
    void eop(int link) override;
    void eep() override;
    void reset() override;
    /** Every piece of every packet on the link, EEP-terminated ones included. */
    virtual void read_packet(unsigned char *data, size_t sz, int terminator);
};

/** Raw packets: any protocol identifier, the caller supplies the bytes after it. */
class ORWIN_API protocol : public protocol_factory {
  public:
    protocol_instance *new_instance() override;
    /**
     * Send path bytes, the logical address, `pid`, then `data` and EOP, under
     * the connection's write lock, and flush.
     * @throws orw::error
     */
    void send(device_t *device, uint8_t pid, const unsigned char *data, size_t sz);
};

} // namespace raw

/**
 * Per-link packet dispatcher: parses the address and protocol identifier
 * bytes of each packet as its pieces stream past and feeds the rest to the
 * protocol instance for that identifier. Runs on the reader thread only;
 * the switches and the instance table may be written from any thread.
 */
class ORWIN_API linkinfo {
  public:
    enum state { rsla = 0, rpid = 1, body = 2, error = 3 };

    linkinfo() = default;
    ~linkinfo();
    linkinfo(const linkinfo &) = delete;
    linkinfo &operator=(const linkinfo &) = delete;

    void set_link(connection_t *ifc, int link);
    /** Expect the address byte of a new packet. */
    void reset();
    /** Store `pi` as the instance of protocol `pid` (null unregisters). */
    void register_protocol(uint8_t pid, protocol_instance *pi);
    /** Hand all traffic of the link, unparsed, to `h` (null ends that). */
    void register_generic(raw::handler *h);
    protocol_instance *get_protocol(uint8_t pid) const;
    void set_inactive(bool flag);
    /** Whether missing instances are made from the factory table. */
    void use_default(bool flag);
    /** Whether leading path-address bytes (below 0x20) are skipped. */
    void set_pa(bool flag);
    void set_verbose(bool flag);
    bool link_verbose() const;
    raw::handler *generic() const { return raw_handler.load(std::memory_order_acquire); }
    /** The link's RMAP transaction table when enabled, else null. */
    rmap::transinfo *transactions();
    void set_transactions(bool enabled);
    void set_transaction_handler(rmap::transinfo *h);

    /**
     * One piece of a packet.
     * @param terminator EOP (258), EEP (257) or PART_EOP_EEP (1000: the packet
     *        continues in a later piece)
     */
    void read_packet(unsigned char *data, size_t sz, int terminator);

    void sm_sla(unsigned char *data, size_t sz, size_t &i);
    void sm_pid(unsigned char *data, size_t sz, size_t &i);
    bool sm_body(unsigned char *data, size_t sz, int terminator);

    state parser_state() const { return status; }
    int link() const { return linkno; }

    uint8_t sla = 0;
    uint8_t pid = 0;
    std::atomic<protocol_instance *> protocols[256] = {};
    rmap::transinfo rmap_transactions;
    state status = rsla;
    connection_t *ifc = nullptr;
    int linkno = 0;
    std::atomic<bool> drop_pa{false};
    std::atomic<bool> verbose{true};
    std::atomic<raw::handler *> raw_handler{nullptr};
    std::atomic<bool> inactive{false};
    std::atomic<bool> default_handler{true};

  private:
    void end_of_packet();
    void end_of_packet_eep();
    void drop_rest();
    void feed(unsigned char *data, size_t sz, int terminator);

    // The instance that took the packet being parsed; told of its EOP even
    // when it rejected part of it.
    protocol_instance *current = nullptr;
    // Instances made from the factory table belong to the link: one per
    // protocol identifier at most, deleted when replaced or with the link.
    protocol_instance *created[256] = {};
};

/**
 * Holds a connection's write lock for the lifetime of the guard; every
 * outgoing SpaceWire packet is written, from its first piece to its flush,
 * under it.
 */
class ORWIN_API writelock {
  public:
    writelock(connection_t *ifc, bool lock_now = true);
    writelock(device_t *dev, bool lock_now = true);
    ~writelock();
    writelock(const writelock &) = delete;
    writelock &operator=(const writelock &) = delete;

    void acquire();
    void release();

    connection_t *ifc;
    bool locked = false;
};

/**
 * One interface unit at the SpaceWire level. Opening prepares every link
 * (speed, normal mode) and records which are connected; the first
 * registration starts one reader thread that reads the unit with a 250 ms
 * time-out and hands each piece of every packet to its link's dispatcher.
 * A thread blocked in a synchronous RMAP operation reads and dispatches in
 * its place while the reader would be idle (one thread reads at a time, and
 * it counts as the reader thread meanwhile), which saves a thread hand-off
 * per round trip.
 */
class ORWIN_API connection_t : public orw::connection {
  public:
    static constexpr int reader_timeout_ms = 250;

    /** No unit yet; set_host() opens one. */
    connection_t();
    /** Opens `host` and prepares its links at `speed` (Mbit/s). */
    connection_t(const std::string &host, double speed);
    /**
     * Stops and joins the reader (bounded, whatever the unit does); every
     * transaction still live ends with outcome cancelled (connection_lost
     * when it was lost) before the tables go. Instances made on demand are
     * deleted.
     */
    ~connection_t() override;

    /**
     * Open `host` (a unit, or a recording when it begins with "-") and
     * initialise it at `speed`.
     * @throws orw::error (-29 "Address is empty", or the open's failure)
     */
    void set_host(const std::string &host, double speed);
    /**
     * Set the speed, put links 1..n in normal mode, and record which are
     * connected.
     * @throws orw::error for any failing call of the unit
     */
    void initialise(double speed);

    /** Start the reader unless it is wanted already (no unit: nothing). */
    virtual void start_server();
    /** Stop the reader and wait for it (only asks, on the reader itself). */
    virtual void stop_server();
    /** Ask the reader to stop; does not wait. Safe on the reader thread. */
    void shutdown();
    /** Join the reader thread, if there is one. */
    void wait();
    /**
     * One read and dispatch. Time-outs are not dispatched; the end of a
     * recording opens the next queued file.
     * @return false when the stream has ended
     * @throws orw::error for any other read failure
     */
    bool read_packet();
    /** Body of the reader thread; never throws. */
    void reader();
    /** Hand one piece read from the unit to its link's dispatcher. */
    void dispatch(ssize_t n, int type);

    /**
     * A read failure ended the reader; `e` is also kept in reader_error().
     * Runs on the reader thread; the default traces it at level 1. A class
     * that overrides this or any callback must stop the reader in its own
     * destructor (stop_server()), before its part of the object is gone.
     */
    virtual void reader_failed(const orw::error &e);
    /** The failure that ended the reader, once it has ended; else null. */
    const orw::error *reader_error() const;
    /**
     * The connection to the unit is broken (its reader failed, the unit
     * hung up, or a send failed part-way): every live transaction issued on
     * it ends at once with outcome connection_lost, the socket is shut down,
     * and every later operation throws `e` (the first failure is kept).
     */
    void lose(const orw::error &e);
    /** Whether the connection was lost (until set_host() opens a unit again). */
    bool is_lost() const;
    /** @throws orw::error, the failure that lost the connection, when it was lost */
    void require_alive() const;

    /** Default of the send time-out: how long the unit may accept no byte. */
    static constexpr int default_send_timeout_ms = 5000;
    /**
     * How long a send may wait while the unit accepts no byte at all (a
     * slow link that keeps draining never runs into it); 0 waits for ever.
     * A send that runs out fails with -18 and loses the connection.
     */
    void set_send_timeout(int ms);
    int send_timeout() const { return send_timeout_ms; }
    /** Send what is queued for the unit. @throws orw::error (a failure loses the connection) */
    void flush();

    void acquire_write_lock();
    void release_write_lock();
    /**
     * One write to the unit on `link` (selecting it when needed); the caller
     * holds the write lock.
     * @param flags INCOMPLETE (1008) when more of the packet follows, EOP (258)
     * @throws orw::error
     */
    void writeport(int link, const void *data, size_t sz, uint32_t flags);
    /** The unit's handle (the member `device` is hidden by the device factories). */
    Orwin handle() const { return connection::device; }
    /** Whether link (`link` & 31) reported connected during initialise. */
    bool active_link(int link) const;

    // ---- Registration (link `l` 0-31; others throw orw::error -45) -----------
    /** Bind `instance` to link `l`, register it for `pid`, then start the reader. */
    void register_protocol(uint8_t l, uint8_t pid, protocol_instance *instance);
    /**
     * Remove the instance for `pid` from link `l`; does not delete it. From
     * another thread it returns once the reader no longer uses the instance.
     */
    void unregister_protocol(uint8_t l, uint8_t pid);
    /** An RMAP target on link `l`: register_protocol(l, 1, instance). */
    void rmap_server(uint8_t l, protocol_instance *instance);
    /** Start the reader and hand all of link `l`'s traffic to `h` (null ends it). */
    void register_generic(uint8_t l, raw::handler *h);
    void set_inactive(uint8_t l, bool flag);
    void use_default(uint8_t l, bool flag);
    void set_pa(uint8_t l, bool flag);
    void set_verbose(uint8_t l, bool flag);
    bool verbose(uint8_t l);
    bool link_verbose();
    /** The instance for `pid` on link `l`; one made on demand lives while it is registered. */
    protocol_instance *get_protocol(uint8_t l, uint8_t pid);
    linkinfo &link_dispatcher(uint8_t l);

    // ---- RMAP transaction scopes (port 0: the connection; 1-31: a link) ------
    /** The link's table if enabled, else the connection's if enabled, else the process's. */
    rmap::transinfo *rmap_scope(int link);
    /** Remove and return the live transaction `tid` from the scope of `link`. */
    rmap::transaction_response *rmap_tx(int link, uint16_t tid);
    /** Enable or disable a scope. @throws orw::error -45 for a port above 31 */
    void tid_scope(uint16_t port, bool enabled);
    /** Delegate a scope's allocation to `h` (non-null enables it). @throws orw::error -45 */
    void tid_handler(uint16_t port, rmap::transinfo *h);
    /** Next TID of a scope. @throws tidnotenabled* for a disabled link; orw::error -45 */
    void tid_seed(uint16_t port, uint16_t seed);
    static void tid_global(rmap::transinfo *h);
    static void tid_global_seed(uint16_t seed);

    // ---- Devices ------------------------------------------------------------
    /**
     * A device with logical addressing on `link`, owned by the caller.
     * @throws orw::error -49 "Link is not connected"; address_error
     */
    device_t *device(const std::string &name, const std::string &type, int link, uint8_t dest, uint8_t src);
    /** A device with path addressing: `path` before `dest`, replies along `rpath`. */
    device_t *device(const std::string &name, const std::string &type, int link, const uint8_t *path,
                     size_t pathsz, const uint8_t *rpath, size_t rpathsz, uint8_t dest, uint8_t src);

    // ---- Reconnection -----------------------------------------------------------
    /** Attempts of the reconnection thread end within this (and so does the destructor). */
    static constexpr int reconnect_attempt_ms = 750;
    /** The first back-off of the reconnection thread; each failure doubles it. */
    static constexpr unsigned first_backoff_ms = 100;
    /**
     * Open the unit again at the same address and with the same time-out,
     * repeat the link set-up of initialise() at the same speed, and restart
     * the reader if it ran. Registrations, devices, protocol instances and
     * transaction tables stay as they are; transactions in flight end with
     * outcome connection_lost, and a packet cut short ends with EEP. Also
     * for a connection that is not lost. Then reconnected() is called.
     * Not from the reader thread or a callback running on it.
     * @throws orw::error when the unit cannot be reached (the connection
     *         stays lost), or for a recording or a connection without a unit
     */
    void reconnect();
    /**
     * With `on`, a lost connection reconnects by itself: a thread owned by
     * the connection calls connection_lost(), then tries reconnect()'s
     * steps after 100 ms, doubling the wait after every failure up to
     * `max_backoff_ms`, until one succeeds (then reconnected()), or until
     * this is switched off or the connection destroyed, which each return
     * within about a second. Meanwhile every operation throws the failure
     * that lost the connection. A class that overrides the hooks below must
     * call auto_reconnect(false) in its own destructor.
     */
    void auto_reconnect(bool on, unsigned max_backoff_ms = 5000);
    /** The connection was lost and will be reconnected (reconnection thread);
     *  the default traces at level 2. */
    virtual void connection_lost(const orw::error &e);
    /** The connection works again (the reconnecting thread); the default traces at level 2. */
    virtual void reconnected();

    std::atomic<bool> thread_enabled{false};
    std::atomic<bool> thread_running{false};
    rmap::transinfo rmap_transactions;
    std::map<std::string, device_t *> devices;
    linkinfo links[max_links];
    std::unique_ptr<unsigned char[]> data;
    std::mutex write_lock;
    std::thread rt;
    uint32_t lbitmask = 0;

  private:
    void check_link(int l) const;
    void require_connected(int link) const;
    bool on_reader_thread() const;
    void quiesce();
    void keep_failure(const orw::error &e);
    int checked_send(int rc);

    std::mutex server_lock;                // start and join of the reader
    std::atomic<uint64_t> dispatch_seq{0}; // odd while the reader dispatches
    std::atomic<bool> failed{false};
    std::atomic<bool> lost{false};
    mutable std::mutex failure_lock;
    std::unique_ptr<orw::error> failure;
    int send_timeout_ms = default_send_timeout_ms;

    // Reconnection (connection_t_reconnect.cpp).
    bool reopen(int timeout_ms, bool only_when_lost);
    void end_open_packets();
    void reconnect_loop();
    void wake_reconnector();
    double link_speed = 0;      // of the last initialise, repeated on reconnection
    uint32_t open_packets = 0;  // bit n: link n has a packet open (reader only)
    std::mutex reopen_lock;     // one reopening at a time
    bool resume_reader = false; // restart the reader once reopened (under reopen_lock)
    std::mutex reconnect_lock;  // the reconnection thread's state below
    std::condition_variable reconnect_cv;
    std::thread reconnector;
    bool reconnect_wanted = false;
    unsigned reconnect_max_ms = 5000;
    // Shared by the reader thread and RMAP waiters that read for themselves
    // (a waiter keeps it while the connection goes).
    friend class read_token;
    friend class send_gate;
    std::shared_ptr<read_token> token;
};

/**
 * A remote SpaceWire node behind link `link` of a connection: how packets
 * reach it (destination path bytes, then its logical address) and how its
 * replies come back (return path, source logical address).
 */
class ORWIN_API device_t {
  public:
    /**
     * Logical addressing.
     * @throws address_error "dest address is invalid" / "src address is invalid"
     *         for a logical address below 0x20
     */
    device_t(const std::string &name, const std::string &type, connection_t *ifc, int link, uint8_t dest,
             uint8_t src);
    /**
     * Path addressing: `path` (bytes 0-31) precedes `dest`; `rpath` (bytes
     * 0-31, at most 12) is the return path, kept left-padded with zeros to
     * whole 4-byte words.
     * @throws address_error for an invalid logical address or path byte, or a
     *         return path longer than 12 bytes
     */
    device_t(const std::string &name, const std::string &type, connection_t *ifc, int link,
             const uint8_t *path, size_t pathsz, const uint8_t *rpath, size_t rpathsz, uint8_t dest,
             uint8_t src);
    device_t(const device_t &) = delete;
    device_t &operator=(const device_t &) = delete;

    /** Destination path (null when none), its size, and the logical address. */
    void dest(const uint8_t *&path, size_t &sz, uint8_t &ldest) const;
    /** Padded return path (null when none), its size in 4-byte words, and the source address. */
    void reply(const uint8_t *&path, uint8_t &words, uint8_t &lsrc) const;
    int link() const { return linkno; }
    connection_t *connection() const { return ifc; }
    std::string name() const { return dname; }
    std::string type() const { return dtype; }
    /** One write on the device's link; the caller holds the write lock. */
    void write(const void *data, size_t sz, uint32_t flags);
    /** Send what is queued for the unit. @throws orw::error */
    void flush();
    /** Make sure the connection's reader runs (before a command expecting a reply). */
    void start_server();

    /** Send a raw packet: path, logical address, `pid`, `data`, EOP. @throws orw::error */
    void raw_send(uint8_t pid, const unsigned char *data, size_t sz);

    /** Start this device's CCSDS packet (see ccsds::protocol::header). */
    void ccsds_header(uint8_t version, bool type, uint16_t apid, uint8_t seqfl, uint16_t seqcnt);
    /** Add its secondary header (see ccsds::protocol::secondary_header). */
    void ccsds_secondary_header(uint32_t time, uint8_t fine, uint8_t timeid, bool checkword, uint8_t r1,
                                uint8_t pt, uint8_t r2, uint16_t sapid, uint8_t r3, uint8_t tid);
    /** Use `sz` bytes at `data` as its user data; they must stay valid until ccsds_send(). */
    void ccsds_user_data(const unsigned char *data, size_t sz);
    /** Send the CCSDS packet assembled so far. @throws orw::error */
    void ccsds_send(uint8_t application, uint8_t reserved);
    /** Send a space packet built by the caller. @throws orw::error */
    void spwccsds_send(uint8_t application, uint8_t reserved, const unsigned char *data, size_t sz);

    static constexpr size_t max_return_path = 12;

    // ---- RMAP commands to this device (see rmap::protocol) ----------------------
    void rmap_write_noreply(uint8_t key, uint8_t flags, uint8_t ewa, uint32_t addr, const uint8_t *data,
                            size_t sz)
    {
        rmap.write_noreply(this, key, flags, ewa, addr, data, sz);
    }
    void rmap_write(uint8_t key, uint8_t flags, uint8_t ewa, uint32_t addr, const uint8_t *data, size_t sz,
                    rmap::transaction_response *tri)
    {
        rmap.write(this, key, flags, ewa, addr, data, sz, tri);
    }
    void rmap_write_fd(uint8_t key, uint8_t flags, uint8_t ewa, uint32_t addr, int fd,
                       rmap::transaction_response *tri)
    {
        rmap.write_fd(this, key, flags, ewa, addr, fd, tri);
    }
    void rmap_write_file(uint8_t key, uint8_t flags, uint8_t ewa, uint32_t addr, const std::string &file,
                         rmap::transaction_response *tri)
    {
        rmap.write_file(this, key, flags, ewa, addr, file, tri);
    }
    void rmap_read(uint8_t key, uint8_t flags, uint8_t ewa, uint32_t addr, size_t sz,
                   rmap::transaction_response *tri)
    {
        rmap.read(this, key, flags, ewa, addr, sz, tri);
    }
    void rmap_readmodifywrite(uint8_t key, uint8_t ewa, uint32_t addr, const uint8_t *data,
                              const uint8_t *mask, size_t sz, rmap::transaction_response *tri)
    {
        rmap.readmodifywrite(this, key, ewa, addr, data, mask, sz, tri);
    }
    void rmap_autoincrement(uint8_t key, uint8_t ewa, uint32_t addr, size_t sz,
                            rmap::transaction_response *tri)
    {
        rmap.autoincrement(this, key, ewa, addr, sz, tri);
    }

    /** Asynchronous forms (see rmap::protocol::read_async); `timeout` in 10 ms ticks, 0 = none. */
    std::future<rmap::result> rmap_read_async(uint8_t key, uint32_t addr, size_t sz, uint32_t timeout = 0,
                                              uint8_t flags = rmap::instr_increment, uint8_t ewa = 0)
    {
        return rmap.read_async(this, key, addr, sz, timeout, flags, ewa);
    }
    std::future<rmap::result> rmap_write_async(uint8_t key, uint32_t addr, const uint8_t *data, size_t sz,
                                               uint32_t timeout = 0, uint8_t flags = rmap::instr_increment,
                                               uint8_t ewa = 0)
    {
        return rmap.write_async(this, key, addr, data, sz, timeout, flags, ewa);
    }
    std::future<rmap::result> rmap_rmw_async(uint8_t key, uint32_t addr, const uint8_t *data,
                                             const uint8_t *mask, size_t sz, uint32_t timeout = 0,
                                             uint8_t ewa = 0)
    {
        return rmap.rmw_async(this, key, addr, data, mask, sz, timeout, ewa);
    }
    /** Callback forms (see rmap::completion): `done` gets the result instead of a future. */
    void rmap_read_async(uint8_t key, uint32_t addr, size_t sz, rmap::completion done, uint32_t timeout = 0,
                         uint8_t flags = rmap::instr_increment, uint8_t ewa = 0)
    {
        rmap.read_async(this, key, addr, sz, std::move(done), timeout, flags, ewa);
    }
    void rmap_write_async(uint8_t key, uint32_t addr, const uint8_t *data, size_t sz, rmap::completion done,
                          uint32_t timeout = 0, uint8_t flags = rmap::instr_increment, uint8_t ewa = 0)
    {
        rmap.write_async(this, key, addr, data, sz, std::move(done), timeout, flags, ewa);
    }
    void rmap_rmw_async(uint8_t key, uint32_t addr, const uint8_t *data, const uint8_t *mask, size_t sz,
                        rmap::completion done, uint32_t timeout = 0, uint8_t ewa = 0)
    {
        rmap.rmw_async(this, key, addr, data, mask, sz, std::move(done), timeout, ewa);
    }

    rmap::protocol rmap;
    raw::protocol raw;
    ccsds::protocol ccsds;
    spwccsds::protocol spwccsds;

  private:
    void check_logical() const;

    std::string dname;
    std::string dtype;
    connection_t *ifc;
    int linkno;
    uint8_t ldest;
    uint8_t lsrc;
    std::vector<uint8_t> pdest;
    uint8_t psrcsz = 0;
    std::vector<uint8_t> psrc;
};

} // namespace spacewire
} // namespace orw

#endif // ORWIN_SPACEWIRE_HPP
