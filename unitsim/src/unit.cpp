// SPDX-License-Identifier: MIT
#include "unit.hpp"

#include "ccsds_node.hpp"
#include "events.hpp"

#include <algorithm>
#include <stdexcept>
#include <string>

namespace orw::unitsim {

namespace {

constexpr uint32_t register_space = 0x10000;
constexpr uint32_t link_status_address = 0x0000;
constexpr uint32_t tx_speed_address = 0x87FD;
constexpr uint32_t hwa_address = 0x8800;
constexpr uint32_t description_address = 0x880B;
constexpr size_t description_size = 256;
constexpr uint32_t options_address = 0x8F60;
constexpr size_t options_size = 32;
constexpr uint32_t nlinks_address = 0x8FFF;
constexpr uint32_t identity_registers = 0x8000;
constexpr uint32_t waveform_address = 0x1000;
// Settings are a byte or two; a client sending more only gets the start kept.
constexpr size_t max_setting_bytes = 256;

constexpr uint16_t speed_100_mbit = 0xA064; // mantissa 100, exponent 40
constexpr int state_error_reset = 0;
constexpr int state_run = 5;
constexpr uint8_t tx_buffer_empty = 0x08;
constexpr int mode_disabled = 1;
constexpr int max_links = 30;

// Registers below the identity block are per link, and so is the transmit
// speed inside it; the rest of the identity block is the unit's.
bool per_link_register(uint32_t address)
{
    return address < identity_registers || address == tx_speed_address || address == tx_speed_address + 1;
}

void put_text(std::vector<uint8_t> &bank, uint32_t address, const std::string &text, size_t size)
{
    std::copy_n(text.begin(), std::min(text.size(), size), bank.begin() + address);
}

} // namespace

std::vector<uint8_t> default_modules(family kind)
{
    if (kind == family::vex)
        return {module_capabilities, module_link, module_ram_rw};
    return {module_capabilities, module_manufacturer, module_product, module_hwa, module_link_speed,
            module_link,         module_cr,           module_tt,      module_er,  module_ew};
}

unit::unit(const config &cfg) : cfg_(cfg)
{
    if (cfg_.links < 1 || cfg_.links > max_links)
        throw std::runtime_error("unitsim: links must be 1.." + std::to_string(max_links));
    if (cfg_.modules.empty())
        cfg_.modules = default_modules(cfg_.kind);
    if (cfg_.modules.size() > 255)
        throw std::runtime_error("unitsim: at most 255 slots");
    if (cfg_.wiring.empty()) {
        for (int a = 1; a + 1 <= cfg_.links; a += 2) {
            cfg_.wiring[a] = a + 1;
            cfg_.wiring[a + 1] = a;
        }
    }
    for (const auto &[from, to] : cfg_.wiring)
        if (!link_exists(from) || !link_exists(to))
            throw std::runtime_error("unitsim: wiring " + std::to_string(from) + ":" + std::to_string(to) +
                                     " names a link the unit does not have");
    for (const auto &[link, kind] : cfg_.nodes) {
        (void)kind;
        if (!link_exists(link))
            throw std::runtime_error("unitsim: a node on link " + std::to_string(link) +
                                     ", which the unit does not have");
        traffic_[link];
    }

    for (const auto &[link, node_cfg] : cfg_.rmap_targets) {
        if (!link_exists(link))
            throw std::runtime_error("unitsim: RMAP target on link " + std::to_string(link) +
                                     ", which the unit does not have");
        nodes_.emplace(link, rmap_node(node_cfg));
    }
    for (int link : cfg_.rmap_initiator_links) {
        if (!link_exists(link) || nodes_.count(link))
            throw std::runtime_error("unitsim: RMAP initiator on link " + std::to_string(link) +
                                     " is not possible");
        inboxes_[link];
    }

    links_.resize(static_cast<size_t>(cfg_.links) + 1);
    for (int link : cfg_.links_down)
        if (link_exists(link))
            links_[link].up = false;
    banks_.assign(static_cast<size_t>(cfg_.links) + 2, std::vector<uint8_t>(register_space, 0));
    for (int link = 0; link <= cfg_.links; ++link) {
        banks_[link][tx_speed_address] = speed_100_mbit >> 8;
        banks_[link][tx_speed_address + 1] = speed_100_mbit & 0xFF;
    }
    std::vector<uint8_t> &shared = banks_.back();
    std::copy(cfg_.hwa.begin(), cfg_.hwa.end(), shared.begin() + hwa_address);
    put_text(shared, description_address, cfg_.description, description_size);
    put_text(shared, options_address, cfg_.options, options_size);
    shared[nlinks_address] = static_cast<uint8_t>(cfg_.links);
}

int unit::link_mode(int link) const
{
    return link >= 0 && link <= cfg_.links ? links_[link].mode : 0;
}

uint16_t unit::link_speed_code(int link) const
{
    return link >= 0 && link <= cfg_.links ? links_[link].speed_code : 0;
}

std::vector<uint8_t> unit::register_bytes(int link, uint32_t address, size_t count) const
{
    std::vector<uint8_t> out(count, 0);
    for (size_t i = 0; i < count && address + i < register_space; ++i) {
        uint32_t a = address + static_cast<uint32_t>(i);
        if (!per_link_register(a))
            out[i] = banks_.back()[a];
        else if (link >= 0 && link <= cfg_.links)
            out[i] = banks_[link][a];
    }
    return out;
}

std::vector<uint8_t> unit::module_setting(int link, int type) const
{
    auto it = module_settings_.find({link, type});
    return it == module_settings_.end() ? std::vector<uint8_t>{} : it->second;
}

void unit::set_waveform(int link, const waveform_config &w)
{
    if (link < 0 || link > cfg_.links)
        throw std::invalid_argument("unitsim: no link " + std::to_string(link) + " for a waveform");
    std::vector<uint8_t> buffer = waveform_buffer(w);
    std::copy(buffer.begin(), buffer.end(), banks_[link].begin() + waveform_address);
}

int unit::slot_of(uint8_t type) const
{
    auto it = std::find(cfg_.modules.begin(), cfg_.modules.end(), type);
    return it == cfg_.modules.end() ? -1 : static_cast<int>(it - cfg_.modules.begin());
}

const std::vector<ccsds_packet> &unit::ccsds_received(int link) const
{
    static const std::vector<ccsds_packet> none;
    auto it = ccsds_.find(link);
    return it == ccsds_.end() ? none : it->second;
}

int unit::wired_to(int link) const
{
    auto it = cfg_.wiring.find(link);
    if (far_node(link) || it == cfg_.wiring.end() || far_node(it->second))
        return 0;
    return it->second;
}

bool unit::far_node(int link) const
{
    return node_on(link) || nodes_.count(link) || inboxes_.count(link);
}

const node_kind *unit::node_on(int link) const
{
    auto it = cfg_.nodes.find(link);
    return it == cfg_.nodes.end() ? nullptr : &it->second;
}

void unit::set_link_up(int link, bool up)
{
    if (!link_exists(link))
        throw std::invalid_argument("unitsim: no link " + std::to_string(link) + " to bring up or down");
    links_[link].up = up;
}

const node_traffic *unit::traffic(int link) const
{
    auto it = traffic_.find(link);
    return it == traffic_.end() ? nullptr : &it->second;
}

// Both ends of a cable must be up; a node is always at the far end.
bool unit::connected(int link) const
{
    if (!link_exists(link) || !links_[link].up)
        return false;
    if (far_node(link))
        return true;
    int peer = wired_to(link);
    return peer != 0 && links_[peer].up;
}

// A link runs when it is connected and not disabled; otherwise it sits in
// ErrorReset. Its transmit buffer is always empty: packets leave at once.
uint8_t unit::status_byte(int link) const
{
    bool running = connected(link) && (links_[link].mode & 0x07) != mode_disabled;
    return static_cast<uint8_t>((running ? state_run : state_error_reset) << 4 | tx_buffer_empty);
}

uint16_t unit::tx_speed_code(int link) const
{
    const std::vector<uint8_t> &bank = banks_[link];
    return static_cast<uint16_t>(bank[tx_speed_address] << 8 | bank[tx_speed_address + 1]);
}

// A running link receives at the speed its peer transmits.
uint16_t unit::rx_speed_code(int link) const
{
    if ((status_byte(link) >> 4) != state_run)
        return 0;
    return tx_speed_code(wired_to(link));
}

uint8_t unit::read_register(int link, uint32_t address) const
{
    if (address >= register_space)
        return 0;
    if (!per_link_register(address))
        return banks_.back()[address];
    if (link < 0 || link > cfg_.links)
        return 0;
    switch (address) {
    case link_status_address:
        return status_byte(link);
    case link_status_address + 1:
        return static_cast<uint8_t>(rx_speed_code(link) >> 8);
    case link_status_address + 2:
        return static_cast<uint8_t>(rx_speed_code(link) & 0xFF);
    default:
        return banks_[link][address];
    }
}

void unit::write_register(int link, uint32_t address, uint8_t value)
{
    if (address >= register_space)
        return;
    if (!per_link_register(address)) {
        banks_.back()[address] = value;
        return;
    }
    if (link < 0 || link > cfg_.links)
        return;
    banks_[link][address] = value;
    if (address == link_status_address)
        links_[link].mode = value;
    else if (address == tx_speed_address || address == tx_speed_address + 1)
        links_[link].speed_code = tx_speed_code(link);
}

void unit::handle(session &s, frame_item &&item, outcome &out)
{
    switch (item.what) {
    case frame_item::kind::packet:
        deliver(s, std::move(item.data), item.eep, out);
        break;
    case frame_item::kind::special:
        handle_special(s, item.data, out);
        if (cfg_.keep_history)
            specials_.push_back(std::move(item.data));
        break;
    case frame_item::kind::extension:
        handle_extension(s, item.data);
        if (cfg_.keep_history)
            extensions_.push_back(std::move(item.data));
        break;
    }
}

void unit::select_link(session &s, int link)
{
    s.link = link;
    current_link_ = link;
}

rmap_node &unit::node(int link)
{
    auto it = nodes_.find(link);
    if (it == nodes_.end())
        throw std::invalid_argument("unitsim: no RMAP target on link " + std::to_string(link));
    return it->second;
}

const rmap_node &unit::node(int link) const
{
    return const_cast<unit *>(this)->node(link);
}

std::vector<std::vector<uint8_t>> &unit::initiator_inbox(int link)
{
    auto it = inboxes_.find(link);
    if (it == inboxes_.end())
        throw std::invalid_argument("unitsim: no RMAP initiator on link " + std::to_string(link));
    return it->second;
}

// The node's reply reaches the unit once the routers on its way consumed
// its path bytes; it comes back on the link the command left by.
void unit::to_node(const session &s, const std::vector<uint8_t> &data, bool eep, outcome &out)
{
    rmap_node &n = nodes_.at(s.link);
    std::vector<uint8_t> reply;
    if (!n.handle(data, eep, reply))
        return;
    size_t skip = 0;
    while (skip < reply.size() && reply[skip] < 0x20)
        ++skip;
    std::vector<uint8_t> &to = n.cfg.reply_delay_ms > 0 ? out.delayed : out.reply;
    append_link_select(to, s.link);
    append_packet(to, reply.data() + skip, reply.size() - skip, false);
    out.delay_ms = n.cfg.reply_delay_ms;
}

void unit::deliver(const session &s, std::vector<uint8_t> &&data, bool eep, outcome &out)
{
    // Link modes are not modelled on the way out: a link another client
    // disabled still carries this client's packets.
    const bool running = connected(s.link);
    if (running && nodes_.count(s.link)) {
        to_node(s, data, eep, out);
    } else if (running && inboxes_.count(s.link)) {
        if (!eep)
            inboxes_[s.link].push_back(data);
    } else if (const node_kind *kind = running ? node_on(s.link) : nullptr) {
        std::vector<uint8_t> arrived = strip_path(data);
        std::vector<uint8_t> reply;
        if (node_reply(*kind, arrived, eep, reply)) {
            append_link_select(out.broadcast, s.link);
            append_packet(out.broadcast, reply.data(), reply.size(), false);
        }
        // A CCSDS node keeps what it decoded with the rest of the history.
        if (*kind == node_kind::ccsds && !eep && cfg_.keep_history)
            ccsds_[s.link].push_back(decode_ccsds(arrived));
        node_traffic &t = traffic_[s.link];
        ++t.count;
        if (cfg_.keep_history)
            t.kept.push_back({s.link, std::move(arrived), eep});
    } else if (int to = running ? wired_to(s.link) : 0) {
        append_link_select(out.broadcast, to);
        append_packet(out.broadcast, data.data(), data.size(), eep);
    }
    if (cfg_.keep_history)
        packets_.push_back({s.link, std::move(data), eep});
}

// Link selection arrives as an extension only on a Vex unit; a Tor unit
// selects through its CR module.
void unit::handle_extension(session &s, const std::vector<uint8_t> &ext)
{
    uint8_t command = ext[0];
    if (cfg_.kind == family::vex && command >= 0x40 && command <= 0x7F)
        select_link(s, command - 0x40);
}

void unit::handle_special(session &s, const std::vector<uint8_t> &sp, outcome &out)
{
    uint8_t slot = sp[0];
    if (slot >= cfg_.modules.size())
        return;
    uint8_t type = cfg_.modules[slot];
    if (type == module_capabilities) {
        if (sp.size() == 1)
            capability_reply(out);
    } else if (type == module_ram_rw) {
        ram_io(sp, out);
    } else {
        tor_module(s, type, sp, out);
    }
}

void unit::capability_reply(outcome &out) const
{
    std::vector<uint8_t> reply = {0x00, static_cast<uint8_t>(cfg_.modules.size())};
    reply.insert(reply.end(), cfg_.modules.rbegin(), cfg_.modules.rend());
    append_special(out.reply, reply);
}

// [slot, tag, link, address hi, address lo, count hi (bit 7: write), count lo, data...]
void unit::ram_io(const std::vector<uint8_t> &sp, outcome &out)
{
    if (sp.size() < 7)
        return;
    int link = sp[2];
    uint32_t address = static_cast<uint32_t>(sp[3] << 8 | sp[4]);
    bool write = (sp[5] & 0x80) != 0;
    size_t count = static_cast<size_t>((sp[5] & 0x7F) << 8 | sp[6]);
    if (write) {
        // A write shorter than its count stores what it carries.
        size_t n = std::min(count, sp.size() - 7);
        for (size_t i = 0; i < n; ++i)
            write_register(link, address + static_cast<uint32_t>(i), sp[7 + i]);
        return;
    }
    std::vector<uint8_t> reply(sp.begin(), sp.begin() + 5);
    for (size_t i = 0; i < count; ++i)
        reply.push_back(read_register(link, address + static_cast<uint32_t>(i)));
    append_special(out.reply, reply);
}

void unit::tor_module(session &s, uint8_t type, const std::vector<uint8_t> &sp, outcome &out)
{
    uint8_t slot = sp[0];
    std::vector<uint8_t> reply = {slot};
    bool request = sp.size() == 1;
    bool own_link = s.link >= 0 && s.link <= cfg_.links;
    if (!request) {
        size_t n = std::min(sp.size() - 1, max_setting_bytes);
        module_settings_[{s.link, type}].assign(sp.begin() + 1,
                                                sp.begin() + 1 + static_cast<std::ptrdiff_t>(n));
    }
    switch (type) {
    case module_cr:
        if (request) {
            reply.insert(reply.end(), {0x00, static_cast<uint8_t>(cfg_.links)});
        } else if (sp.size() == 2) {
            select_link(s, sp[1]);
            return;
        }
        break;
    case module_manufacturer:
    case module_product:
        if (request) {
            const std::string &text = type == module_manufacturer ? cfg_.manufacturer : cfg_.product;
            size_t n = std::min<size_t>(text.size(), 255);
            reply.push_back(static_cast<uint8_t>(n));
            for (size_t i = 0; i < n; ++i)
                reply.insert(reply.end(), {0x00, static_cast<uint8_t>(text[i])});
        }
        break;
    case module_hwa:
        if (request) {
            reply.push_back(0x00);
            reply.insert(reply.end(), cfg_.hwa.begin(), cfg_.hwa.end());
        }
        break;
    case module_link:
        if (request) {
            uint16_t rx = own_link ? rx_speed_code(s.link) : 0;
            reply.insert(reply.end(), {own_link ? status_byte(s.link) : tx_buffer_empty,
                                       static_cast<uint8_t>(rx >> 8), static_cast<uint8_t>(rx & 0xFF)});
        } else if (sp.size() == 2 && own_link) {
            write_register(s.link, link_status_address, sp[1]);
        }
        break;
    case module_link_speed:
        if (request) {
            uint16_t tx = own_link ? tx_speed_code(s.link) : 0;
            reply.insert(reply.end(), {0x00, static_cast<uint8_t>(tx >> 8), static_cast<uint8_t>(tx & 0xFF)});
        } else if (sp.size() == 3 && own_link) {
            write_register(s.link, tx_speed_address, sp[1]);
            write_register(s.link, tx_speed_address + 1, sp[2]);
        }
        break;
    default:
        break; // other modules: kept for inspection, not answered
    }
    if (request && reply.size() > 1)
        append_special(out.reply, reply);
}

} // namespace orw::unitsim
