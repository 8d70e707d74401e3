// SPDX-License-Identifier: MIT
// The unit's behaviour behind the stream: its slots and modules, its register
// space, its links and their wiring. Not thread-safe and free of I/O; the
// simulator serialises every call.
#pragma once

#include "frames.hpp"
#include "nodes.hpp"
#include "orwin_unitsim.hpp"
#include "rmap_node.hpp"

#include <cstdint>
#include <map>
#include <utility>
#include <vector>

namespace orw::unitsim {

class unit {
  public:
    /// Validates the configuration; throws std::runtime_error when it is unusable.
    explicit unit(const config &cfg);

    /// What one client connection remembers: the link its packets and
    /// per-link commands address.
    struct session {
        int link = 1;
    };

    /// Bytes a handled item asks to send: `reply` to the client that sent
    /// it, `broadcast` to every connected client.
    struct outcome {
        std::vector<uint8_t> reply;
        std::vector<uint8_t> broadcast;
        // An RMAP node's reply held back by its reply delay: to the client
        // that sent the command, `delay_ms` from now.
        std::vector<uint8_t> delayed;
        int delay_ms = 0;
    };

    /// Records `item` (when history is kept) and acts on it.
    void handle(session &s, frame_item &&item, outcome &out);

    const config &settings() const { return cfg_; }
    const std::vector<packet> &packets() const { return packets_; }
    const std::vector<std::vector<uint8_t>> &specials() const { return specials_; }
    const std::vector<std::vector<uint8_t>> &extensions() const { return extensions_; }
    int link_mode(int link) const;
    uint16_t link_speed_code(int link) const;
    int current_link() const { return current_link_; }
    std::vector<uint8_t> register_bytes(int link, uint32_t address, size_t count) const;
    std::vector<uint8_t> module_setting(int link, int type) const;
    /// Places the waveform in `link`'s buffer at 0x1000; throws
    /// std::invalid_argument for a link the unit does not have.
    void set_waveform(int link, const waveform_config &w);
    /// Throws std::invalid_argument for a link the unit does not have.
    void set_link_up(int link, bool up);
    const node_traffic *traffic(int link) const;
    /// First slot holding `type`, or -1.
    int slot_of(uint8_t type) const;
    /// Packets the CCSDS node on `link` decoded (empty when it has none).
    const std::vector<ccsds_packet> &ccsds_received(int link) const;
    /// The RMAP node at the far end of `link`; throws std::invalid_argument
    /// when there is none.
    rmap_node &node(int link);
    const rmap_node &node(int link) const;
    /// Packets clients sent on an initiator link, taken by the caller.
    std::vector<std::vector<uint8_t>> &initiator_inbox(int link);

  private:
    struct link_state {
        int mode = 0;            // 0 = never written
        uint16_t speed_code = 0; // 0 = never written
        bool up = true;
    };

    void handle_special(session &s, const std::vector<uint8_t> &sp, outcome &out);
    void handle_extension(session &s, const std::vector<uint8_t> &ext);
    void deliver(const session &s, std::vector<uint8_t> &&data, bool eep, outcome &out);
    void to_node(const session &s, const std::vector<uint8_t> &data, bool eep, outcome &out);
    void select_link(session &s, int link);
    void capability_reply(outcome &out) const;
    void ram_io(const std::vector<uint8_t> &sp, outcome &out);
    void tor_module(session &s, uint8_t type, const std::vector<uint8_t> &sp, outcome &out);

    bool link_exists(int link) const { return link >= 1 && link <= cfg_.links; }
    bool connected(int link) const;
    const node_kind *node_on(int link) const;
    bool far_node(int link) const; // any node or initiator at the far end of `link`
    int wired_to(int link) const;  // 0 = unwired
    uint8_t status_byte(int link) const;
    uint16_t rx_speed_code(int link) const;
    uint16_t tx_speed_code(int link) const;
    uint8_t read_register(int link, uint32_t address) const;
    void write_register(int link, uint32_t address, uint8_t value);

    config cfg_;
    std::vector<link_state> links_;           // index 0..links (0: the unit's own port)
    std::vector<std::vector<uint8_t>> banks_; // per-link register banks, then the unit-wide one
    std::vector<packet> packets_;
    std::vector<std::vector<uint8_t>> specials_;
    std::vector<std::vector<uint8_t>> extensions_;
    std::map<std::pair<int, int>, std::vector<uint8_t>> module_settings_; // (link, module type)
    std::map<int, node_traffic> traffic_;                                 // per link with a node
    int current_link_ = 1;
    std::map<int, std::vector<ccsds_packet>> ccsds_;           // CCSDS node per link
    std::map<int, rmap_node> nodes_;                           // by link
    std::map<int, std::vector<std::vector<uint8_t>>> inboxes_; // initiator links
};

} // namespace orw::unitsim
