// SPDX-License-Identifier: MIT
// ccsds-packets: sends CCSDS space packets through a device on one link of a
// unit and receives them with a derived handler on the link wired to it.
// Against the simulator, wire the two links (orwin-unitsim --wire 1:2).
//
//   usage: ccsds-packets HOST[:PORT] [SEND-LINK RECEIVE-LINK]
#include "Orwin.hpp"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>

namespace {

namespace ccsds = orw::spacewire::ccsds;

// Runs on the connection's reader thread at the end of every CCSDS packet.
struct receiver : ccsds::handler {
    std::mutex m;
    std::condition_variable cv;
    int packets = 0;

    void request(uint8_t reserved, uint8_t application, unsigned char *, uint32_t rawsz,
                 ccsds::primary_header &hdr, ccsds::secondary_header *, unsigned char *, uint32_t sz) override
    {
        std::printf("received: reserved %02x application %02x apid %u count %u, %u bytes, data field %u%s\n",
                    reserved, application, hdr.apid, hdr.seqcnt, rawsz, sz,
                    hdr.sechdr ? ", secondary header" : "");
        std::fflush(stdout);
        std::lock_guard<std::mutex> lock(m);
        ++packets;
        cv.notify_all();
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
        std::fprintf(stderr, "usage: %s HOST[:PORT] [SEND-LINK RECEIVE-LINK]\n", argv[0]);
        return 2;
    }
    const int out = argc > 3 ? std::atoi(argv[2]) : 1;
    const int in = argc > 3 ? std::atoi(argv[3]) : 2;
    try {
        orw::spacewire::connection_t unit(argv[1], 100.0);
        receiver handler;
        unit.register_protocol(static_cast<uint8_t>(in), ccsds::protocol_id, &handler); // starts the reader

        std::unique_ptr<orw::spacewire::device_t> node(unit.device("node", "ccsds", out, 0xFE, 0x20));
        const unsigned char telemetry[] = {'o', 'r', 'w', 'i', 'n'};
        // A packet from its fields: primary header, user data, then send.
        node->ccsds_header(0, false, 0x123, 3, 1);
        node->ccsds_user_data(telemetry, sizeof telemetry);
        node->ccsds_send(0x10, 0x00);
        // With a secondary header whose checkword flag adds a checksum.
        node->ccsds_header(0, false, 0x123, 3, 2);
        node->ccsds_secondary_header(1000, 0, 0, true, 0, 1, 0, 0x42, 0, 0);
        node->ccsds_user_data(telemetry, sizeof telemetry);
        node->ccsds_send(0x10, 0x00);
        // A packet the application built itself, sent as it is.
        const unsigned char own[] = {0x01, 0x23, 0xC0, 0x03, 0x00, 0x01, 0xAB, 0xCD};
        node->spwccsds_send(0x10, 0x00, own, sizeof own);

        if (!handler.wait_for(3)) {
            std::fprintf(stderr, "only %d of 3 packets came back\n", handler.packets);
            return 1;
        }
        unit.stop_server();
        std::printf("%d CCSDS packets received, %llu dropped as oversized\n", handler.packets,
                    static_cast<unsigned long long>(handler.oversized()));
    } catch (const orw::error &e) {
        std::fprintf(stderr, "%s: error %d: %s\n", e.name().c_str(), e.get(), e.text());
        return 1;
    }
    return 0;
}
