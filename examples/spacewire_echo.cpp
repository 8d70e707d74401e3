// SPDX-License-Identifier: MIT
// spacewire-echo: opens a unit with orw::spacewire::connection_t, registers a
// raw handler on a link, sends a few packets through a device to the node on
// that link and prints what comes back. Against the simulator, start it with
// an echo node on the link (orwin-unitsim --echo 1).
//
//   usage: spacewire-echo HOST[:PORT] [LINK]
#include "Orwin.hpp"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace {

using orw::spacewire::connection_t;
using orw::spacewire::device_t;

// Runs on the connection's reader thread: prints every piece it is given.
struct printer : orw::spacewire::raw::handler {
    std::mutex m;
    std::condition_variable cv;
    int packets = 0;

    void read_packet(unsigned char *data, size_t sz, int terminator) override
    {
        std::string hex;
        char b[4];
        for (size_t i = 0; i < sz && i < 16; ++i) {
            std::snprintf(b, sizeof b, " %02x", data[i]);
            hex += b;
        }
        std::printf("link %d received %zu bytes (%s):%s%s\n", linkno, sz, Orwin_pkttype_to_str(terminator),
                    hex.c_str(), sz > 16 ? " ..." : "");
        std::fflush(stdout);
        if (terminator != orw::connection::PART_EOP_EEP) {
            std::lock_guard<std::mutex> lock(m);
            ++packets;
            cv.notify_all();
        }
    }
    bool wait_for(int n)
    {
        std::unique_lock<std::mutex> lock(m);
        return cv.wait_for(lock, std::chrono::seconds(2), [&] { return packets >= n; });
    }
};

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s HOST[:PORT] [LINK]\n", argv[0]);
        return 2;
    }
    const int link = argc > 2 ? std::atoi(argv[2]) : 1;
    try {
        connection_t unit(argv[1], 100.0); // every link in normal mode at 100 Mbit/s
        std::printf("unit %s: link %d %s\n", argv[1], link,
                    unit.active_link(link) ? "connected" : "not connected");

        printer handler;
        unit.register_generic(static_cast<uint8_t>(link), &handler); // starts the reader thread

        // The node answers to logical address 0xFE; our address is 0x20. The
        // first data byte carries our address for the echo to swap in.
        std::unique_ptr<device_t> node(unit.device("echo", "node", link, 0xFE, 0x20));
        // The same node reached by path addressing: routers consume 00 05.
        const uint8_t path[] = {0x00, 0x05};
        const uint8_t back[] = {0x03};
        std::unique_ptr<device_t> routed(
            unit.device("echo", "routed", link, path, sizeof path, back, sizeof back, 0xFE, 0x20));
        int sent = 0;
        for (int i = 0; i < 3; ++i) {
            std::vector<unsigned char> data = {0x20, static_cast<unsigned char>(i), 'h', 'e', 'l', 'l', 'o'};
            device_t *d = i == 2 ? routed.get() : node.get();
            d->raw_send(0x42, data.data(), data.size());
            std::printf("sent packet %d to %s\n", i, d->type().c_str());
            ++sent;
        }
        if (!handler.wait_for(sent)) {
            std::fprintf(stderr, "only %d of %d echoes came back\n", handler.packets, sent);
            return 1;
        }
        unit.stop_server();
        std::printf("%d packets echoed\n", handler.packets);
    } catch (const orw::error &e) {
        std::fprintf(stderr, "%s: error %d: %s\n", e.name().c_str(), e.get(), e.text());
        return 1;
    } catch (const orw::spacewire::address_error &e) {
        std::fprintf(stderr, "%s (0x%02x)\n", e.text(), e.value());
        return 1;
    }
    return 0;
}
