// SPDX-License-Identifier: MIT
// Orwin_RMAP_transactions.hpp - RMAP transaction identifiers, response
// objects, the registry of live transactions and the time-out thread.
#ifndef ORWIN_RMAP_TRANSACTIONS_HPP
#define ORWIN_RMAP_TRANSACTIONS_HPP

#include "Orwin_Export.h"

#include "Orwin_Utils.hpp"

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace orw::spacewire::rmap {

class transinfo;

/** No transaction identifier is free in the scope (thrown as a pointer). */
class ORWIN_API nofreetid : public std::exception {
  public:
    const char *what() const noexcept override { return "no free RMAP transaction identifier"; }
};

/** Seeding a link scope that is not enabled (thrown as a pointer). */
class ORWIN_API tidnotenabled : public std::exception {
  public:
    const char *what() const noexcept override { return "RMAP transaction scope is not enabled"; }
};

/**
 * What became of a transaction, apart from the status byte of its reply:
 * `replied` means a reply that fits the command arrived (its status may
 * still report a failure at the target).
 */
enum class transaction_outcome {
    pending,         ///< not completed (or never started)
    replied,         ///< a well-formed reply that fits the command
    timed_out,       ///< no reply within the time-out
    crc_error,       ///< a reply came, its data damaged (CRC, short, EEP, excess bytes)
    invalid_reply,   ///< a reply came that does not fit the command (type, length)
    connection_lost, ///< the connection to the unit ended
    cancelled,       ///< the connection was destroyed with the transaction live
};

/** Fixed text of an outcome ("replied", "timed out", "CRC error", ...). */
ORWIN_API const char *outcome_text(transaction_outcome o);

/** A waiter: completed() before wait() is not lost. */
class ORWIN_API synchronous {
  public:
    synchronous() = default;
    synchronous(const synchronous &) = delete;
    synchronous &operator=(const synchronous &) = delete;

    /** Block until completed() has been called, then consume the signal.
     *  Spins briefly first, as a reply often follows within microseconds. */
    virtual void wait();
    /** Wake the waiter (or let its next wait() return at once). */
    virtual void completed();
    virtual ~synchronous() = default;

    bool signalled = false;
    std::mutex mlock;
    std::condition_variable msignal;

  protected:
    /** Mirrors `signalled` for a waiter that spins without the lock (a hint
     *  only: `signalled` under `mlock` decides). */
    std::atomic<bool> ready{false};
};

/**
 * Outcome of one RMAP transaction: a reply (status, data) or a time-out.
 * Completion callbacks run on the connection's reader thread (or a
 * synchronous waiter reading in its place) or on the timer thread with no
 * lock held. The object must outlive its transaction;
 * after start() it can serve the next one.
 */
class ORWIN_API transaction_response {
  public:
    /** No time-out; `sync` (may be null) is signalled on completion. */
    explicit transaction_response(synchronous *sync = nullptr);
    /** Time-out of `timeout` timer ticks of 10 ms (0 = none). */
    transaction_response(uint32_t timeout, synchronous *sync);
    transaction_response(const transaction_response &) = delete;
    transaction_response &operator=(const transaction_response &) = delete;

    // ---- Completion callbacks, in slot order --------------------------------
    /** Default: prints "message %d (%s): timedout" when printing is on. */
    virtual void timedout();
    /** Default: prints "crc error" when printing is on. */
    virtual void crc_error();
    /** Default: prints the reply status when printing is on. */
    virtual void write_reply(uint8_t status);
    /** Stores the data (copy, file) and calls the two-argument hook. */
    virtual void read_reply(uint8_t status, const uint8_t *data, uint32_t sz);
    virtual void read_modify_write_reply(uint8_t status, const uint8_t *data, uint32_t sz);
    /** Hooks; do nothing. */
    virtual void read_reply(uint8_t status, uint32_t sz);
    virtual void read_modify_write_reply(uint8_t status, uint32_t sz);
    /** Block on the waiter when there is one; else return at once. */
    virtual void wait();
    /** Takes a transaction still live out of its table, then frees the kept copy of reply data. */
    virtual ~transaction_response();
    /**
     * The transaction ended without a usable reply for another reason than a
     * time-out (`why`: crc_error, invalid_reply, connection_lost, cancelled).
     * Default: prints "message %d (%s): <outcome>" when printing is on.
     * A damaged reply calls crc_error() instead.
     */
    virtual void failed(transaction_outcome why);

    // ---- Life of a transaction ------------------------------------------------
    /** Ready for a new transaction: no error, status 0, no table, TID 0, no
     *  reply data, outcome pending. */
    void start();
    void set_mid(transinfo *table, uint16_t id);
    uint16_t get_mid() const { return mid; }
    void set_timeout(uint32_t ticks) { timeout_count = timeout = ticks; }
    void timer_reset() { timeout = timeout_count; }
    /** True when a time-out is configured. (Reads the configured count: the
     *  running one belongs to the timer thread while the transaction lives.) */
    bool timer() const { return timeout_count != 0; }
    /** One timer tick: true when the time-out has just run out. */
    bool expired();
    /** Called by the timer thread once this response left the registry. */
    void timed_out();
    /** Free the TID and leave the registry without completing. When a reply
     *  or the timer got there first, waits until that completion is over so
     *  that the caller may reuse or destroy the response. */
    void cancel();
    /** The transaction is over: wake the waiter. */
    void completed();
    /** Called by whoever took this response out of the registry: ends it
     *  with `why` and status `st` (frees the TID, calls crc_error() or
     *  failed(), wakes the waiter). `tid_freed`: the caller took it out of
     *  its table already (reply delivery), so its TID may be another's now. */
    void fail(transaction_outcome why, uint8_t st = 0, bool tid_freed = false);
    /**
     * The reply that a command expects: its instruction byte (the command's
     * with the command bit clear) and, for reads and read-modify-writes, its
     * data length. Set by the initiator before the transaction is registered.
     */
    void expect(uint8_t instruction, uint32_t length)
    {
        expected_pt = instruction;
        expected_ds = length;
    }
    /** Whether a reply with instruction `pt`, data length `ds` and status `st` fits the command. */
    bool fits(uint8_t pt, uint32_t ds, uint8_t st) const;

    // ---- Outcome --------------------------------------------------------------
    void set_status(bool error, uint8_t st);
    uint8_t status_code() const;
    bool ok() const;
    /** What happened to the last transaction (kept apart from status_code()). */
    transaction_outcome outcome() const { return what.load(std::memory_order_acquire); }
    void set_outcome(transaction_outcome o) { what.store(o, std::memory_order_release); }
    /** Stores the status in `st`; @return true on failure. */
    bool response(uint8_t &st) const
    {
        st = status;
        return err;
    }
    size_t size() const { return rsz; }
    bool synchronized() const { return sync != nullptr; }
    /** The kept copy of the last reply data (null without copydata). */
    const uint8_t *info(size_t &sz) const
    {
        sz = rsz;
        return rdata;
    }

    void set_id(const std::string &label) { id = label; }
    void set_file(const std::string &name) { file = name; }
    void set_verbose(bool on);
    void verbose(bool on) { print = on; }
    void set_copydata(bool on);

    synchronous *sync = nullptr;
    std::atomic<transinfo *> tx{nullptr};
    uint8_t *rdata = nullptr;
    const uint8_t *sdata = nullptr;
    size_t rsz = 0;
    uint32_t timeout_count = 0;
    uint32_t timeout = 0;
    bool err = true;
    uint8_t status = 0;
    bool print = true;
    std::string id;
    std::string file;
    bool ioerror = false;
    uint16_t mid = 0;
    bool copydata = false;
    /** The connection the transaction was issued on (null: none known). */
    std::atomic<const void *> owner{nullptr};
    uint8_t expected_pt = 0;
    uint32_t expected_ds = 0;
    std::atomic<transaction_outcome> what{transaction_outcome::pending};

  protected:
    /** Leave the table and registry if still live, without waiting. */
    void forget();

  private:
    void keep(const char *what, uint8_t st, const uint8_t *data, uint32_t sz);
};

/** A response with its own waiter; the operation returns after completion. */
class ORWIN_API synchronous_response : public transaction_response {
  public:
    /** `timeout` ticks of 10 ms (0 = wait for ever); keeps a copy of data. */
    explicit synchronous_response(uint32_t timeout = 0);
    /** Takes a transaction still live out of its table. */
    ~synchronous_response() override;

    synchronous syncinfo;
};

/**
 * A table of transaction identifiers. A user may derive from it and install
 * the derived table as another's user handler to choose identifiers.
 */
class ORWIN_API transinfo {
  public:
    using transactions_t = std::map<uint16_t, transaction_response *>;

    transinfo() = default;
    transinfo(const transinfo &) = delete;
    transinfo &operator=(const transinfo &) = delete;

    /** Notification that `id` was freed; does nothing. */
    virtual void released(uint16_t id);
    /** Remove the transaction `id` and return it if it was still live. */
    virtual transaction_response *find(uint16_t id);
    /** Next free identifier. @throws nofreetid* when all 65,536 are live */
    virtual uint16_t tid();
    /** Next identifier to try (a user handler is seeded too). */
    virtual void seed(uint16_t s);
    virtual ~transinfo() = default;

    /**
     * Allocate an identifier for `tr` and enter it in the live registry.
     * @throws nofreetid* when no identifier is free
     */
    uint16_t transaction(transaction_response *tr);
    /** Delegate allocation and look-up to `h`; a non-null `h` enables. */
    void set_user_handler(transinfo *h);
    void set_enabled(bool on) { en = on; }
    bool enabled() const { return en; }
    /** Number of live transactions in the table (or its user handler). */
    size_t live();

    transinfo *user_handler = nullptr;
    transactions_t rmap_transactions;
    uint16_t transaction_id = 1;
    orw::utils::lock tlock;
    std::atomic<bool> en{false};

  protected:
    bool is_free(uint16_t id) const { return rmap_transactions.find(id) == rmap_transactions.end(); }
    transaction_response *findi(uint16_t id);
};

/** The process-wide table, used when no narrower scope is enabled. */
extern ORWIN_API transinfo global_transactions;

/** The process-wide time-out thread: ticks every 10 ms while a transaction
 *  with a time-out is live, and sleeps otherwise. */
class ORWIN_API rmap_timer {
  public:
    rmap_timer() = default;
    /** Stops and joins the thread. */
    ~rmap_timer();
    /** Starts the thread unless it runs; safe from several threads at once. */
    void start();

    std::atomic<bool> running{false};
    std::thread timert;
    /** Ticks run so far (for diagnostics). */
    std::atomic<uint64_t> ticks{0};

  private:
    void run();
    std::once_flag once;
};

/** Length of one timer tick in microseconds. */
constexpr unsigned timer_tick_us = 10000;

extern ORWIN_API rmap_timer timer;

/** Number of transactions in the live registry (for diagnostics). */
ORWIN_API size_t live_transactions();

/**
 * End every live transaction issued on `owner` with `why`, each exactly once,
 * and wait until no completion of one of them by the timer is still running,
 * so that the owner's tables may go afterwards.
 * @return the number of transactions ended here
 */
size_t end_transactions(const void *owner, transaction_outcome why);

} // namespace orw::spacewire::rmap

#endif // ORWIN_RMAP_TRANSACTIONS_HPP
