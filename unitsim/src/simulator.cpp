// SPDX-License-Identifier: MIT
// Sockets and threads of the simulator: one poll loop accepts clients, reads
// and parses their streams, and writes queued output without ever blocking.
// Every piece of shared state is guarded by one mutex; only the loop closes
// client sockets, so no descriptor is closed while poll() may watch it.
#include "ccsds_node.hpp"
#include "events.hpp"
#include "frames.hpp"
#include "orwin_unitsim.hpp"
#include "unit.hpp"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/uio.h>
#include <thread>
#include <unistd.h>

namespace orw::unitsim {

namespace {

using chunk = std::shared_ptr<const std::vector<uint8_t>>;

// A client whose own replies pile up beyond this is not read until it
// catches up, as a unit's TCP window would hold it back.
constexpr size_t read_pause_bytes = 16u << 20;
// A client that takes no delivered packets at all is dropped before it can
// exhaust memory.
constexpr size_t drop_client_bytes = 512u << 20;
// stream() keeps at most this much queued per client.
constexpr size_t stream_window_bytes = 4u << 20;
constexpr size_t stream_chunk_bytes = 1u << 20;
constexpr size_t read_size = 256u << 10;

std::runtime_error system_failure(const std::string &what)
{
    return std::runtime_error("unitsim: " + what + ": " + std::strerror(errno));
}

struct connection;

// An RMAP node's reply waiting out its delay.
struct delayed_reply {
    std::chrono::steady_clock::time_point due;
    connection *to;
    chunk bytes;
};

struct connection {
    int fd;
    frame_parser parser;
    unit::session session;
    std::deque<chunk> out;
    size_t offset = 0; // bytes of out.front() already sent
    size_t queued = 0; // unsent bytes in out
    bool dead = false;
};

} // namespace

struct simulator::impl {
    explicit impl(config cfg);
    ~impl();

    void listen_on(uint16_t port);
    void stop();
    void run();
    void wake();
    void accept_clients();
    void read_client(connection &c);
    void enqueue(connection &c, const chunk &bytes);
    void flush(connection &c);
    void close_all();
    size_t live_clients() const;
    template <class Pred> bool wait(int timeout_ms, Pred pred) const;
    int poll_timeout() const;
    int poll_awake(std::vector<pollfd> &fds, int timeout) const;
    void release_due_replies();
    void forget_delayed(const connection *c);

    std::mutex lifecycle; // stop() and start() of the listener and loop
    mutable std::mutex m;
    mutable std::condition_variable cv;
    unit model;
    int listen_fd = -1;
    int wake_fds[2] = {-1, -1};
    uint16_t bound_port = 0;
    bool stopping = false;
    bool silent = false;
    bool reading = true;
    unsigned drops_requested = 0;
    unsigned drops_done = 0;
    uint64_t total_received = 0;
    std::vector<uint8_t> received;
    std::vector<std::unique_ptr<connection>> clients;
    std::vector<delayed_reply> delayed;
    std::vector<uint8_t> read_buffer = std::vector<uint8_t>(read_size);
    std::thread loop;
};

simulator::impl::impl(config cfg) : model(cfg)
{
    if (pipe2(wake_fds, O_NONBLOCK | O_CLOEXEC) < 0)
        throw system_failure("pipe");
    try {
        listen_on(model.settings().port);
    } catch (...) {
        close(wake_fds[0]);
        close(wake_fds[1]);
        throw;
    }
}

simulator::impl::~impl()
{
    stop();
    close(wake_fds[0]);
    close(wake_fds[1]);
}

// Binds and listens on `port` (0: ephemeral) and starts the loop. Address
// reuse lets a restarted unit take its port back at once.
void simulator::impl::listen_on(uint16_t port)
{
    const std::string &bind_address = model.settings().bind_address;
    try {
        sockaddr_in addr = {};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port);
        if (inet_pton(AF_INET, bind_address.c_str(), &addr.sin_addr) != 1)
            throw std::runtime_error("unitsim: bind address is not IPv4: " + bind_address);
        listen_fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (listen_fd < 0)
            throw system_failure("socket");
        int on = 1;
        setsockopt(listen_fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (bind(listen_fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) < 0)
            throw system_failure("bind " + bind_address + ":" + std::to_string(port));
        if (listen(listen_fd, 64) < 0)
            throw system_failure("listen");
        socklen_t len = sizeof addr;
        if (getsockname(listen_fd, reinterpret_cast<sockaddr *>(&addr), &len) < 0)
            throw system_failure("getsockname");
        if (bound_port != ntohs(addr.sin_port)) // unchanged on a restart, which others may be reading
            bound_port = ntohs(addr.sin_port);
        {
            std::lock_guard<std::mutex> lock(m);
            stopping = false;
        }
        loop = std::thread([this] { run(); });
    } catch (...) {
        if (listen_fd >= 0)
            close(listen_fd);
        listen_fd = -1;
        throw;
    }
}

// Ends the loop, which closes every client, then stops listening.
void simulator::impl::stop()
{
    {
        std::lock_guard<std::mutex> lock(m);
        stopping = true;
    }
    cv.notify_all();
    if (!loop.joinable())
        return;
    wake();
    loop.join();
    close(listen_fd);
    listen_fd = -1;
}

void simulator::impl::wake()
{
    char byte = 1;
    // A full pipe already holds a wake-up.
    while (write(wake_fds[1], &byte, 1) < 0 && errno == EINTR) {
    }
}

size_t simulator::impl::live_clients() const
{
    size_t n = 0;
    for (const auto &c : clients)
        n += c->dead ? 0 : 1;
    return n;
}

template <class Pred> bool simulator::impl::wait(int timeout_ms, Pred pred) const
{
    std::unique_lock<std::mutex> lock(m);
    return cv.wait_for(lock, std::chrono::milliseconds(timeout_ms < 0 ? 0 : timeout_ms), pred);
}

void simulator::impl::close_all()
{
    for (auto &c : clients)
        close(c->fd);
    clients.clear();
    delayed.clear();
}

void simulator::impl::forget_delayed(const connection *c)
{
    delayed.erase(
        std::remove_if(delayed.begin(), delayed.end(), [c](const delayed_reply &d) { return d.to == c; }),
        delayed.end());
}

// Until the next delayed reply is due; -1 when none waits.
// With `awake_us`, for a moment after its last work the simulator looks for
// input without sleeping, as a unit that is always awake would answer.
int simulator::impl::poll_awake(std::vector<pollfd> &fds, int timeout) const
{
    const auto awake = std::chrono::microseconds(model.settings().awake_us);
    if (timeout != 0 && awake.count() > 0) {
        const auto until = std::chrono::steady_clock::now() + awake;
        do {
            int ready = poll(fds.data(), fds.size(), 0);
            if (ready != 0)
                return ready;
            std::this_thread::yield();
        } while (std::chrono::steady_clock::now() < until);
    }
    return poll(fds.data(), fds.size(), timeout);
}

int simulator::impl::poll_timeout() const
{
    if (delayed.empty())
        return -1;
    auto next =
        std::min_element(delayed.begin(), delayed.end(),
                         [](const delayed_reply &a, const delayed_reply &b) { return a.due < b.due; });
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(next->due - std::chrono::steady_clock::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count()) + 1;
}

void simulator::impl::release_due_replies()
{
    auto now = std::chrono::steady_clock::now();
    for (size_t i = 0; i < delayed.size();) {
        if (delayed[i].due > now) {
            ++i;
            continue;
        }
        enqueue(*delayed[i].to, delayed[i].bytes);
        flush(*delayed[i].to);
        delayed.erase(delayed.begin() + static_cast<std::ptrdiff_t>(i));
    }
}

void simulator::impl::run()
{
    std::vector<pollfd> fds;
    std::vector<connection *> polled;
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(m);
            if (stopping)
                break;
            if (drops_done != drops_requested) {
                close_all();
                drops_done = drops_requested;
                cv.notify_all();
            }
            for (size_t i = 0; i < clients.size();) {
                if (clients[i]->dead) {
                    forget_delayed(clients[i].get());
                    close(clients[i]->fd);
                    clients.erase(clients.begin() + static_cast<std::ptrdiff_t>(i));
                    cv.notify_all();
                } else {
                    ++i;
                }
            }
            fds.assign({{wake_fds[0], POLLIN, 0}, {listen_fd, POLLIN, 0}});
            polled.clear();
            for (auto &c : clients) {
                short events = c->queued < read_pause_bytes && reading ? POLLIN : 0;
                if (c->queued > 0)
                    events |= POLLOUT;
                fds.push_back({c->fd, events, 0});
                polled.push_back(c.get());
            }
        }
        int timeout = -1;
        {
            std::lock_guard<std::mutex> lock(m);
            timeout = poll_timeout();
        }
        if (poll_awake(fds, timeout) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (fds[0].revents & POLLIN) {
            char drain[64];
            while (read(wake_fds[0], drain, sizeof drain) > 0) {
            }
        }
        std::lock_guard<std::mutex> lock(m);
        release_due_replies();
        if (fds[1].revents & POLLIN)
            accept_clients();
        for (size_t i = 0; i < polled.size(); ++i) {
            connection &c = *polled[i];
            short revents = fds[i + 2].revents;
            if (c.dead || revents == 0)
                continue;
            if (revents & POLLIN)
                read_client(c);
            else if (revents & (POLLERR | POLLHUP | POLLNVAL))
                c.dead = true;
            if (!c.dead && (revents & POLLOUT))
                flush(c);
        }
        cv.notify_all();
    }
    std::lock_guard<std::mutex> lock(m);
    close_all();
    cv.notify_all();
}

void simulator::impl::accept_clients()
{
    for (;;) {
        int fd = accept4(listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0)
            return; // nothing more pending, or a transient failure retried on the next event
        int on = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        clients.push_back(std::make_unique<connection>());
        clients.back()->fd = fd;
    }
}

void simulator::impl::read_client(connection &c)
{
    ssize_t n = recv(c.fd, read_buffer.data(), read_buffer.size(), 0);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return;
    if (n <= 0) {
        c.dead = true;
        return;
    }
    const uint8_t *bytes = read_buffer.data();
    size_t k = static_cast<size_t>(n);
    total_received += k;
    if (model.settings().keep_history)
        received.insert(received.end(), bytes, bytes + k);
    if (silent)
        return;

    std::vector<frame_item> items;
    c.parser.feed(bytes, k, items);
    for (frame_item &item : items) {
        unit::outcome out;
        model.handle(c.session, std::move(item), out);
        if (!out.reply.empty())
            enqueue(c, std::make_shared<const std::vector<uint8_t>>(std::move(out.reply)));
        if (!out.delayed.empty())
            delayed.push_back({std::chrono::steady_clock::now() + std::chrono::milliseconds(out.delay_ms), &c,
                               std::make_shared<const std::vector<uint8_t>>(std::move(out.delayed))});
        if (!out.broadcast.empty()) {
            auto shared = std::make_shared<const std::vector<uint8_t>>(std::move(out.broadcast));
            for (auto &other : clients) {
                if (other->dead)
                    continue;
                if (other->queued > drop_client_bytes)
                    other->dead = true;
                else
                    enqueue(*other, shared);
            }
        }
    }
    for (auto &other : clients)
        if (!other->dead && other->queued > 0)
            flush(*other);
}

void simulator::impl::enqueue(connection &c, const chunk &bytes)
{
    if (c.dead || bytes->empty())
        return;
    c.out.push_back(bytes);
    c.queued += bytes->size();
}

// Sends what the socket takes now, many queued replies in one call; the
// loop's POLLOUT does the rest.
void simulator::impl::flush(connection &c)
{
    constexpr size_t most = 64;
    iovec iov[most];
    while (!c.dead && !c.out.empty()) {
        size_t k = 0;
        for (auto it = c.out.begin(); it != c.out.end() && k < most; ++it, ++k) {
            const size_t skip = k == 0 ? c.offset : 0;
            iov[k].iov_base = const_cast<uint8_t *>((*it)->data() + skip);
            iov[k].iov_len = (*it)->size() - skip;
        }
        msghdr msg = {};
        msg.msg_iov = iov;
        msg.msg_iovlen = k;
        ssize_t n = sendmsg(c.fd, &msg, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                c.dead = true;
            return;
        }
        size_t left = static_cast<size_t>(n);
        c.queued -= left;
        while (left > 0) {
            const size_t rest = c.out.front()->size() - c.offset;
            if (left < rest) {
                c.offset += left;
                break;
            }
            left -= rest;
            c.out.pop_front();
            c.offset = 0;
        }
    }
}

simulator::simulator(config cfg) : impl_(std::make_unique<impl>(std::move(cfg))) {}

simulator::~simulator() = default;

void simulator::stop()
{
    std::lock_guard<std::mutex> serial(impl_->lifecycle);
    impl_->stop();
}

void simulator::start()
{
    std::lock_guard<std::mutex> serial(impl_->lifecycle);
    if (!impl_->loop.joinable())
        impl_->listen_on(impl_->bound_port);
}

uint16_t simulator::port() const
{
    return impl_->bound_port;
}

std::string simulator::address() const
{
    return impl_->model.settings().bind_address + ":" + std::to_string(impl_->bound_port);
}

void simulator::set_silent(bool silent)
{
    std::lock_guard<std::mutex> lock(impl_->m);
    if (impl_->silent && !silent)
        for (auto &c : impl_->clients)
            c->parser.reset();
    impl_->silent = silent;
}

void simulator::set_reading(bool on)
{
    std::lock_guard<std::mutex> lock(impl_->m);
    impl_->reading = on;
    impl_->wake();
}

void simulator::drop_connections()
{
    std::unique_lock<std::mutex> lock(impl_->m);
    unsigned ticket = ++impl_->drops_requested;
    impl_->wake();
    impl_->cv.wait(lock, [&] { return impl_->stopping || impl_->drops_done - ticket < 0x80000000u; });
}

bool simulator::wait_for_clients(size_t n, int timeout_ms)
{
    return impl_->wait(timeout_ms, [&] { return impl_->live_clients() >= n; });
}

bool simulator::wait_for_bytes(size_t n, int timeout_ms)
{
    return impl_->wait(timeout_ms, [&] { return impl_->total_received >= n; });
}

std::vector<uint8_t> simulator::received_bytes() const
{
    std::lock_guard<std::mutex> lock(impl_->m);
    return impl_->received;
}

std::vector<packet> simulator::packets_from_clients() const
{
    std::lock_guard<std::mutex> lock(impl_->m);
    return impl_->model.packets();
}

std::vector<std::vector<uint8_t>> simulator::specials_from_clients() const
{
    std::lock_guard<std::mutex> lock(impl_->m);
    return impl_->model.specials();
}

std::vector<std::vector<uint8_t>> simulator::extensions_from_clients() const
{
    std::lock_guard<std::mutex> lock(impl_->m);
    return impl_->model.extensions();
}

int simulator::link_mode(int link) const
{
    std::lock_guard<std::mutex> lock(impl_->m);
    return impl_->model.link_mode(link);
}

uint16_t simulator::link_speed_code(int link) const
{
    std::lock_guard<std::mutex> lock(impl_->m);
    return impl_->model.link_speed_code(link);
}

int simulator::current_link() const
{
    std::lock_guard<std::mutex> lock(impl_->m);
    return impl_->model.current_link();
}

std::vector<uint8_t> simulator::register_bytes(int link, int address, size_t count) const
{
    if (address < 0)
        return std::vector<uint8_t>(count, 0);
    std::lock_guard<std::mutex> lock(impl_->m);
    return impl_->model.register_bytes(link, static_cast<uint32_t>(address), count);
}

std::vector<uint8_t> simulator::module_setting(int link, int module_type) const
{
    std::lock_guard<std::mutex> lock(impl_->m);
    return impl_->model.module_setting(link, module_type);
}

void simulator::set_link_up(int link, bool up)
{
    std::lock_guard<std::mutex> lock(impl_->m);
    impl_->model.set_link_up(link, up);
}

size_t simulator::node_packet_count(int link) const
{
    std::lock_guard<std::mutex> lock(impl_->m);
    const node_traffic *t = impl_->model.traffic(link);
    return t ? t->count : 0;
}

std::vector<packet> simulator::node_packets(int link) const
{
    std::lock_guard<std::mutex> lock(impl_->m);
    const node_traffic *t = impl_->model.traffic(link);
    return t ? t->kept : std::vector<packet>{};
}

bool simulator::wait_for_node_packets(int link, size_t n, int timeout_ms)
{
    return impl_->wait(timeout_ms, [&] {
        const node_traffic *t = impl_->model.traffic(link);
        return t && t->count >= n;
    });
}

namespace {

// Link-select extensions reach 0x40 + 63 at most.
std::vector<uint8_t> selecting(int link)
{
    if (link < 0 || link > 0x3F)
        throw std::invalid_argument("unitsim: link " + std::to_string(link) + " cannot be announced");
    std::vector<uint8_t> out;
    append_link_select(out, link);
    return out;
}

} // namespace

void simulator::emit(std::vector<uint8_t> &&bytes)
{
    auto shared = std::make_shared<const std::vector<uint8_t>>(std::move(bytes));
    std::lock_guard<std::mutex> lock(impl_->m);
    for (auto &c : impl_->clients) {
        impl_->enqueue(*c, shared);
        impl_->flush(*c);
    }
    impl_->wake();
}

void simulator::inject(const std::vector<uint8_t> &bytes)
{
    emit(std::vector<uint8_t>(bytes));
}

void simulator::emit_timetag(int link, uint64_t count)
{
    std::vector<uint8_t> out = selecting(link);
    append_timetag(out, command_timetag, count);
    emit(std::move(out));
}

void simulator::emit_timetag_delta(int link, uint16_t delta)
{
    std::vector<uint8_t> out = selecting(link);
    append_timetag_delta(out, delta);
    emit(std::move(out));
}

void simulator::emit_uncertainty(uint8_t uncertainty)
{
    std::vector<uint8_t> out;
    append_extension(out, command_timetag_uncertainty, &uncertainty, 1);
    emit(std::move(out));
}

void simulator::emit_time_zero(uint64_t count)
{
    std::vector<uint8_t> out;
    append_timetag(out, command_time_zero, count);
    emit(std::move(out));
}

void simulator::emit_date(const calendar &date)
{
    std::vector<uint8_t> out;
    append_date(out, date);
    emit(std::move(out));
}

void simulator::emit_recording_header(int system_type, uint64_t seconds, uint32_t ns)
{
    if (system_type < 0 || system_type > 0xFF)
        throw std::invalid_argument("unitsim: system type " + std::to_string(system_type) + " is not a byte");
    std::vector<uint8_t> out;
    append_recording_header(out, static_cast<uint8_t>(system_type), seconds, ns);
    emit(std::move(out));
}

void simulator::emit_timecode(int link, uint8_t tc)
{
    std::vector<uint8_t> out = selecting(link);
    append_extension(out, command_timecode, &tc, 1);
    emit(std::move(out));
}

void simulator::emit_event(int link, uint8_t command)
{
    if (command & 0x80)
        throw std::invalid_argument("unitsim: event command " + std::to_string(command) +
                                    " is not a one-byte event");
    std::vector<uint8_t> out = selecting(link);
    append_extension(out, command);
    emit(std::move(out));
}

void simulator::emit_link_select(int link)
{
    emit(selecting(link));
}

bool simulator::emit_barrier(uint64_t value)
{
    int slot = 0;
    {
        std::lock_guard<std::mutex> lock(impl_->m);
        slot = impl_->model.slot_of(module_barrier);
    }
    if (slot < 0)
        return false;
    std::vector<uint8_t> packet(9);
    packet[0] = static_cast<uint8_t>(slot);
    for (int i = 8; i >= 1; --i, value >>= 8)
        packet[i] = static_cast<uint8_t>(value);
    std::vector<uint8_t> out;
    append_special(out, packet);
    emit(std::move(out));
    return true;
}

void simulator::set_waveform(int link, const waveform_config &waveform)
{
    std::lock_guard<std::mutex> lock(impl_->m);
    impl_->model.set_waveform(link, waveform);
}

std::vector<uint8_t> simulator::rmap_memory(int link, uint32_t address, size_t count) const
{
    std::lock_guard<std::mutex> lock(impl_->m);
    return impl_->model.node(link).read(address, count);
}

void simulator::set_rmap_memory(int link, uint32_t address, const std::vector<uint8_t> &bytes)
{
    std::lock_guard<std::mutex> lock(impl_->m);
    impl_->model.node(link).write(address, bytes);
}

void simulator::set_rmap_reply_delay(int link, int ms)
{
    std::lock_guard<std::mutex> lock(impl_->m);
    impl_->model.node(link).cfg.reply_delay_ms = ms < 0 ? 0 : ms;
}

void simulator::set_rmap_drop_replies(int link, bool drop)
{
    std::lock_guard<std::mutex> lock(impl_->m);
    impl_->model.node(link).cfg.drop_replies = drop;
}

uint64_t simulator::rmap_commands(int link) const
{
    std::lock_guard<std::mutex> lock(impl_->m);
    return impl_->model.node(link).commands;
}

std::vector<std::vector<uint8_t>> simulator::take_initiator_packets(int link, int wait_ms)
{
    std::unique_lock<std::mutex> lock(impl_->m);
    auto &inbox = impl_->model.initiator_inbox(link);
    impl_->cv.wait_for(lock, std::chrono::milliseconds(wait_ms < 0 ? 0 : wait_ms),
                       [&] { return !inbox.empty(); });
    return std::exchange(inbox, {});
}

rmap_result simulator::rmap_transact(int link, const rmap_request &request, int timeout_ms)
{
    {
        std::lock_guard<std::mutex> lock(impl_->m);
        impl_->model.initiator_inbox(link); // throws for a link without an initiator
    }
    send_packet(link, build_rmap_command(request));
    bool wants_reply = request.what != rmap_request::op::write || request.reply;
    std::unique_lock<std::mutex> lock(impl_->m);
    auto &inbox = impl_->model.initiator_inbox(link);
    std::vector<uint8_t> reply;
    auto answered = [&] {
        for (auto it = inbox.begin(); it != inbox.end(); ++it) {
            uint16_t tid = 0;
            if (rmap_reply_tid(request, *it, tid) && tid == request.tid) {
                reply = std::move(*it);
                inbox.erase(it);
                return true;
            }
        }
        return impl_->stopping;
    };
    rmap_result result;
    if (!impl_->cv.wait_for(lock, std::chrono::milliseconds(timeout_ms < 0 ? 0 : timeout_ms), answered) ||
        reply.empty()) {
        if (wants_reply)
            result.problem = "no reply";
        return result;
    }
    result = check_rmap_reply(request, reply);
    result.replied = true;
    if (!wants_reply)
        result.problem = "reply to a command that asked for none";
    return result;
}

void simulator::stream(int link, size_t size, size_t count)
{
    std::vector<uint8_t> payload(size);
    for (size_t i = 0; i < size; ++i)
        payload[i] = static_cast<uint8_t>(i & 0xFF);
    std::vector<uint8_t> one;
    append_link_select(one, link);
    append_packet(one, payload.data(), payload.size(), false);
    payload = {};

    // Many small packets travel in one chunk so that queueing stays cheap.
    const size_t per_chunk = std::max<size_t>(1, stream_chunk_bytes / one.size());
    auto make_chunk = [&](size_t packets) {
        auto bytes = std::make_shared<std::vector<uint8_t>>();
        bytes->reserve(one.size() * packets);
        for (size_t i = 0; i < packets; ++i)
            bytes->insert(bytes->end(), one.begin(), one.end());
        return chunk(std::move(bytes));
    };
    const chunk full = make_chunk(std::min(per_chunk, count));

    impl &s = *impl_;
    std::unique_lock<std::mutex> lock(s.m);
    auto room = [&] {
        for (auto &c : s.clients)
            if (!c->dead && c->queued >= stream_window_bytes)
                return false;
        return true;
    };
    for (size_t left = count; left > 0 && !s.stopping && s.live_clients() > 0;) {
        s.cv.wait(lock, [&] { return s.stopping || room(); });
        size_t packets = std::min(per_chunk, left);
        chunk bytes = packets == per_chunk || packets == count ? full : make_chunk(packets);
        for (auto &c : s.clients) {
            s.enqueue(*c, bytes);
            s.flush(*c);
        }
        left -= packets;
        s.wake();
    }
    s.cv.wait(lock, [&] {
        if (s.stopping)
            return true;
        for (auto &c : s.clients)
            if (!c->dead && c->queued > 0)
                return false;
        return true;
    });
}

std::vector<ccsds_packet> simulator::ccsds_received(int link) const
{
    std::lock_guard<std::mutex> lock(impl_->m);
    return impl_->model.ccsds_received(link);
}

void simulator::send_ccsds(int link, const ccsds_packet &p, size_t frames)
{
    std::vector<uint8_t> spw = encode_ccsds(p);
    std::vector<size_t> cuts;
    for (size_t f = 1; f < frames; ++f)
        cuts.push_back(spw.size() * f / frames);
    send_packet(link, spw, cuts);
}

void simulator::send_packet(int link, const std::vector<uint8_t> &data, const std::vector<size_t> &cuts,
                            bool eep)
{
    std::vector<uint8_t> out = selecting(link);
    size_t from = 0;
    for (size_t cut : cuts) {
        cut = std::min(std::max(cut, from), data.size());
        append_partial(out, data.data() + from, cut - from);
        from = cut;
    }
    append_packet(out, data.data() + from, data.size() - from, eep);
    emit(std::move(out));
}

} // namespace orw::unitsim

namespace orw::unitsim {

int simulator::link_count() const
{
    return impl_->model.settings().links;
}

bool simulator::send_paced(std::vector<uint8_t> &&bytes, size_t window, const std::atomic<bool> *cancel)
{
    impl &s = *impl_;
    auto shared = std::make_shared<const std::vector<uint8_t>>(std::move(bytes));
    auto gone = [&] { return s.stopping || s.live_clients() == 0 || (cancel && cancel->load()); };
    std::unique_lock<std::mutex> lock(s.m);
    // Woken by the loop after every poll; the time-out only notices `cancel`.
    while (!s.cv.wait_for(lock, std::chrono::milliseconds(100), [&] {
        if (gone())
            return true;
        for (auto &c : s.clients)
            if (!c->dead && c->queued >= window)
                return false;
        return true;
    })) {
    }
    if (gone())
        return false;
    for (auto &c : s.clients) {
        s.enqueue(*c, shared);
        s.flush(*c);
    }
    s.wake();
    return true;
}

bool simulator::wait_until_sent(int timeout_ms)
{
    return impl_->wait(timeout_ms, [&] {
        for (auto &c : impl_->clients)
            if (!c->dead && c->queued > 0)
                return false;
        return true;
    });
}

} // namespace orw::unitsim
