-- SPDX-License-Identifier: MIT
-- orwin.lua: dissector for the pcap records of an Orwin capture.
--
-- Each record is the SpaceWire link number, a record type and, for packet
-- records, the packet bytes: leading path addresses, the logical address,
-- the protocol identifier, then RMAP (protocol 1) or CCSDS packet transfer
-- (protocol 2). A packet longer than one record continues in records typed 0:
-- the record that ends it shows the whole packet, reassembled, and only a
-- whole packet has its data CRC checked.
--
-- Load it with `tshark -X lua_script:orwin.lua` or install it in a Wireshark
-- plugin directory. The capture's link type is 147 unless ORW_PCAP_ID chose
-- another of the user link types 147..162 (preference "orwin.link_type").

local orwin = Proto("orwin", "Orwin SpaceWire capture")

local record_types = {
    [0] = "Packet part",
    [1] = "EEP",
    [2] = "EOP",
    [3] = "Parity error",
    [4] = "Missing data",
    [5] = "Link time-out",
    [6] = "PError 1",
    [7] = "PError 2",
    [8] = "ESC ESC",
    [9] = "ESC EOP",
    [10] = "ESC EEP",
    [11] = "Time-code",
    [12] = "FCT received",
    [13] = "ESC FCT received",
}

local protocols = { [1] = "RMAP", [2] = "CCSDS packet transfer" }

local rmap_status = {
    [0] = "Command executed successfully",
    [1] = "General error code",
    [2] = "Unused RMAP packet type or command code",
    [3] = "Invalid key",
    [4] = "Invalid data CRC",
    [5] = "Early EOP",
    [6] = "Too much data",
    [7] = "EEP",
    [9] = "Verify buffer overrun",
    [10] = "RMAP command not implemented or not authorised",
    [11] = "RMW data length error",
    [12] = "Invalid target logical address",
}

local f = {
    link = ProtoField.uint8("orwin.link", "Link", base.DEC),
    type = ProtoField.uint8("orwin.type", "Record type", base.DEC, record_types),
    continued = ProtoField.bool("orwin.continued", "Packet continues in a later record"),
    continuation = ProtoField.bool("orwin.continuation", "Continues a packet of earlier records"),
    timecode = ProtoField.uint8("orwin.timecode", "Time-code", base.HEX),
    timecode_flags = ProtoField.uint8("orwin.timecode.flags", "Time-code flags", base.DEC, nil, 0xC0),
    timecode_value = ProtoField.uint8("orwin.timecode.value", "Time-code value", base.DEC, nil, 0x3F),
    data = ProtoField.bytes("orwin.data", "Packet data"),
    path = ProtoField.bytes("orwin.path", "Path address"),
    logical = ProtoField.uint8("orwin.logical_address", "Logical address", base.HEX),
    protocol = ProtoField.uint8("orwin.protocol", "Protocol identifier", base.DEC, protocols),

    rmap_instruction = ProtoField.uint8("orwin.rmap.instruction", "Instruction", base.HEX),
    rmap_command = ProtoField.bool("orwin.rmap.command", "Command", 8, { "Command", "Reply" }, 0x40),
    rmap_write = ProtoField.bool("orwin.rmap.write", "Write", 8, { "Write", "Read" }, 0x20),
    rmap_verify = ProtoField.bool("orwin.rmap.verify", "Verify data before write", 8, nil, 0x10),
    rmap_ack = ProtoField.bool("orwin.rmap.reply_requested", "Reply requested", 8, nil, 0x08),
    rmap_increment = ProtoField.bool("orwin.rmap.increment", "Increment address", 8, nil, 0x04),
    rmap_ralen = ProtoField.uint8("orwin.rmap.reply_address_length", "Reply address length (x4 bytes)",
        base.DEC, nil, 0x03),
    rmap_key = ProtoField.uint8("orwin.rmap.key", "Key", base.HEX),
    rmap_status = ProtoField.uint8("orwin.rmap.status", "Status", base.DEC, rmap_status),
    rmap_reply_address = ProtoField.bytes("orwin.rmap.reply_address", "Reply address"),
    rmap_initiator = ProtoField.uint8("orwin.rmap.initiator", "Initiator logical address", base.HEX),
    rmap_target = ProtoField.uint8("orwin.rmap.target", "Target logical address", base.HEX),
    rmap_tid = ProtoField.uint16("orwin.rmap.tid", "Transaction identifier", base.DEC),
    rmap_ext = ProtoField.uint8("orwin.rmap.extended_address", "Extended address", base.HEX),
    rmap_address = ProtoField.uint32("orwin.rmap.address", "Address", base.HEX),
    rmap_length = ProtoField.uint24("orwin.rmap.data_length", "Data length", base.DEC),
    rmap_reserved = ProtoField.uint8("orwin.rmap.reserved", "Reserved", base.HEX),
    rmap_hcrc = ProtoField.uint8("orwin.rmap.header_crc", "Header CRC", base.HEX),
    rmap_hcrc_ok = ProtoField.bool("orwin.rmap.header_crc_ok", "Header CRC correct"),
    rmap_data = ProtoField.bytes("orwin.rmap.data", "Data"),
    rmap_mask = ProtoField.bytes("orwin.rmap.mask", "Mask"),
    rmap_dcrc_later = ProtoField.bool("orwin.rmap.data_crc_later", "Data CRC in a later record"),
    reassembled = ProtoField.uint32("orwin.reassembled_records", "Packet reassembled from records", base.DEC),
    rmap_dcrc = ProtoField.uint8("orwin.rmap.data_crc", "Data CRC", base.HEX),
    rmap_dcrc_ok = ProtoField.bool("orwin.rmap.data_crc_ok", "Data CRC correct"),

    ccsds_reserved = ProtoField.uint8("orwin.ccsds.reserved", "Reserved", base.HEX),
    ccsds_user = ProtoField.uint8("orwin.ccsds.user_application", "User application", base.HEX),
    ccsds_version = ProtoField.uint16("orwin.ccsds.version", "Packet version number", base.DEC, nil, 0xE000),
    ccsds_type = ProtoField.uint16("orwin.ccsds.type", "Packet type", base.DEC,
        { [0] = "Telemetry", [1] = "Telecommand" }, 0x1000),
    ccsds_sechdr = ProtoField.bool("orwin.ccsds.secondary_header", "Secondary header", 16, nil, 0x0800),
    ccsds_apid = ProtoField.uint16("orwin.ccsds.apid", "Application process identifier", base.DEC, nil, 0x07FF),
    ccsds_seqflags = ProtoField.uint16("orwin.ccsds.sequence_flags", "Sequence flags", base.DEC,
        { [0] = "Continuation", [1] = "First segment", [2] = "Last segment", [3] = "Unsegmented" }, 0xC000),
    ccsds_seqcount = ProtoField.uint16("orwin.ccsds.sequence_count", "Sequence count", base.DEC, nil, 0x3FFF),
    ccsds_length = ProtoField.uint16("orwin.ccsds.length", "Packet data length (octets - 1)", base.DEC),
    ccsds_data = ProtoField.bytes("orwin.ccsds.data", "Packet data field"),
}
local field_list = {}
for _, v in pairs(f) do
    field_list[#field_list + 1] = v
end
orwin.fields = field_list

local ef = {
    crc_bad = ProtoExpert.new("orwin.rmap.crc_bad", "RMAP CRC mismatch", expert.group.CHECKSUM, expert.severity.WARN),
    short = ProtoExpert.new("orwin.short", "Record shorter than its header", expert.group.MALFORMED,
        expert.severity.ERROR),
}
orwin.experts = { ef.crc_bad, ef.short }

orwin.prefs.link_type = Pref.uint("Link type", 147, "Link type of the capture files (147..162)")

-- Wireshark's Lua (5.2) has no bit operators of its own.
local band, bxor, rshift = bit32.band, bit32.bxor, bit32.rshift

-- The 8-bit RMAP CRC: reflected polynomial 0xE0 (x^8 + x^2 + x + 1), initial 0.
local crc_table = {}
for i = 0, 255 do
    local c = i
    for _ = 1, 8 do
        if c % 2 == 1 then
            c = bxor(rshift(c, 1), 0xE0)
        else
            c = rshift(c, 1)
        end
    end
    crc_table[i] = c
end

local function rmap_crc(tvb, offset, length)
    local c = 0
    for i = offset, offset + length - 1 do
        c = crc_table[bxor(tvb(i, 1):uint(), c)]
    end
    return c
end

-- Adds a CRC byte and whether it matches; flags a mismatch.
local function add_crc(tree, tvb, at, from, count, field, ok_field, what)
    local expected = rmap_crc(tvb, from, count)
    local got = tvb(at, 1):uint()
    local item = tree:add(field, tvb(at, 1))
    tree:add(ok_field, tvb(at, 1), expected == got):set_generated()
    if expected ~= got then
        item:add_proto_expert_info(ef.crc_bad,
            string.format("%s CRC 0x%02x, expected 0x%02x", what, got, expected))
        item:append_text(string.format(" [incorrect, should be 0x%02x]", expected))
    end
    return expected == got
end

-- RMAP from the logical address at `la`; returns a summary for the Info
-- column. `partial`: the packet continues in a later record, so its data
-- CRC is not here to check.
local function dissect_rmap(tvb, tree, la, partial)
    local n = tvb:len()
    local t = tree:add(orwin, tvb(la), "RMAP")
    if n < la + 3 then
        return "RMAP (truncated)"
    end
    local instr = tvb(la + 2, 1):uint()
    local it = t:add(f.rmap_instruction, tvb(la + 2, 1))
    for _, fld in ipairs({ f.rmap_command, f.rmap_write, f.rmap_verify, f.rmap_ack, f.rmap_increment, f.rmap_ralen }) do
        it:add(fld, tvb(la + 2, 1))
    end
    local command = band(instr, 0x40) ~= 0
    local write = band(instr, 0x20) ~= 0
    local rmw = not write and band(instr, 0x1C) == 0x1C
    local kind = write and "write" or (rmw and "read-modify-write" or "read")
    local summary = string.format("RMAP %s %s", kind, command and "command" or "reply")
    local p = la + 3
    local header_end
    if command then
        local ralen = band(instr, 0x03) * 4
        header_end = la + 15 + ralen -- the header CRC's offset
        if n <= header_end then
            return summary .. " (truncated)"
        end
        t:add(f.rmap_target, tvb(la, 1))
        t:add(f.rmap_key, tvb(p, 1)); p = p + 1
        if ralen > 0 then
            t:add(f.rmap_reply_address, tvb(p, ralen)); p = p + ralen
        end
        t:add(f.rmap_initiator, tvb(p, 1)); p = p + 1
        t:add(f.rmap_tid, tvb(p, 2)); p = p + 2
        t:add(f.rmap_ext, tvb(p, 1)); p = p + 1
        t:add(f.rmap_address, tvb(p, 4)); p = p + 4
        t:add(f.rmap_length, tvb(p, 3)); p = p + 3
        summary = summary .. string.format(" tid %d address 0x%08x", tvb(p - 10, 2):uint(), tvb(p - 7, 4):uint())
    else
        header_end = la + (write and 7 or 11)
        if n <= header_end then
            return summary .. " (truncated)"
        end
        t:add(f.rmap_initiator, tvb(la, 1))
        t:add(f.rmap_status, tvb(p, 1)); p = p + 1
        t:add(f.rmap_target, tvb(p, 1)); p = p + 1
        t:add(f.rmap_tid, tvb(p, 2)); p = p + 2
        summary = summary .. string.format(" tid %d status %d", tvb(p - 2, 2):uint(), tvb(p - 4, 1):uint())
        if not write then
            t:add(f.rmap_reserved, tvb(p, 1)); p = p + 1
            t:add(f.rmap_length, tvb(p, 3)); p = p + 3
        end
    end
    local declared = tvb(header_end - 3, 3):uint()
    local ok = add_crc(t, tvb, header_end, la, header_end - la, f.rmap_hcrc, f.rmap_hcrc_ok, "Header")
    -- Data follow write and read-modify-write commands and every reply but
    -- a write's; their CRC is the last byte of the packet.
    local with_data = (command and (write or rmw)) or (not command and not write)
    local dstart = header_end + 1
    if with_data and partial then
        if n > dstart then
            t:add(f.rmap_data, tvb(dstart))
        end
        t:add(f.rmap_dcrc_later, tvb(header_end, 1), true):set_generated()
    elseif with_data and n > dstart then
        local dlen = n - dstart - 1
        if command and rmw and dlen == declared and dlen % 2 == 0 and dlen > 0 then
            -- A read-modify-write command carries the data, then the mask.
            t:add(f.rmap_data, tvb(dstart, dlen / 2))
            t:add(f.rmap_mask, tvb(dstart + dlen / 2, dlen / 2))
        elseif dlen > 0 then
            t:add(f.rmap_data, tvb(dstart, dlen))
        end
        ok = add_crc(t, tvb, n - 1, dstart, dlen, f.rmap_dcrc, f.rmap_dcrc_ok, "Data") and ok
    end
    if not ok then
        summary = summary .. " [CRC mismatch]"
    end
    return summary
end

-- CCSDS packet transfer from the logical address at `la`.
local function dissect_ccsds(tvb, tree, la)
    local n = tvb:len()
    local t = tree:add(orwin, tvb(la), "CCSDS packet transfer")
    if n < la + 4 then
        return "CCSDS (truncated)"
    end
    t:add(f.ccsds_reserved, tvb(la + 2, 1))
    t:add(f.ccsds_user, tvb(la + 3, 1))
    local h = la + 4
    if n < h + 6 then
        return "CCSDS (truncated)"
    end
    local ph = t:add(orwin, tvb(h, 6), "Primary header")
    for _, fld in ipairs({ f.ccsds_version, f.ccsds_type, f.ccsds_sechdr, f.ccsds_apid }) do
        ph:add(fld, tvb(h, 2))
    end
    ph:add(f.ccsds_seqflags, tvb(h + 2, 2))
    ph:add(f.ccsds_seqcount, tvb(h + 2, 2))
    ph:add(f.ccsds_length, tvb(h + 4, 2))
    if n > h + 6 then
        t:add(f.ccsds_data, tvb(h + 6))
    end
    return string.format("CCSDS APID %d sequence %d", band(tvb(h, 2):uint(), 0x07FF), band(tvb(h + 2, 2):uint(), 0x3FFF))
end

local function dissect_packet(tvb, tree, partial)
    local n = tvb:len()
    local p = 2
    while p < n and tvb(p, 1):uint() < 32 do
        p = p + 1
    end
    if p > 2 then
        tree:add(f.path, tvb(2, p - 2))
    end
    if p >= n then
        return "Packet"
    end
    tree:add(f.logical, tvb(p, 1))
    if p + 1 >= n then
        return "Packet"
    end
    local pid = tvb(p + 1, 1):uint()
    tree:add(f.protocol, tvb(p + 1, 1))
    if pid == 1 then
        return dissect_rmap(tvb, tree, p, partial)
    elseif pid == 2 then
        return dissect_ccsds(tvb, tree, p)
    end
    return string.format("Protocol %d", pid)
end

-- Decided in file order on the first pass: whether each record continues a
-- packet (after a type-0 record its link's next record does), and for the
-- record that ends such a packet the whole packet's bytes.
local continues = {}
local open_packets = {} -- link -> { parts = { byte strings }, size, records }
local whole = {}        -- frame number -> { bytes = record header and packet, records }

-- Packets beyond this are shown record by record, not reassembled.
local max_reassembly = 16 * 1024 * 1024

function orwin.init()
    continues = {}
    open_packets = {}
    whole = {}
end

local function collect(tvb, number, link, rtype)
    local open = open_packets[link]
    continues[number] = open ~= nil
    if not open then
        if rtype ~= 0 then
            return
        end
        open = { parts = {}, size = 0, records = 0 }
        open_packets[link] = open
    end
    local n = tvb:len() - 2
    open.records = open.records + 1
    if open.parts and n > 0 then
        if open.size + n > max_reassembly then
            open.parts = nil
        else
            open.parts[#open.parts + 1] = tvb:raw(2, n)
            open.size = open.size + n
        end
    end
    if rtype ~= 0 then
        if open.parts then
            whole[number] = { bytes = tvb:raw(0, 2) .. table.concat(open.parts), records = open.records }
        end
        open_packets[link] = nil
    end
end

function orwin.dissector(tvb, pinfo, root)
    pinfo.cols.protocol = "Orwin"
    local tree = root:add(orwin, tvb())
    if tvb:len() < 2 then
        tree:add_proto_expert_info(ef.short)
        return
    end
    local link = tvb(0, 1):uint()
    local rtype = tvb(1, 1):uint()
    tree:add(f.link, tvb(0, 1))
    tree:add(f.type, tvb(1, 1))
    local name = record_types[rtype] or string.format("Unknown record %d", rtype)
    local info = string.format("Link %d %s", link, name)
    tree:append_text(string.format(", Link %d, %s", link, name))

    if rtype <= 2 then
        if not pinfo.visited then
            collect(tvb, pinfo.number, link, rtype)
        end
        if rtype == 0 then
            tree:add(f.continued, tvb(1, 1), true):set_generated()
        end
        if tvb:len() > 2 then
            tree:add(f.data, tvb(2))
        end
        local packet = whole[pinfo.number]
        if continues[pinfo.number] then
            tree:add(f.continuation, tvb(1, 1), true):set_generated()
            info = info .. " (continued)"
            if packet then
                local rtvb = ByteArray.new(packet.bytes, true):tvb("Reassembled packet")
                tree:add(f.reassembled, tvb(1, 1), packet.records):set_generated()
                info = info .. " " .. dissect_packet(rtvb, tree) ..
                    string.format(" (reassembled from %d records)", packet.records)
            end
        elseif tvb:len() > 2 then
            info = info .. " " .. dissect_packet(tvb, tree, rtype == 0)
        end
    elseif rtype == 11 and tvb:len() >= 3 then
        tree:add(f.timecode, tvb(2, 1))
        tree:add(f.timecode_flags, tvb(2, 1))
        tree:add(f.timecode_value, tvb(2, 1))
        info = info .. string.format(" 0x%02x", tvb(2, 1):uint())
    end
    pinfo.cols.info = info
end

-- User link types 147..162 are the wiretap encapsulations USER0..USER15.
local registered
local function register()
    local wtap_table = DissectorTable.get("wtap_encap")
    if registered then
        wtap_table:remove(registered, orwin)
    end
    local lt = orwin.prefs.link_type
    if lt < 147 or lt > 162 then
        lt = 147
    end
    registered = wtap_encaps["USER" .. (lt - 147)]
    wtap_table:add(registered, orwin)
end

function orwin.prefs_changed()
    register()
end

register()
