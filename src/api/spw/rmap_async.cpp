// SPDX-License-Identifier: MIT
// Asynchronous RMAP operations: each transaction gets a response of its own,
// owned jointly by the sender (until the packet is out) and the completion
// (reply, time-out or end of the connection); the last of the two frees it.
#include "Orwin.hpp"

#include <atomic>
#include <utility>

namespace orw::spacewire::rmap {

namespace {

class async_response final : public transaction_response {
  public:
    explicit async_response(uint32_t timeout) : transaction_response(timeout, &done), done(this)
    {
        print = false;
    }

    std::future<result> future() { return promise.get_future(); }

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

    /** Sending failed: no completion will come unless one already ran. */
    void abandon()
    {
        if (finished.load(std::memory_order_acquire))
            release();
        else
            delete this;
    }

  private:
    // The waiter slot: completion fulfils the promise. Its signal serves
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
        promise.set_value(std::move(out));
        done.synchronous::completed();
        release();
    }

    void release()
    {
        if (holders.fetch_sub(1, std::memory_order_acq_rel) == 1)
            delete this;
    }

    finisher done;
    std::promise<result> promise;
    std::vector<uint8_t> data;
    std::atomic<int> holders{2};
    std::atomic<bool> finished{false};
};

// Starts `send` on a fresh response and hands back its future.
template <class Send> std::future<result> issue(uint32_t timeout, Send send)
{
    auto *r = new async_response(timeout);
    std::future<result> f = r->future();
    if (timeout)
        timer.start();
    try {
        send(r);
    } catch (...) {
        r->abandon();
        throw;
    }
    r->sent();
    return f;
}

} // namespace

std::future<result> protocol::read_async(device_t *dev, uint8_t key, uint32_t addr, size_t sz, uint32_t timeout,
                                         uint8_t flags, uint8_t ewa)
{
    return issue(timeout, [&](transaction_response *r) { send_read(dev, key, flags, ewa, addr, sz, r); });
}

std::future<result> protocol::write_async(device_t *dev, uint8_t key, uint32_t addr, const uint8_t *d, size_t sz,
                                          uint32_t timeout, uint8_t flags, uint8_t ewa)
{
    return issue(timeout, [&](transaction_response *r) { send_write(dev, key, flags, ewa, addr, d, sz, r); });
}

std::future<result> protocol::rmw_async(device_t *dev, uint8_t key, uint32_t addr, const uint8_t *d,
                                        const uint8_t *mask, size_t sz, uint32_t timeout, uint8_t ewa)
{
    return issue(timeout, [&](transaction_response *r) { send_rmw(dev, key, ewa, addr, d, mask, sz, r); });
}

} // namespace orw::spacewire::rmap
