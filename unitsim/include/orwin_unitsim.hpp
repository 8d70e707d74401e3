// orwin-unitsim: a stand-in interface unit on a TCP socket, for tests,
// benchmarks and demonstrations. It speaks the unit's framed stream with its
// own parser and builder, so that it checks the library instead of agreeing
// with it by construction.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace orw::unitsim {

/// Unit family: Tor units address modules by slot, Vex units keep registers
/// behind a RAM-I/O module.
enum class family { tor, vex };

/// Module types as the capability reply lists them.
enum module_type : uint8_t {
    module_capabilities = 0,
    module_manufacturer = 1,
    module_product = 2,
    module_hwa = 3,
    module_link_speed = 4,
    module_link = 5,
    module_tt = 7,
    module_er = 8,
    module_ew = 9,
    module_cr = 14,
    module_ram_rw = 21,
};

/// Slot layouts used when `config::modules` is empty (slot 0 first).
/// Vex: CAPABILITIES, LINK, ram_rw (capability reply 00 03 15 05 00).
/// Tor: CAPABILITIES, MANUFACTURER, PRODUCT, HWA, LINK_SPEED, LINK, CR, TT, ER, EW.
std::vector<uint8_t> default_modules(family kind);

struct config {
    family kind = family::vex;
    int links = 8;                         // number of SpaceWire links (1..30)
    std::string bind_address = "127.0.0.1";
    uint16_t port = 0;                     // 0 = ephemeral
    std::map<int, int> wiring;             // packet sent on link a arrives on link wiring[a]; empty = pairs 1<->2, 3<->4, ...
    std::vector<uint8_t> modules;          // module type per slot, slot 0 first; empty = the family's default layout
    std::string options = "SO";           // Vex options text (register 0x8F60, 32 bytes, zero padded)
    std::string description = "Function=Simulator;Product=Orwin Unit Simulator;Manufacturer=Tarvik Limited"; // Vex 0x880B
    std::string manufacturer = "Tarvik Limited"; // Tor MANUFACTURER module string
    std::string product = "Orwin Unit Simulator"; // Tor PRODUCT module string
    std::array<uint8_t, 6> hwa = {0x00, 0x50, 0xC2, 0x21, 0x20, 0x05};
    // Keep every received byte, packet, special and extension for the
    // accessors below. A long-running unit turns this off so that its
    // memory does not grow with its traffic.
    bool keep_history = true;
};

struct packet {
    int link;
    std::vector<uint8_t> data;
    bool eep;
};

class simulator {
public:
    /// Starts listening at once; throws std::runtime_error for an invalid
    /// configuration or when the socket cannot be set up.
    explicit simulator(config cfg = {});
    /// Stops, joins and closes everything.
    ~simulator();
    simulator(const simulator &) = delete;
    simulator &operator=(const simulator &) = delete;

    uint16_t port() const;
    /// "<bind address>:<port>"
    std::string address() const;

    /// While silent, bytes from clients are counted and kept but neither
    /// parsed nor answered; each connection's parser restarts at a frame
    /// boundary when the silence ends.
    void set_silent(bool silent);
    /// Raw bytes to every connected client, as is.
    void inject(const std::vector<uint8_t> &bytes);
    /// Closes every client connection; returns once they are closed.
    void drop_connections();
    /// True once n clients are connected at the same time.
    bool wait_for_clients(size_t n, int timeout_ms);
    /// True once n bytes in total were received from clients.
    bool wait_for_bytes(size_t n, int timeout_ms);

    std::vector<uint8_t> received_bytes() const;
    std::vector<packet> packets_from_clients() const;
    std::vector<std::vector<uint8_t>> specials_from_clients() const;
    /// Extension commands, command byte first.
    std::vector<std::vector<uint8_t>> extensions_from_clients() const;
    /// Last mode written for that link (0 = never).
    int link_mode(int link) const;
    /// Last transmit speed code written for that link (0 = never).
    uint16_t link_speed_code(int link) const;
    /// Link last selected by any client (1 before any selection).
    int current_link() const;

    /// Sends `count` EOP packets of `size` bytes (byte i of each is i & 0xFF)
    /// as received on `link` to every connected client, as fast as the
    /// sockets take them; returns once all are sent.
    void stream(int link, size_t size, size_t count);

private:
    struct impl;
    std::unique_ptr<impl> impl_;
};

} // namespace orw::unitsim
