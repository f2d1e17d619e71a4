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
-- Info column: the companion's summary line, word for word: "Status comm 0 dev 1 alarm: zone 1 flags:
-- disarmed,mains_absent", "ACK status comm 0 dev 1", "Unknown 0x0F comm 0 dev 2 [unknown_command]".
--
-- Acknowledgements are paired with what they answer on the first pass: an acknowledgement from P to Q
-- answers the oldest frame from Q to P, not yet answered, with the same bytes 1 to 5 and the same command
-- (bit 7 set). Frames carry veltrano.response_in, acknowledgements veltrano.response_to and
-- veltrano.response_time; a frame whose bytes went to the same peer before and are still unanswered is a
-- veltrano.retransmission. `tshark -z veltrano,rtt` and Statistics → Veltrano round trips sum them up.

local veltrano = Proto("Veltrano", "Veltrano alarm panel protocol")

local DEFAULT_PORTS = { 7015, 8015 } -- panels send from 7015 to the centre's 8015
local HEADER_LENGTH = 7              -- bytes 0..6; a frame adds at least its checksum
local MIN_LENGTH = 8
local MAX_LENGTH = 128
local HIGHEST_NUMBER = 239           -- communicator and device numbers above it are out of range
local ACK = 0x80
local CMD_DEBUG = 0x3E

local COMMANDS = {
    [0x01] = "online",
    [0x02] = "status",
    [0x03] = "fault",
    [0x04] = "fault restore",
    [CMD_DEBUG] = "debug",
}
-- Bytes each command needs; acknowledgements and unknown commands need 8.
local REQUIRED_SIZE = { [0x01] = 8, [0x02] = 12, [0x03] = 9, [0x04] = 8, [CMD_DEBUG] = 18 }

-- The command byte as a whole: acknowledgements carry the answered command's name.
local command_vals = {}
for code, name in pairs(COMMANDS) do
    command_vals[code] = name
    command_vals[code + ACK] = "ACK " .. name
end

-- Flag masks in bit order, as the summary lists them.
local FLAGS = {
    { mask = 0x01, abbr = "disarmed", name = "Disarmed" },
    { mask = 0x02, abbr = "help", name = "Emergency help" },
    { mask = 0x04, abbr = "tamper", name = "Tamper" },
    { mask = 0x08, abbr = "battery", name = "Battery abnormal" },
    { mask = 0x10, abbr = "mains_absent", name = "Mains absent" },
    { mask = 0x20, abbr = "test_mode", name = "Test mode" },
    { mask = 0x40, abbr = "under_voltage", name = "Under-voltage" },
}

-- Findings in bit order, with the companion's keys.
local FINDINGS = { "length_mismatch", "bad_checksum", "reserved_not_zero", "comm_out_of_range",
    "device_out_of_range", "unknown_command", "truncated" }

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
    response_in = ProtoField.framenum("veltrano.response_in", "Response in", base.NONE, frametype.RESPONSE, nil,
        "The acknowledgement of this frame"),
    response_to = ProtoField.framenum("veltrano.response_to", "Response to", base.NONE, frametype.REQUEST, nil,
        "The frame this acknowledgement answers"),
    response_time = ProtoField.relative_time("veltrano.response_time", "Response time",
        "From the frame to its acknowledgement, in seconds"),
    retransmission = ProtoField.bool("veltrano.retransmission", "Retransmission", base.NONE, nil, nil,
        "The same bytes went to the same peer before and are not answered yet"),
    retransmission_of = ProtoField.framenum("veltrano.retransmission_of", "Retransmission of", base.NONE,
        frametype.RETRANS_PREV, nil, "The first unanswered frame with these bytes"),
    duplicate_ack = ProtoField.framenum("veltrano.duplicate_ack", "Duplicate acknowledgement of",
        base.NONE, frametype.DUP_ACK, nil, "The frame, answered already, that this acknowledgement answers again"),
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
    retransmission = ProtoExpert.new("veltrano.expert.retransmission", "Retransmission",
        expert.group.SEQUENCE, expert.severity.NOTE),
    duplicate_ack = ProtoExpert.new("veltrano.expert.duplicate_ack", "Duplicate acknowledgement",
        expert.group.SEQUENCE, expert.severity.NOTE),
    unmatched_ack = ProtoExpert.new("veltrano.expert.unmatched_ack", "Acknowledgement of no frame in the capture",
        expert.group.SEQUENCE, expert.severity.WARN),
}
veltrano.experts = e

veltrano.prefs.extra_port = Pref.uint("Additional UDP port", 0,
    "Also decode this UDP port as Veltrano (0: none)")

local function has_bit(value, mask)
    return value % (2 * mask) >= mask
end

-- The datagram as the companion's decoder reads it: fields of the bytes present, findings as a set of
-- keys. Reads nothing beyond the captured bytes.
local function decode(tvb)
    local size = tvb:len()
    local d = { size = size, length = 0, comm = 0, dev = 0, cmd = nil, ack = false, status_count = 0,
        findings = {} }
    local function byte_at(index)
        return index < size and tvb(index, 1):uint() or nil
    end
    if size == 0 then
        d.findings.truncated = true
        return d
    end
    d.length = byte_at(0)
    if d.length ~= tvb:reported_length_remaining() then d.findings.length_mismatch = true end
    d.comm, d.dev = byte_at(1) or 0, byte_at(2) or 0
    if d.comm > HIGHEST_NUMBER then d.findings.comm_out_of_range = true end
    if d.dev > HIGHEST_NUMBER then d.findings.device_out_of_range = true end
    for i = 3, 5 do
        if (byte_at(i) or 0) ~= 0 then d.findings.reserved_not_zero = true end
    end
    d.cmd = byte_at(6)
    if not d.cmd then
        d.findings.truncated = true
        return d
    end
    d.ack = d.cmd >= ACK
    d.base_cmd = d.cmd % ACK
    d.known = COMMANDS[d.base_cmd] ~= nil
    d.debug = d.cmd == CMD_DEBUG
    if not d.known and not d.ack then d.findings.unknown_command = true end
    if size < (d.ack and MIN_LENGTH or REQUIRED_SIZE[d.base_cmd] or MIN_LENGTH) then
        d.findings.truncated = true
    end
    if not d.debug then
        d.status_count = math.max(0, math.min(d.length - MIN_LENGTH, size - HEADER_LENGTH, 4))
    end
    if d.length >= MIN_LENGTH and d.length <= size then
        local sum = 0
        for i = 0, d.length - 2 do
            sum = sum + tvb(i, 1):uint()
        end
        d.checksum_expected = sum % 256
        d.checksum_found = byte_at(d.length - 1)
        if d.debug and d.checksum_found == 0 then
            d.checksum = CHECKSUM_NONE
        elseif d.checksum_found == d.checksum_expected then
            d.checksum = CHECKSUM_GOOD
        else
            d.checksum = CHECKSUM_BAD
            d.findings.bad_checksum = true
        end
    end
    return d
end

-- "Status", "Fault restore", "Unknown 0x0F": the summary's name of a command without its ACK bit.
local function command_name(base_cmd)
    local name = COMMANDS[base_cmd]
    if not name then
        return string.format("Unknown 0x%02X", base_cmd)
    end
    return name:sub(1, 1):upper() .. name:sub(2)
end

-- "1,3": the zones whose bits are set.
local function zone_list(value)
    local zones = {}
    for zone = 1, 8 do
        if has_bit(value, 2 ^ (zone - 1)) then zones[#zones + 1] = tostring(zone) end
    end
    return zones
end

-- The companion's summary line (SummarizeFrame), byte for byte.
local function summarize(d, tvb)
    local parts = {}
    if not d.cmd then
        parts[1] = string.format("Short %d %s", d.size, d.size == 1 and "byte" or "bytes")
    else
        local name = command_name(d.base_cmd)
        parts[1] = d.ack and ("ACK " .. name:sub(1, 1):lower() .. name:sub(2)) or name
        parts[2] = string.format("comm %d dev %d", d.comm, d.dev)
        if d.base_cmd == 0x02 and not d.ack then
            local function zones(label, index)
                if d.status_count <= index - HEADER_LENGTH then return end
                local list = zone_list(tvb(index, 1):uint())
                if #list > 0 then
                    parts[#parts + 1] = label .. (#list == 1 and ": zone " or ": zones ") .. table.concat(list, ",")
                end
            end
            zones("alarm", 7)
            zones("disarmed", 9)
            if d.status_count > 1 then
                local value, names = tvb(8, 1):uint(), {}
                for _, flag in ipairs(FLAGS) do
                    if has_bit(value, flag.mask) then names[#names + 1] = flag.abbr end
                end
                if #names > 0 then parts[#parts + 1] = "flags: " .. table.concat(names, ",") end
            end
        end
    end
    local keys = {}
    for _, key in ipairs(FINDINGS) do
        if d.findings[key] then keys[#keys + 1] = key end
    end
    if #keys > 0 then parts[#parts + 1] = "[" .. table.concat(keys, ",") .. "]" end
    return table.concat(parts, " ")
end

-- What the first pass learnt, by frame number; emptied whenever Wireshark dissects anew.
local state
local function reset_state()
    state = {
        frames = {},        -- number -> record (below)
        waiting = {},       -- pairing key -> { first = i, last = j, [i..j] = frame numbers }, oldest first
        unanswered = {},    -- peer and bytes -> list of unanswered frame numbers with those bytes, oldest first
        answered = {},      -- pairing key -> the frame most recently answered
        conversations = {}, -- endpoint pair -> number of the frame the heuristic recognised it in
        order = {},         -- the tracked frame numbers in capture order
    }
end
reset_state()

function veltrano.init()
    reset_state()
end

local frame_time = Field.new("frame.time_epoch")

local function endpoint(address, port)
    return tostring(address) .. ":" .. tostring(port)
end

-- Bytes 1 to 5 and the command with bit 7 set; bytes a short frame lacks count as zero.
local function pairing_bytes(tvb)
    local bytes = {}
    for i = 1, 6 do
        bytes[i] = i < tvb:len() and tvb(i, 1):uint() or 0
    end
    if bytes[6] < ACK then bytes[6] = bytes[6] + ACK end
    return table.concat(bytes, ".")
end

local function remove_value(list, value)
    for i, v in ipairs(list) do
        if v == value then
            table.remove(list, i)
            return
        end
    end
end

-- Pairs the frame with what came before it, in capture order, and remembers the result.
local function track(tvb, pinfo, d)
    local number = pinfo.number
    local rec = { time = frame_time().value, cmd = d.cmd or 0, ack = d.ack }
    state.frames[number] = rec
    state.order[#state.order + 1] = number
    local src, dst = endpoint(pinfo.src, pinfo.src_port), endpoint(pinfo.dst, pinfo.dst_port)
    if not d.ack then
        -- Keyed by the peer the frame went to, as its acknowledgement will come from there.
        local key = dst .. "|" .. src .. "|" .. pairing_bytes(tvb)
        rec.key = key
        rec.bytes_key = src .. "|" .. dst .. "|" .. tostring(tvb:bytes())
        local same = state.unanswered[rec.bytes_key]
        if same and #same > 0 then
            rec.retransmission_of = same[1]
        else
            same = {}
            state.unanswered[rec.bytes_key] = same
        end
        same[#same + 1] = number
        local queue = state.waiting[key]
        if not queue then
            queue = { first = 1, last = 0 }
            state.waiting[key] = queue
        end
        queue.last = queue.last + 1
        queue[queue.last] = number
        return
    end

    local key = src .. "|" .. dst .. "|" .. pairing_bytes(tvb)
    local queue = state.waiting[key]
    if queue and queue.first <= queue.last then
        local answered = queue[queue.first]
        queue[queue.first] = nil
        queue.first = queue.first + 1
        local request = state.frames[answered]
        request.response_in = number
        remove_value(state.unanswered[request.bytes_key], answered)
        rec.response_to = answered
        rec.response_time = rec.time - request.time
        state.answered[key] = answered
    elseif state.answered[key] then
        rec.duplicate_of = state.answered[key]
    else
        rec.unmatched = true
    end
end

-- The generated items of the frame's pairing.
local function add_tracking(root, rec)
    if rec.response_in then
        root:add(f.response_in, rec.response_in):set_generated()
    end
    if rec.retransmission_of then
        local item = root:add(f.retransmission, true)
        item:set_generated()
        item:add_proto_expert_info(e.retransmission, string.format(
            "Retransmission of frame %d, not answered yet", rec.retransmission_of))
        root:add(f.retransmission_of, rec.retransmission_of):set_generated()
    end
    if rec.response_to then
        root:add(f.response_to, rec.response_to):set_generated()
        root:add(f.response_time, rec.response_time):set_generated()
    elseif rec.duplicate_of then
        local item = root:add(f.duplicate_ack, rec.duplicate_of)
        item:set_generated()
        item:add_proto_expert_info(e.duplicate_ack, string.format(
            "Frame %d was answered already", rec.duplicate_of))
    elseif rec.unmatched then
        root:add_proto_expert_info(e.unmatched_ack, "Acknowledgement of no frame in the capture")
    end
end

local function dissect(tvb, pinfo, tree)
    local size = tvb:len()                             -- bytes we can read
    local reported = tvb:reported_length_remaining() -- bytes the datagram had
    local d = decode(tvb)
    -- Once per frame, in capture order: on the first pass (not pinfo.visited), or on the first dissection
    -- where tshark skips dissecting in that pass (two passes without a filter).
    if not state.frames[pinfo.number] then
        track(tvb, pinfo, d)
    end
    local rec = state.frames[pinfo.number]

    pinfo.cols.protocol = "Veltrano"
    local info = summarize(d, tvb)
    pinfo.cols.info = info
    local root = tree:add(veltrano, tvb())
    root:append_text(", " .. info)
    if size == 0 then
        root:add_proto_expert_info(e.truncated, "Empty datagram")
        if rec then add_tracking(root, rec) end
        return reported
    end

    local length_item = root:add(f.length, tvb(0, 1))
    if d.findings.length_mismatch then
        length_item:add_proto_expert_info(e.length, string.format(
            "Length byte %d, datagram %d bytes", d.length, reported))
    end
    if size > 1 then root:add(f.comm, tvb(1, 1)) end
    if size > 2 then root:add(f.dev, tvb(2, 1)) end
    if size > 3 then root:add(f.reserved, tvb(3, math.min(size, 6) - 3)) end
    if d.cmd then
        root:add(f.cmd, tvb(6, 1))
        root:add(f.ack, tvb(6, 1))
    end
    if rec then add_tracking(root, rec) end

    if d.length < MIN_LENGTH or size < MIN_LENGTH then
        root:add_proto_expert_info(e.truncated, string.format(
            "Frame of %d bytes, at least %d needed", math.min(d.length, reported), MIN_LENGTH))
        return reported
    end
    if d.checksum and d.findings.truncated then
        root:add_proto_expert_info(e.truncated, string.format(
            "Frame of %d bytes, shorter than its command needs", size))
    end

    -- Status bytes, then whatever else lies before the checksum.
    local payload_end = math.min(d.length - 1, size) -- exclusive
    local function has(index)
        return index < payload_end
    end
    if not d.debug then
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
    elseif has(HEADER_LENGTH) then
        root:add(f.data, tvb(HEADER_LENGTH, payload_end - HEADER_LENGTH))
    end

    if not d.checksum then
        root:add_proto_expert_info(e.truncated, string.format(
            "Checksum at byte %d missing: only %d bytes at hand", d.length - 1, size))
    else
        local checksum_item = root:add(f.checksum, tvb(d.length - 1, 1))
        if d.checksum == CHECKSUM_NONE then
            checksum_item:append_text(" [none: debug frames carry no checksum]")
        elseif d.checksum == CHECKSUM_GOOD then
            checksum_item:append_text(" [correct]")
        else
            checksum_item:append_text(string.format(" [incorrect, should be 0x%02x]", d.checksum_expected))
            checksum_item:add_proto_expert_info(e.checksum, string.format(
                "Bad checksum 0x%02x, should be 0x%02x", d.checksum_found, d.checksum_expected))
        end
        checksum_item:add(f.checksum_status, d.checksum):set_generated()
        if size > d.length then
            root:add(tvb(d.length, size - d.length), string.format("Trailing bytes: %d", size - d.length))
        end
    end
    return reported
end

veltrano.dissector = dissect

local function conversation_key(pinfo)
    local a, b = endpoint(pinfo.src, pinfo.src_port), endpoint(pinfo.dst, pinfo.dst_port)
    return a < b and (a .. "|" .. b) or (b .. "|" .. a)
end

-- Claims a datagram when it is exactly one whole frame of a known command with a valid checksum, and from
-- then on every datagram between the same two endpoints, so that a broken frame of a conversation stays
-- decoded and flagged. The debug frame carries no checksum and does not open a conversation.
local function heuristic(tvb, pinfo, tree)
    local conversation = conversation_key(pinfo)
    local since = state.conversations[conversation]
    if since and pinfo.number >= since then
        dissect(tvb, pinfo, tree)
        return true
    end
    local size = tvb:len()
    if size < MIN_LENGTH or size > MAX_LENGTH or size ~= tvb:reported_length_remaining() then
        return false
    end
    if tvb(0, 1):uint() ~= size or not COMMANDS[tvb(6, 1):uint() % ACK] then
        return false
    end
    local sum = 0
    for i = 0, size - 2 do
        sum = sum + tvb(i, 1):uint()
    end
    if sum % 256 ~= tvb(size - 1, 1):uint() then
        return false
    end
    if not since or pinfo.number < since then
        state.conversations[conversation] = pinfo.number
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

-- Round trips per command, from what the first pass paired: frames, acknowledged, unanswered,
-- retransmitted, and the round trip's minimum, median, 99th percentile and maximum in milliseconds.
-- Percentiles are nearest-rank: the value at rank ceil(p * n) of the sorted round trips.
local function percentile(sorted, p)
    return sorted[math.max(1, math.ceil(p * #sorted))]
end

local function seconds(t)
    return t.secs + t.nsecs / 1e9
end

local function rtt_report()
    local by_cmd, codes = {}, {}
    local duplicates, unmatched = 0, 0
    for _, number in ipairs(state.order) do
        local rec = state.frames[number]
        if rec.ack then
            if rec.duplicate_of then duplicates = duplicates + 1 end
            if rec.unmatched then unmatched = unmatched + 1 end
        else
            local code = rec.cmd % ACK
            local row = by_cmd[code]
            if not row then
                row = { frames = 0, acked = 0, retrans = 0, rtts = {} }
                by_cmd[code] = row
                codes[#codes + 1] = code
            end
            row.frames = row.frames + 1
            if rec.retransmission_of then row.retrans = row.retrans + 1 end
            if rec.response_in then
                row.acked = row.acked + 1
                row.rtts[#row.rtts + 1] = seconds(state.frames[rec.response_in].response_time) * 1000
            end
        end
    end
    table.sort(codes)

    local rule = string.rep("=", 100)
    local lines = { rule, "Veltrano round trips (ms)",
        string.format("%-16s %7s %13s %11s %14s %8s %8s %8s %8s", "Command", "Frames", "Acknowledged",
            "Unanswered", "Retransmitted", "Min", "p50", "p99", "Max") }
    for _, code in ipairs(codes) do
        local row = by_cmd[code]
        table.sort(row.rtts)
        local function ms(value)
            return value and string.format("%.3f", value) or "-"
        end
        local n = #row.rtts
        lines[#lines + 1] = string.format("%-16s %7d %13d %11d %14d %8s %8s %8s %8s", command_name(code),
            row.frames, row.acked, row.frames - row.acked, row.retrans, ms(row.rtts[1]),
            ms(n > 0 and percentile(row.rtts, 0.5)), ms(n > 0 and percentile(row.rtts, 0.99)), ms(row.rtts[n]))
    end
    lines[#lines + 1] = string.format("Duplicate acknowledgements: %d", duplicates)
    lines[#lines + 1] = string.format("Acknowledgements of no frame: %d", unmatched)
    lines[#lines + 1] = rule
    return table.concat(lines, "\n")
end

-- tshark -z veltrano,rtt: printed once the capture has been read.
register_stat_cmd_arg("veltrano,rtt", function()
    local listener = Listener.new("frame", "veltrano")
    function listener.draw()
        print(rtt_report())
    end
end)

if gui_enabled() then
    register_menu("Veltrano round trips", function()
        local window = TextWindow.new("Veltrano round trips")
        window:set(rtt_report())
        window:add_button("Refresh", function()
            window:set(rtt_report())
        end)
    end, MENU_STAT_GENERIC)
end
