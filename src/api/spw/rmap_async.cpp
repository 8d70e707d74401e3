// SPDX-License-Identifier: MIT
// Asynchronous RMAP operations: each transaction gets a response of its own,
// owned jointly by the sender (until the packet is out) and the completion
// (reply, time-out or end of the connection); the last of the two frees it.
// The completion hands the result to a sink: a promise or a callback.
#include "Orwin.hpp"
#include "Orwin_Trace.h"

#include <atomic>
#include <exception>
#include <utility>

namespace orw::spacewire::rmap {

namespace {

class async_response : public transaction_response {
  public:
    explicit async_response(uint32_t timeout) : transaction_response(timeout, &done), done(this)
    {
        print = false;
    }

    using transaction_response::read_modify_write_reply;
    using transaction_response::read_reply;
    void read_reply(uint8_t, const uint8_t *d, uint32_t sz) override { data.assign(d, d + sz); }
    void read_modify_write_reply(uint8_t, const uint8_t *d, uint32_t sz) override { data.assign(d, d + sz); }
    void write_reply(uint8_t) override {}
    void timedout() override {}
    void crc_error() override {}
    void failed(transaction_outcome) override {}

    /** The packet is out: the completion alone holds the response now. */
    void sent() { release(); }

    /**
     * Sending failed. @return whether the completion already ran (the
     * connection ended while sending); otherwise none will come.
     */
    bool abandon()
    {
        if (finished.load(std::memory_order_acquire)) {
            release();
            return true;
        }
        delete this;
        return false;
    }

  protected:
    /** Hands the result over; runs once, on the completing thread. */
    virtual void deliver(result &&out) = 0;

  private:
    // The waiter slot: completion delivers the result. Its signal serves
    // only a sender that cancels while the completion runs.
    struct finisher : synchronous {
        explicit finisher(async_response *r) : r(r) {}
        void completed() override { r->finish(); }
        async_response *r;
    };

    void finish()
    {
        result out;
        out.outcome = outcome();
        out.status = status;
        out.data = std::move(data);
        finished.store(true, std::memory_order_release);
        deliver(std::move(out));
        done.synchronous::completed();
        release();
    }

    void release()
    {
        if (holders.fetch_sub(1, std::memory_order_acq_rel) == 1)
            delete this;
    }

    finisher done;
    std::vector<uint8_t> data;
    std::atomic<int> holders{2};
    std::atomic<bool> finished{false};
};

class future_response final : public async_response {
  public:
    using async_response::async_response;
    std::future<result> future() { return promise.get_future(); }

  private:
    void deliver(result &&out) override { promise.set_value(std::move(out)); }
    std::promise<result> promise;
};

class callback_response final : public async_response {
  public:
    callback_response(uint32_t timeout, completion &&cb) : async_response(timeout), cb(std::move(cb)) {}

  private:
    // The reader thread runs this: a callback that throws must not end it.
    void deliver(result &&out) override
    {
        if (!cb)
            return;
        try {
            cb(std::move(out));
        } catch (const std::exception &e) {
            ORW_SPW_TRACE(1, this, "RMAP completion callback threw: %s", e.what());
        } catch (...) {
            ORW_SPW_TRACE(1, this, "RMAP completion callback threw");
        }
    }
    completion cb;
};

// Starts `send` on `r`. A failure while sending whose transaction the
// completion already ended (the connection went meanwhile) is dropped when
// `delivered_ends_it`: the outcome has reached the caller once already.
template <class Send> void issue(async_response *r, uint32_t timeout, bool delivered_ends_it, Send send)
{
    if (timeout)
        timer.start();
    try {
        send(r);
    } catch (...) {
        if (r->abandon() && delivered_ends_it)
            return;
        throw;
    }
    r->sent();
}

template <class Send> std::future<result> with_future(uint32_t timeout, Send send)
{
    auto *r = new future_response(timeout);
    std::future<result> f = r->future();
    issue(r, timeout, false, send);
    return f;
}

template <class Send> void with_callback(uint32_t timeout, completion &&done, Send send)
{
    issue(new callback_response(timeout, std::move(done)), timeout, true, send);
}

} // namespace

std::future<result> protocol::read_async(device_t *dev, uint8_t key, uint32_t addr, size_t sz,
                                         uint32_t timeout, uint8_t flags, uint8_t ewa)
{
    return with_future(timeout,
                       [&](transaction_response *r) { send_read(dev, key, flags, ewa, addr, sz, r); });
}

std::future<result> protocol::write_async(device_t *dev, uint8_t key, uint32_t addr, const uint8_t *d,
                                          size_t sz, uint32_t timeout, uint8_t flags, uint8_t ewa)
{
    return with_future(timeout,
                       [&](transaction_response *r) { send_write(dev, key, flags, ewa, addr, d, sz, r); });
}

std::future<result> protocol::rmw_async(device_t *dev, uint8_t key, uint32_t addr, const uint8_t *d,
                                        const uint8_t *mask, size_t sz, uint32_t timeout, uint8_t ewa)
{
    return with_future(timeout,
                       [&](transaction_response *r) { send_rmw(dev, key, ewa, addr, d, mask, sz, r); });
}

void protocol::read_async(device_t *dev, uint8_t key, uint32_t addr, size_t sz, completion done,
                          uint32_t timeout, uint8_t flags, uint8_t ewa)
{
    with_callback(timeout, std::move(done),
                  [&](transaction_response *r) { send_read(dev, key, flags, ewa, addr, sz, r); });
}

void protocol::write_async(device_t *dev, uint8_t key, uint32_t addr, const uint8_t *d, size_t sz,
                           completion done, uint32_t timeout, uint8_t flags, uint8_t ewa)
{
    with_callback(timeout, std::move(done),
                  [&](transaction_response *r) { send_write(dev, key, flags, ewa, addr, d, sz, r); });
}

void protocol::rmw_async(device_t *dev, uint8_t key, uint32_t addr, const uint8_t *d, const uint8_t *mask,
                         size_t sz, completion done, uint32_t timeout, uint8_t ewa)
{
    with_callback(timeout, std::move(done),
                  [&](transaction_response *r) { send_rmw(dev, key, ewa, addr, d, mask, sz, r); });
}

} // namespace orw::spacewire::rmap
