// SPDX-License-Identifier: MIT
// orwin-unitsim: a stand-in interface unit on a TCP socket, for tests,
// benchmarks and demonstrations. It speaks the unit's framed stream with its
// own parser and builder, so that it checks the library instead of agreeing
// with it by construction.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
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
    module_sf = 6,
    module_tt = 7,
    module_er = 8,
    module_ew = 9,
    module_tc_rx = 10,
    module_tc_tx = 11,
    module_ew_rt = 13,
    module_cr = 14,
    module_tt_64 = 15,
    module_er_64 = 16,
    module_ram_rw = 21,
    module_barrier = 22,
};

/// Extension commands the unit reports events with (one byte each).
enum event_command : uint8_t {
    event_fct = 0x00,
    event_esc = 0x03,
    event_esc_fct = 0x04,
    event_esc_eep = 0x05,
    event_esc_eop = 0x06,
    event_esc_esc = 0x07,
    event_timeout = 0x08,
    event_parity_error = 0x09,
    event_perror1 = 0x0A,
    event_perror2 = 0x0B,
    event_error = 0x13,
    event_missing_data = 0x14,
};

/// A SpaceWire node behind one of the unit's links. An echo node sends every
/// EOP-terminated packet back on the link it came from, with the destination
/// logical address (first byte) and the source logical address (third byte,
/// after the protocol identifier) swapped; shorter packets come back as they
/// are. Path addressing bytes (below 0x20) are consumed on the way in, as
/// routers would.
/// A CCSDS node decodes every EOP-terminated packet that reaches it as a
/// SpaceWire CCSDS packet transfer and keeps it (see ccsds_received); it
/// answers nothing, and sends packets when asked (send_ccsds).
enum class node_kind { echo, ccsds };

/// Calendar date and time carried by a Year report.
struct calendar {
    uint16_t year = 1970;
    uint8_t month = 1; // 1..12
    uint8_t day = 1;
    uint8_t hour = 0;
    uint8_t minute = 0;
    uint8_t second = 0;
    bool daylight_saving = false;
};

/// The error waveform a Vex unit holds for one link, answered to the
/// waveform data request (a read of 2,070 bytes at 0x1000).
struct waveform_config {
    uint8_t event_byte = 0;   // high nibble event code, low nibble source (1..8 = port)
    uint16_t unit = 0;        // unit number
    uint16_t error_index = 0; // sample word of the error in the ring
    uint64_t timetag = 0;
    /// Sample body: up to 512 samples of 4 bytes (repeat count, then a
    /// 24-bit little-endian word of four 6-bit lines); shorter is zero padded.
    std::vector<uint8_t> samples;
};
/// Largest sample body of a waveform.
constexpr size_t waveform_sample_bytes = 2048;
/// Bytes of the waveform buffer at 0x1000, and of the whole reply to its request.
constexpr size_t waveform_buffer_bytes = 2070;
constexpr size_t waveform_reply_bytes = waveform_buffer_bytes + 5;

/// Slot layouts used when `config::modules` is empty (slot 0 first).
/// Vex: CAPABILITIES, LINK, ram_rw (capability reply 00 03 15 05 00).
/// Tor: CAPABILITIES, MANUFACTURER, PRODUCT, HWA, LINK_SPEED, LINK, CR, TT, ER, EW.
std::vector<uint8_t> default_modules(family kind);

/// A CCSDS space packet carried by SpaceWire CCSDS packet transfer
/// (protocol identifier 2), as the simulator's CCSDS node sends or decoded it.
struct ccsds_packet {
    uint8_t logical_address = 0xFE; // target logical address
    uint8_t reserved = 0;           // the two transfer bytes after the protocol identifier
    uint8_t application = 0;
    uint8_t version = 0; // primary header fields
    bool telecommand = false;
    uint16_t apid = 0;           // 11 bits
    uint8_t sequence_flags = 3;  // 2 bits
    uint16_t sequence_count = 0; // 14 bits
    /// Present when the primary header's flag is set: 10 bytes as on the
    /// wire. Byte 5 bit 5 set means a 2-byte checksum ends the data field.
    bool has_secondary = false;
    std::array<uint8_t, 10> secondary{};
    std::vector<uint8_t> user_data;
    // Decoded only:
    uint16_t length_field = 0; // as declared (data field octets - 1)
    bool has_checksum = false;
    uint16_t checksum = 0; // as received
    bool checksum_ok = false;
    /// Protocol 2, a whole primary header, the declared length matching the
    /// bytes received, and a right checksum when one is flagged.
    bool well_formed = false;
};

/// An RMAP target node at the far end of a link, with its own memory.
struct rmap_target_config {
    uint8_t logical_address = 0xFE;
    uint8_t key = 0x20;
    uint8_t extended_address = 0x00;
    uint32_t base_address = 0; // memory covers base .. base + memory_size - 1
    uint32_t memory_size = 1u << 20;
    int reply_delay_ms = 0;      // replies leave this much later
    bool drop_replies = false;   // commands are executed, replies never sent
    bool damage_replies = false; // the last byte of every reply (its data or header CRC) is inverted
};

struct config {
    family kind = family::vex;
    int links = 8; // number of SpaceWire links (1..30)
    std::string bind_address = "127.0.0.1";
    uint16_t port = 0; // 0 = ephemeral
    std::map<int, int>
        wiring; // packet sent on link a arrives on link wiring[a]; empty = pairs 1<->2, 3<->4, ...
    std::map<int, node_kind> nodes; // a node on a link takes the link out of the wiring
    std::set<int> links_down;       // links that start not connected
    std::vector<uint8_t> modules;   // module type per slot, slot 0 first; empty = the family's default layout
    std::string options = "SO";     // Vex options text (register 0x8F60, 32 bytes, zero padded)
    std::string description =
        "Function=Simulator;Product=Orwin Unit Simulator;Manufacturer=Tarvik Limited"; // Vex 0x880B
    std::string manufacturer = "Tarvik Limited";  // Tor MANUFACTURER module string
    std::string product = "Orwin Unit Simulator"; // Tor PRODUCT module string
    std::array<uint8_t, 6> hwa = {0x00, 0x50, 0xC2, 0x21, 0x20, 0x05};
    // Keep every received byte, packet, special and extension for the
    // accessors below. A long-running unit turns this off so that its
    // memory does not grow with its traffic.
    bool keep_history = true;
    // Links whose far end is an RMAP target node: packets sent on them go to
    // the node (leading path bytes are consumed on the way), and its replies
    // come back on the same link to the client that sent the command.
    std::map<int, rmap_target_config> rmap_targets;
    // Links whose far end is the simulator's RMAP initiator (rmap_transact);
    // packets sent on them go to it instead of the wiring.
    std::set<int> rmap_initiator_links;
    // Microseconds the simulator keeps looking for input without sleeping
    // after its last work, as a unit that is always awake; 0 = it sleeps at
    // once, and an idle machine wakes it tens of microseconds late.
    unsigned awake_us = 0;
};

/// A command the simulator's RMAP initiator sends to a client.
struct rmap_request {
    enum class op { read, write, rmw } what = op::read;
    uint8_t target_address = 0xFE;    // logical address of the client's target
    uint8_t initiator_address = 0x67; // where the reply is to go
    uint8_t key = 0;
    bool reply = true; // writes only: ask for a reply
    bool increment = true;
    bool verify = false;
    std::vector<uint8_t> reply_address; // 0, 4, 8 or 12 bytes, as sent
    uint16_t tid = 0;
    uint8_t extended_address = 0;
    uint32_t address = 0;
    uint32_t length = 0;       // reads: bytes asked for
    std::vector<uint8_t> data; // writes: data; rmw: data then mask
};

/// What came back for an rmap_request. `problem` is empty when the reply was
/// well formed and answered the request (right instruction, TID, addresses,
/// CRCs); otherwise it says what was wrong.
struct rmap_result {
    bool replied = false;
    std::vector<uint8_t> packet; // the reply as received
    uint8_t instruction = 0;
    uint8_t status = 0;
    std::vector<uint8_t> data; // read and rmw replies
    std::string problem;
};

/// A recording unit reporting `product` (for example "TRC-8" or "VGL-3U"):
/// in its description on a Vex unit, in its PRODUCT module on a Tor unit.
config recording_unit(const std::string &product, family kind = family::vex);

/// Packets the traffic generator sends as received on links. Packet i of
/// link l has traffic_size(t, l, i) bytes, the content traffic_payload(l,
/// i, size), and ends with EEP when traffic_eep(t, i).
struct traffic {
    std::vector<int> links;           // empty = every link of the unit
    size_t count = 0;                 // packets per link
    std::vector<size_t> sizes = {64}; // cycled through, shifted by the link number
    size_t eep_every = 0;             // every n-th packet of a link ends with EEP; 0 = none
    double rate = 0;                  // packets per second per link; 0 = as fast as clients take them
    // Above 0: the packets of one round (one per link) go out as partial
    // frames of at most this many bytes, the links taking turns frame by
    // frame, so that every link has a packet open at once.
    size_t interleave = 0;
    const std::atomic<bool> *cancel = nullptr; // set to stop early
};
size_t traffic_size(const traffic &t, int link, size_t index);
bool traffic_eep(const traffic &t, size_t index);
std::vector<uint8_t> traffic_payload(int link, size_t index, size_t size);

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

    /// Like a unit switched off: stops listening and closes every client
    /// connection; returns once they are closed. The unit's state (memory,
    /// settings, history) is kept. Does nothing when stopped already.
    void stop();
    /// Like a unit switched on again: listens on the same port as before and
    /// serves new clients. Does nothing while running; throws
    /// std::runtime_error when the port cannot be taken back.
    void start();

    uint16_t port() const;
    /// "<bind address>:<port>"
    std::string address() const;

    /// While silent, bytes from clients are counted and kept but neither
    /// parsed nor answered; each connection's parser restarts at a frame
    /// boundary when the silence ends.
    void set_silent(bool silent);
    /// A unit that stops reading: while off, no byte is taken from any
    /// client, so their sends fill the socket buffers and then block.
    void set_reading(bool on);
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
    /// Vex: the `count` bytes held from register `address` for `link`, as
    /// last written (registers from 0x8000 but the transmit speed are the
    /// unit's and ignore `link`). Bytes the unit does not hold read as 0.
    std::vector<uint8_t> register_bytes(int link, int address, size_t count) const;
    /// Tor: data bytes of the last setting sent to a slot holding
    /// `module_type` while `link` was the client's current link (at most
    /// 256 are kept); empty when there was none.
    std::vector<uint8_t> module_setting(int link, int module_type) const;

    // Events, sent to every connected client as the unit reports them. A
    // `link` is announced first with a link selection (0..63; out of range
    // throws std::invalid_argument).

    /// Timetag of `count` units of 0.1 ns (bits 58..0 are sent).
    void emit_timetag(int link, uint64_t count);
    /// Increment of the link's last timetag.
    void emit_timetag_delta(int link, uint16_t delta);
    void emit_uncertainty(uint8_t uncertainty);
    /// Time-zero timetag (bits 58..0 of `count`).
    void emit_time_zero(uint64_t count);
    void emit_date(const calendar &date);
    /// The 16-byte recording header: system type (0..255, else
    /// std::invalid_argument), seconds and nanoseconds of the start.
    void emit_recording_header(int system_type, uint64_t seconds, uint32_t ns);
    void emit_timecode(int link, uint8_t tc);
    /// A one-byte event such as `event_parity_error`; commands from 0x80
    /// carry further bytes and throw std::invalid_argument.
    void emit_event(int link, uint8_t command);
    void emit_link_select(int link);
    /// The barrier special packet from the first barrier module's slot:
    /// the slot, then `value` most significant first. False when the unit
    /// has no barrier module (nothing is sent).
    bool emit_barrier(uint64_t value);
    /// Keeps the waveform `link` answers the waveform data request with.
    /// Throws std::invalid_argument for a link outside 0..links or samples
    /// longer than `waveform_sample_bytes`.
    void set_waveform(int link, const waveform_config &waveform);

    /// Brings a link up or down. A link is connected when it is up, not
    /// disabled, and has a node or is wired to a link that is up; packets
    /// sent on a link that is not connected are lost. Throws
    /// std::invalid_argument for a link the unit does not have.
    void set_link_up(int link, bool up);
    /// Packets that reached the node on `link` (path bytes consumed), counted
    /// also when history is not kept.
    size_t node_packet_count(int link) const;
    std::vector<packet> node_packets(int link) const;
    /// True once the node on `link` has received `n` packets.
    bool wait_for_node_packets(int link, size_t n, int timeout_ms);
    /// Sends one packet as received on `link`, announced with a link
    /// selection. With `pieces`, the packet's first bytes go out as partial
    /// frames of those sizes, each announced again, as a unit does when it
    /// reports something else in the middle of a packet; the rest ends it.
    void emit_packet(int link, const std::vector<uint8_t> &data, bool eep = false,
                     const std::vector<size_t> &pieces = {});

    /// Sends `count` EOP packets of `size` bytes (byte i of each is i & 0xFF)
    /// as received on `link` to every connected client, as fast as the
    /// sockets take them; returns once all are sent.
    void stream(int link, size_t size, size_t count);

    /// Number of SpaceWire links of the unit.
    int link_count() const;
    /// Sends `t` to every connected client, the links taking turns packet
    /// by packet; returns once all are sent. Returns the packets sent per
    /// link: fewer when cancelled or when no client is left.
    size_t generate(const traffic &t);
    /// Queues `bytes` for every connected client once each holds less than
    /// `window` unsent bytes. False (nothing queued) when no client is left
    /// or `cancel` is set meanwhile.
    bool send_paced(std::vector<uint8_t> &&bytes, size_t window, const std::atomic<bool> *cancel = nullptr);
    /// True once every client has been sent all that was queued for it.
    bool wait_until_sent(int timeout_ms);
    /// Packets the CCSDS node on `link` received, decoded, oldest first
    /// (kept with the history; wait_for_node_packets waits for them).
    std::vector<ccsds_packet> ccsds_received(int link) const;
    /// Sends `p` from the CCSDS node on `link` to every client, cut into
    /// `frames` frames of about equal size (the last ends with EOP). The
    /// length field and a flagged checksum are computed here.
    void send_ccsds(int link, const ccsds_packet &p, size_t frames = 1);
    /// Sends `data` as one packet received on `link`, cut into frames at the
    /// ascending offsets `cuts` (each frame but the last is partial), ended
    /// by EOP or EEP.
    void send_packet(int link, const std::vector<uint8_t> &data, const std::vector<size_t> &cuts = {},
                     bool eep = false);

    // RMAP target nodes (config::rmap_targets); a link without a node
    // throws std::invalid_argument.

    /// `count` bytes of the node's memory from `address` (outside it: 0).
    std::vector<uint8_t> rmap_memory(int link, uint32_t address, size_t count) const;
    void set_rmap_memory(int link, uint32_t address, const std::vector<uint8_t> &bytes);
    void set_rmap_reply_delay(int link, int ms);
    void set_rmap_drop_replies(int link, bool drop);
    /// Commands the node has received (valid or not).
    uint64_t rmap_commands(int link) const;

    /// Sends `request` to the clients as received on `link` (one of
    /// config::rmap_initiator_links) and waits up to `timeout_ms` for the
    /// reply with the request's TID; checks it against the request.
    rmap_result rmap_transact(int link, const rmap_request &request, int timeout_ms);
    /// Packets clients sent on an initiator link since the last call.
    std::vector<std::vector<uint8_t>> take_initiator_packets(int link, int wait_ms);

  private:
    void emit(std::vector<uint8_t> &&bytes);

    struct impl;
    std::unique_ptr<impl> impl_;
};

} // namespace orw::unitsim
