-- Veltrano alarm panel protocol: one frame per UDP datagram, at most 128 bytes, single-byte fields.
--
--   0 length (the whole frame)   1 communicator   2 device   3..5 reserved   6 command (bit 7: ACK)
--   7..length-2 status bytes: zone alarm, device flags, zone disarm, spare (as far as the length reaches)
--   length-1 checksum: sum of bytes 0..length-2 modulo 256 (the debug frame carries 0x00 instead)
--
-- Load it with `tshark -X lua_script:veltrano.lua`, or copy it into a Lua plugin folder.
-- Decoded on UDP ports 7015 and 8015, on one more port set in the preferences, and elsewhere by a
-- heuristic that wants a whole, well-formed frame.
--
-- Info column: "<Command> comm C dev D" ("ACK <command> ..." for acknowledgements, just "Debug" for the
-- debug frame), then when non-empty and separated by "; ": "alarm: zone 1" / "alarm: zones 1,3",
-- "disarmed: zones ...", "flags: disarmed, tamper, ...". Problems follow in brackets: "[bad checksum]",
-- "[length mismatch]", "[truncated]".

local veltrano = Proto("Veltrano", "Veltrano alarm panel protocol")

local DEFAULT_PORTS = { 7015, 8015 } -- panels send from 7015 to the centre's 8015
local HEADER_LENGTH = 7              -- bytes 0..6; a frame adds at least its checksum
local MIN_LENGTH = 8
local MAX_LENGTH = 128
local ACK = 0x80
local CMD_DEBUG = 0x3E

local COMMANDS = {
    [0x01] = "online",
    [0x02] = "status",
    [0x03] = "fault",
    [0x04] = "fault restore",
    [CMD_DEBUG] = "debug",
}

-- The command byte as a whole: acknowledgements carry the answered command's name.
local command_vals = {}
for code, name in pairs(COMMANDS) do
    command_vals[code] = name
    command_vals[code + ACK] = "ACK " .. name
end

-- Flag masks in the order the Info column lists them.
local FLAGS = {
    { mask = 0x01, abbr = "disarmed", name = "Disarmed" },
    { mask = 0x02, abbr = "help", name = "Emergency help" },
    { mask = 0x04, abbr = "tamper", name = "Tamper" },
    { mask = 0x08, abbr = "battery", name = "Battery abnormal" },
    { mask = 0x10, abbr = "mains_absent", name = "Mains absent" },
    { mask = 0x20, abbr = "test_mode", name = "Test mode" },
    { mask = 0x40, abbr = "under_voltage", name = "Under-voltage" },
}

-- 0 and 1 as in the built-in checksum status fields.
local CHECKSUM_BAD, CHECKSUM_GOOD, CHECKSUM_NONE = 0, 1, 2

local f = {
    length = ProtoField.uint8("veltrano.length", "Length", base.DEC),
    comm = ProtoField.uint8("veltrano.comm", "Communicator", base.DEC),
    dev = ProtoField.uint8("veltrano.dev", "Device", base.DEC),
    reserved = ProtoField.bytes("veltrano.reserved", "Reserved"),
    cmd = ProtoField.uint8("veltrano.cmd", "Command", base.HEX, command_vals),
    ack = ProtoField.bool("veltrano.ack", "Acknowledgement", 8, nil, ACK),
    zone_alarm = ProtoField.uint8("veltrano.zone_alarm", "Zones in alarm", base.HEX, nil, nil,
        "Bit z-1 set: zone z in alarm"),
    flags = ProtoField.uint8("veltrano.flags", "Device flags", base.HEX),
    zone_disarm = ProtoField.uint8("veltrano.zone_disarm", "Zones disarmed", base.HEX, nil, nil,
        "Bit z-1 set: zone z disarmed"),
    spare = ProtoField.uint8("veltrano.spare", "Spare", base.HEX),
    data = ProtoField.bytes("veltrano.data", "Data"),
    checksum = ProtoField.uint8("veltrano.checksum", "Checksum", base.HEX),
    checksum_status = ProtoField.uint8("veltrano.checksum.status", "Checksum status", base.DEC,
        { [CHECKSUM_BAD] = "Bad", [CHECKSUM_GOOD] = "Good", [CHECKSUM_NONE] = "None" }),
}
for _, flag in ipairs(FLAGS) do
    flag.field = ProtoField.bool("veltrano.flags." .. flag.abbr, flag.name, 8, nil, flag.mask)
    f["flag_" .. flag.abbr] = flag.field
end
veltrano.fields = f

local e = {
    checksum = ProtoExpert.new("veltrano.checksum.bad", "Bad checksum", expert.group.CHECKSUM,
        expert.severity.WARN),
    length = ProtoExpert.new("veltrano.length.mismatch", "Length byte differs from the datagram length",
        expert.group.PROTOCOL, expert.severity.WARN),
    truncated = ProtoExpert.new("veltrano.truncated", "Frame truncated", expert.group.MALFORMED,
        expert.severity.WARN),
}
veltrano.experts = e

veltrano.prefs.extra_port = Pref.uint("Additional UDP port", 0,
    "Also decode this UDP port as Veltrano (0: none)")

-- "zone 1" or "zones 1,3" for the set bits of a zone byte; nil when none is set.
local function zone_list(value)
    local zones = {}
    local bit = 1
    for zone = 1, 8 do
        if value % (2 * bit) >= bit then
            zones[#zones + 1] = tostring(zone)
        end
        bit = bit * 2
    end
    if #zones == 0 then
        return nil
    end
    return (#zones == 1 and "zone " or "zones ") .. table.concat(zones, ",")
end

-- "disarmed, mains absent" for the set flags; nil when none is set.
local function flag_list(value)
    local names = {}
    for _, flag in ipairs(FLAGS) do
        if value % (2 * flag.mask) >= flag.mask then
            names[#names + 1] = flag.name:lower()
        end
    end
    return #names > 0 and table.concat(names, ", ") or nil
end

local function command_text(cmd)
    local base_cmd = cmd % ACK
    local name = COMMANDS[base_cmd] or string.format("command 0x%02x", base_cmd)
    if cmd >= ACK then
        return "ACK " .. name
    end
    return name:sub(1, 1):upper() .. name:sub(2)
end

local function sum_bytes(tvb, count)
    local sum = 0
    for i = 0, count - 1 do
        sum = sum + tvb(i, 1):uint()
    end
    return sum % 256
end

local function with_problems(info, problems)
    if #problems == 0 then
        return info
    end
    return info .. " " .. table.concat(problems, " ")
end

local function dissect(tvb, pinfo, tree)
    local size = tvb:len()                             -- bytes we can read
    local reported = tvb:reported_length_remaining() -- bytes the datagram had
    pinfo.cols.protocol = "Veltrano"
    local root = tree:add(veltrano, tvb())
    if size == 0 then
        root:add_proto_expert_info(e.truncated, "Empty datagram")
        pinfo.cols.info = "Empty [truncated]"
        return reported
    end

    local length = tvb(0, 1):uint()
    local length_item = root:add(f.length, tvb(0, 1))
    local problems = {}
    if length ~= reported then
        length_item:add_proto_expert_info(e.length, string.format(
            "Length byte %d, datagram %d bytes", length, reported))
        problems[#problems + 1] = "[length mismatch]"
    end

    local function byte_at(index)
        return index < size and tvb(index, 1):uint() or nil
    end
    local comm, dev, cmd = byte_at(1), byte_at(2), byte_at(6)
    if comm then root:add(f.comm, tvb(1, 1)) end
    if dev then root:add(f.dev, tvb(2, 1)) end
    if size > 3 then root:add(f.reserved, tvb(3, math.min(size, 6) - 3)) end
    if cmd then
        root:add(f.cmd, tvb(6, 1))
        root:add(f.ack, tvb(6, 1))
    end

    local info
    if cmd == CMD_DEBUG then
        info = "Debug"
    elseif cmd then
        info = string.format("%s comm %d dev %d", command_text(cmd), comm, dev)
    else
        info = "Incomplete header"
    end

    if length < MIN_LENGTH or size < MIN_LENGTH then
        root:add_proto_expert_info(e.truncated, string.format(
            "Frame of %d bytes, at least %d needed", math.min(length, reported), MIN_LENGTH))
        problems[#problems + 1] = "[truncated]"
        pinfo.cols.info = with_problems(info, problems)
        return reported
    end

    -- Status bytes, then whatever else lies before the checksum.
    local payload_end = math.min(length - 1, size) -- exclusive
    local function has(index)
        return index < payload_end
    end
    local sections = {}
    local function add_section(label, text)
        if text then sections[#sections + 1] = label .. text end
    end
    if cmd ~= CMD_DEBUG then
        if has(7) then root:add(f.zone_alarm, tvb(7, 1)) end
        if has(8) then
            local flags_item = root:add(f.flags, tvb(8, 1))
            for _, flag in ipairs(FLAGS) do
                flags_item:add(flag.field, tvb(8, 1))
            end
        end
        if has(9) then root:add(f.zone_disarm, tvb(9, 1)) end
        if has(10) then root:add(f.spare, tvb(10, 1)) end
        if has(11) then root:add(f.data, tvb(11, payload_end - 11)) end
        add_section("alarm: ", has(7) and zone_list(byte_at(7)))
        add_section("disarmed: ", has(9) and zone_list(byte_at(9)))
        add_section("flags: ", has(8) and flag_list(byte_at(8)))
    elseif has(HEADER_LENGTH) then
        root:add(f.data, tvb(HEADER_LENGTH, payload_end - HEADER_LENGTH))
    end
    if #sections > 0 then
        info = info .. " " .. table.concat(sections, "; ")
    end

    if length > size then
        root:add_proto_expert_info(e.truncated, string.format(
            "Checksum at byte %d missing: only %d bytes at hand", length - 1, size))
        problems[#problems + 1] = "[truncated]"
    else
        local checksum = tvb(length - 1, 1):uint()
        local checksum_item = root:add(f.checksum, tvb(length - 1, 1))
        if cmd == CMD_DEBUG then
            checksum_item:append_text(" [none: debug frames carry no checksum]")
            checksum_item:add(f.checksum_status, CHECKSUM_NONE):set_generated()
        else
            local expected = sum_bytes(tvb, length - 1)
            if checksum == expected then
                checksum_item:append_text(" [correct]")
                checksum_item:add(f.checksum_status, CHECKSUM_GOOD):set_generated()
            else
                checksum_item:append_text(string.format(" [incorrect, should be 0x%02x]", expected))
                checksum_item:add(f.checksum_status, CHECKSUM_BAD):set_generated()
                checksum_item:add_proto_expert_info(e.checksum, string.format(
                    "Bad checksum 0x%02x, should be 0x%02x", checksum, expected))
                table.insert(problems, 1, "[bad checksum]")
            end
        end
        if size > length then
            root:add(tvb(length, size - length), string.format("Trailing bytes: %d", size - length))
        end
    end

    pinfo.cols.info = with_problems(info, problems)
    root:append_text(", " .. info)
    return reported
end

veltrano.dissector = dissect

-- Claims a datagram only when it is exactly one whole frame of a known command with a valid checksum.
-- The debug frame carries no checksum and is therefore only decoded on the configured ports.
local function heuristic(tvb, pinfo, tree)
    local size = tvb:len()
    if size < MIN_LENGTH or size > MAX_LENGTH or size ~= tvb:reported_length_remaining() then
        return false
    end
    if tvb(0, 1):uint() ~= size or not COMMANDS[tvb(6, 1):uint() % ACK] then
        return false
    end
    if sum_bytes(tvb, size - 1) ~= tvb(size - 1, 1):uint() then
        return false
    end
    dissect(tvb, pinfo, tree)
    return true
end

veltrano:register_heuristic("udp", heuristic)

local udp_port = DissectorTable.get("udp.port")
for _, port in ipairs(DEFAULT_PORTS) do
    udp_port:add(port, veltrano)
end

local function is_default_port(port)
    for _, p in ipairs(DEFAULT_PORTS) do
        if p == port then return true end
    end
    return false
end

local extra_port = 0
function veltrano.prefs_changed()
    local port = veltrano.prefs.extra_port
    if port == extra_port then
        return
    end
    if extra_port ~= 0 and not is_default_port(extra_port) then
        udp_port:remove(extra_port, veltrano)
    end
    if port ~= 0 and port <= 65535 then
        udp_port:add(port, veltrano)
    end
    extra_port = port
end
