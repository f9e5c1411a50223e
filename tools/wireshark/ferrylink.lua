-- Wireshark dissector for the ferrylink proxy protocol.
--
-- A packet is an 8-byte header (signature 0xBABEFACE, length of what
-- follows) and a TLV packet (command type, payload length, payload, one
-- trailing byte), all little-endian. Over TCP the host sends requests on a
-- base port and receives data messages on base + 10; on a serial line
-- everything shares the line.
--
-- Registered on TCP ports 2800/2810 (the preference "Base TCP port" moves
-- them) and 5000/5010 (docksim's default), as a heuristic on any other TCP
-- port (a payload that starts with a header), and on the pcap link type
-- USER0 (147) as written by `docksim serial --capture`: one direction byte
-- (0 host to target, 1 target to host), then the line's bytes.
--
-- TCP holds the segments of a packet until it is whole, so a packet that
-- its stream ends inside (FIN, reset, end of the capture) would never show:
-- a postdissector follows such packets and shows them cut short where the
-- stream ends. The end of the capture is known only on a second pass
-- (Wireshark, or tshark -2 with a display filter).
--
-- Load it with `wireshark -X lua_script:ferrylink.lua` (tshark too) or copy
-- it into ~/.local/lib/wireshark/plugins/.

local kSignature = 0xBABEFACE
local kSignatureBytes = "\206\250\190\186" -- the signature as it is on the wire
local kHeaderSize = 8
local kTlvHeaderSize = 4
-- The longest TLV packet: command type, payload length, 65535 payload
-- bytes and the trailing byte. A longer header length cannot be a packet.
local kMaxLength = kTlvHeaderSize + 65535 + 1
local kDefaultBasePort = 2800
local kDocksimBasePort = 5000
local kOneMoreSegment = DESEGMENT_ONE_MORE_SEGMENT or 0x0fffffff
local kInfoSeparator = "; "

local kCmdReadMemory = 1
local kCmdWriteMemory = 2
local kCmdDataMessage = 4
local kCmdClose = 5
local kCmdDeviceOpen = 6

local command_names = {
    [kCmdReadMemory] = "Remote read",
    [kCmdWriteMemory] = "Remote write",
    [kCmdDataMessage] = "Data message",
    [kCmdClose] = "Close",
    [kCmdDeviceOpen] = "Device open",
}
local direction_names = { [0] = "host to target", [1] = "target to host" }

-- Data messages of type 0x0CA1 carry the calibration library's calls to a
-- target and their answers (calwire/calwire.h): a 16-byte header, then a
-- fragment of the call's body. The operation numbers never change.
local kCalMessageType = 0x0CA1
local kCalHeaderSize = 16
local cal_subtype_names = { [1] = "request", [2] = "answer", [3] = "probe" }
local cal_operation_names = {
    [1] = "GetCalInterface", [2] = "CloseCalInterface", [3] = "GetOptionInfo", [4] = "ConnectDevice",
    [5] = "DisconnectDevice", [6] = "GetOptionByID", [7] = "SetOptionByID", [8] = "GetDeviceMode",
    [9] = "SetDeviceMode", [10] = "GetBandConfig", [11] = "SetBandConfig", [12] = "GetCWOffset",
    [13] = "SetCWOffset", [14] = "GetRxAntConfig", [15] = "SetRxAntConfig", [16] = "IsSync", [17] = "ForceReSync",
    [18] = "SetAGCMode", [19] = "GetRxGainState", [20] = "SetRxGainState", [21] = "GetRSSIReport", [22] = "GetCINR",
    [23] = "GetPerAntCINR", [24] = "GetPerAntThermalNoise", [25] = "ResetFrameErrorStatistics",
    [26] = "GetFrameErrorStatistics", [27] = "GetPDUErrorStatistics", [28] = "GetTx1Attn", [29] = "SetTx1Attn",
    [30] = "GetTx1OutputPower", [31] = "SetTx1OutputPower", [32] = "GetTxDiversitySwitch",
    [33] = "SetTxDiversitySwitch", [34] = "SetTRSwitch", [35] = "CalibrateLCTrim", [36] = "CalibrateTxSteps",
    [37] = "CalibrateLimitedTxSteps", [38] = "CalibrateTxPoutFreqCorr", [39] = "CalibrateLNASteps",
    [40] = "CalibrateTxExtAttnStep", [41] = "ReadGPIOState", [42] = "SetGPIOConfiguration",
    [43] = "SetGPIOPinState", [44] = "ReadRFICRegister", [45] = "WriteRFICRegister", [46] = "GetTemperature",
    [47] = "GetGPADCValue", [48] = "SetGPDACValue", [49] = "ResetRxSpectrum", [50] = "GetRxSpectrum",
    [51] = "GetVersionInfo", [52] = "LoadDevData", [53] = "IsDevDataValid", [54] = "AreDevDataChecksumsValidArray",
    [55] = "GetDevDataChecksumsArray", [56] = "IsCalibrationValid", [57] = "GetCalibrationInfo",
    [58] = "GetMACAddress", [59] = "GetDevDataSize", [60] = "GetDevDataInfo", [61] = "GetFlash2xDevDataInfo",
    [62] = "SelectActiveDevDataSection", [63] = "SelectCurrentDevDataSection", [64] = "CopyDevDataSection",
    [65] = "InitializeFlash", [66] = "ReadDevDataBlock", [67] = "ReadDevDataBytes",
    [68] = "GetDevDataRegionSizeByID", [69] = "ReadDevDataRegionByID", [70] = "RequestDevDataWriteKey",
    [71] = "WriteDevDataBlock", [72] = "WriteDevDataBytes", [73] = "WriteFlash2xBytesWithHeader",
    [74] = "WriteDevDataRegionByID", [75] = "EchoTest",
}


local ferry = Proto("ferrylink", "ferrylink proxy protocol")
local serial = Proto("ferrylink_serial", "ferrylink serial line")

local f = {
    direction = ProtoField.uint8("ferrylink.direction", "Direction", base.DEC, direction_names),
    signature = ProtoField.uint32("ferrylink.signature", "Signature", base.HEX),
    length = ProtoField.uint32("ferrylink.length", "Length", base.DEC),
    type = ProtoField.uint16("ferrylink.type", "Command type", base.DEC, command_names),
    payload_length = ProtoField.uint16("ferrylink.payload_length", "Payload length", base.DEC),
    payload = ProtoField.bytes("ferrylink.payload", "Payload"),
    trailer = ProtoField.uint8("ferrylink.trailer", "Trailing byte", base.HEX),
    address = ProtoField.uint32("ferrylink.address", "Address", base.HEX),
    count = ProtoField.uint32("ferrylink.count", "Count", base.DEC),
    value = ProtoField.uint32("ferrylink.value", "Value", base.HEX),
    memory = ProtoField.bytes("ferrylink.memory", "Memory"),
    msg_type = ProtoField.uint16("ferrylink.msg_type", "Message type", base.DEC),
    msg_subtype = ProtoField.uint16("ferrylink.msg_subtype", "Message subtype", base.DEC),
    msg_data = ProtoField.bytes("ferrylink.msg_data", "Message data"),
    junk = ProtoField.bytes("ferrylink.junk", "Bytes outside a packet"),
    cal_subtype = ProtoField.uint16("ferrylink.cal.subtype", "Calibration message", base.DEC, cal_subtype_names),
    cal_version = ProtoField.uint16("ferrylink.cal.version", "Link version", base.DEC),
    cal_operation = ProtoField.uint16("ferrylink.cal.operation", "Operation", base.DEC, cal_operation_names),
    cal_request = ProtoField.uint32("ferrylink.cal.request", "Request number", base.DEC),
    cal_fragment = ProtoField.uint16("ferrylink.cal.fragment", "Fragment index", base.DEC),
    cal_fragments = ProtoField.uint16("ferrylink.cal.fragments", "Fragment count", base.DEC),
    cal_body = ProtoField.bytes("ferrylink.cal.body", "Body fragment"),
    begins_in = ProtoField.framenum("ferrylink.begins_in", "Packet begins in frame", base.NONE),
}
ferry.fields = f

local serial_direction = ProtoField.uint8("ferrylink_serial.direction", "Direction", base.DEC, direction_names)
serial.fields = { serial_direction }

local e = {
    bad_signature = ProtoExpert.new("ferrylink.bad_signature", "Bad signature", expert.group.MALFORMED,
        expert.severity.ERROR),
    bad_length = ProtoExpert.new("ferrylink.bad_length", "Impossible length", expert.group.MALFORMED,
        expert.severity.ERROR),
    truncated = ProtoExpert.new("ferrylink.truncated", "Packet cut short", expert.group.MALFORMED,
        expert.severity.ERROR),
    short_payload = ProtoExpert.new("ferrylink.short_payload", "Payload too short for its command",
        expert.group.MALFORMED, expert.severity.WARN),
    length_mismatch = ProtoExpert.new("ferrylink.length_mismatch", "Payload length disagrees with the header length",
        expert.group.PROTOCOL, expert.severity.WARN),
    unknown_type = ProtoExpert.new("ferrylink.unknown_type", "Unknown command type", expert.group.UNDECODED,
        expert.severity.NOTE),
    -- A warning, not an error: a capture stopped mid-packet is no fault of
    -- the link.
    stream_end = ProtoExpert.new("ferrylink.stream_end", "Packet cut short by the end of its TCP stream",
        expert.group.MALFORMED, expert.severity.WARN),
}
ferry.experts = e

ferry.prefs.base_port = Pref.uint("Base TCP port", kDefaultBasePort,
    "Requests and replies on this port, notifications and data messages on this port + 10")

-- Offset of the next signature at or after `from`, or nil.
local function find_signature(tvb, from)
    local left = tvb:len() - from
    if left < 4 then
        return nil
    end
    local at = string.find(tvb:raw(from, left), kSignatureBytes, 1, true)
    return at and from + at - 1 or nil
end

local function hex32(v)
    return string.format("0x%08X", v)
end

local function command_name(type)
    return command_names[type] or string.format("Command type %d", type)
end

-- Adds a summary to the Info column. TCP fences the column after each
-- reassembled packet it hands over, so a later call for the same frame
-- finds the earlier summaries there and goes on after a separator.
local function add_info(pinfo, text)
    local info = pinfo.cols.info
    info:clear()
    if tostring(info) == "" then
        info:set(text)
    else
        info:append(kInfoSeparator .. text)
    end
end

-- A calibration link message (data message payload of n bytes at `at`,
-- its header whole); returns the summary.
local function dissect_calibration(tvb, tree, at, n)
    local subtype = tvb(at + 2, 2):le_uint()
    local operation = tvb(at + 6, 2):le_uint()
    local request = tvb(at + 8, 4):le_uint()
    local index = tvb(at + 12, 2):le_uint()
    local count = tvb(at + 14, 2):le_uint()
    tree:add_le(f.cal_subtype, tvb(at + 2, 2))
    tree:add_le(f.cal_version, tvb(at + 4, 2))
    tree:add_le(f.cal_operation, tvb(at + 6, 2))
    tree:add_le(f.cal_request, tvb(at + 8, 4))
    tree:add_le(f.cal_fragment, tvb(at + 12, 2))
    tree:add_le(f.cal_fragments, tvb(at + 14, 2))
    if n > kCalHeaderSize then
        tree:add(f.cal_body, tvb(at + kCalHeaderSize, n - kCalHeaderSize))
    end
    local summary = string.format("Calibration %s %d: %s", cal_subtype_names[subtype] or
        string.format("message subtype %d", subtype), request, cal_operation_names[operation] or
        string.format("operation %d", operation))
    if count ~= 1 then
        summary = summary .. string.format(", fragment %d of %d", index + 1, count)
    end
    return summary .. string.format(", %d bytes", n - kCalHeaderSize)
end

-- The payload of a whole packet by command type; returns the summary.
local function dissect_payload(tvb, tree, from_target, type, at, n)
    local name = command_names[type]
    if type == kCmdReadMemory and from_target then
        if n > 0 then
            tree:add(f.memory, tvb(at, n))
        end
        return string.format("Remote read reply, %d bytes", n)
    elseif type == kCmdReadMemory or type == kCmdWriteMemory then
        if n < 8 then
            tree:add_proto_expert_info(e.short_payload, name .. " needs an address and a " ..
                (type == kCmdReadMemory and "count" or "value"))
            return name .. " (short)"
        end
        local address = tvb(at, 4):le_uint()
        local second = tvb(at + 4, 4):le_uint()
        tree:add_le(f.address, tvb(at, 4))
        if type == kCmdReadMemory then
            tree:add_le(f.count, tvb(at + 4, 4))
            return string.format("Remote read address %s count %d", hex32(address), second)
        end
        tree:add_le(f.value, tvb(at + 4, 4))
        return string.format("Remote write address %s value %s", hex32(address), hex32(second))
    elseif type == kCmdDataMessage then
        if n < 4 then
            if n > 0 then
                tree:add(f.msg_data, tvb(at, n))
            end
            return string.format("Data message, %d bytes (no type)", n)
        end
        tree:add_le(f.msg_type, tvb(at, 2))
        tree:add_le(f.msg_subtype, tvb(at + 2, 2))
        if tvb(at, 2):le_uint() == kCalMessageType and n >= kCalHeaderSize then
            return dissect_calibration(tvb, tree, at, n)
        end
        if n > 4 then
            tree:add(f.msg_data, tvb(at + 4, n - 4))
        end
        return string.format("Data message type %d subtype %d, %d bytes", tvb(at, 2):le_uint(),
            tvb(at + 2, 2):le_uint(), n)
    elseif type == kCmdDeviceOpen then
        return from_target and "Device open acknowledgement" or "Device open"
    elseif type == kCmdClose then
        return from_target and "Close (from the target)" or "Close"
    end
    tree:add_proto_expert_info(e.unknown_type)
    return string.format("Command type %d", type)
end

-- One packet of `size` bytes at `offset`. `cut` when size falls short of
-- what the header claims: true where a record or segment ends (an error),
-- or the text of the warning when its TCP stream ended. Returns the summary
-- and the packet's item.
local function dissect_packet(tvb, tree, from_target, offset, size, cut)
    local item = tree:add(ferry, tvb(offset, size))
    local signature = tvb(offset, 4):le_uint()
    local sig_item = item:add_le(f.signature, tvb(offset, 4))
    if signature ~= kSignature then
        sig_item:add_proto_expert_info(e.bad_signature)
    end
    local length = tvb(offset + 4, 4):le_uint()
    local length_item = item:add_le(f.length, tvb(offset + 4, 4))
    local body = size - kHeaderSize -- bytes of the TLV packet here
    if cut == true then
        item:add_proto_expert_info(e.truncated, string.format("Packet cut short: %d of %d bytes", body, length))
    elseif cut then
        item:add_proto_expert_info(e.stream_end, cut)
    end
    if body < 2 then
        if length < 2 then
            length_item:add_proto_expert_info(e.bad_length, "Too short for a command type")
        end
        item:append_text(", no command type")
        return "Packet without a command type", item
    end
    local type = tvb(offset + 8, 2):le_uint()
    item:add_le(f.type, tvb(offset + 8, 2))
    if body < kTlvHeaderSize then
        if not cut then
            length_item:add_proto_expert_info(e.bad_length, "Too short for a TLV header")
        end
        local name = command_name(type)
        item:append_text(", " .. name)
        return name .. " (no payload length)", item
    end
    local n = tvb(offset + 10, 2):le_uint()
    local n_item = item:add_le(f.payload_length, tvb(offset + 10, 2))
    local here = body - kTlvHeaderSize
    local summary
    if n > here then
        if not cut then
            n_item:add_proto_expert_info(e.short_payload, "Payload length beyond the packet")
        end
        if here > 0 then
            item:add(f.payload, tvb(offset + 12, here))
        end
        summary = command_name(type) .. " (cut short)"
    else
        if not cut and length ~= n + kTlvHeaderSize + 1 then
            length_item:add_proto_expert_info(e.length_mismatch,
                string.format("Length %d, payload length %d: expected %d", length, n, n + kTlvHeaderSize + 1))
        end
        summary = dissect_payload(tvb, item, from_target, type, offset + 12, n)
        if here > n then
            item:add(f.trailer, tvb(offset + 12 + n, 1))
        end
    end
    item:append_text(", " .. summary)
    return summary, item
end

-- Dissects the packets in tvb. With `desegment`, a packet that goes on past
-- the end asks TCP for more; without, it is shown cut short. Returns the
-- length and the offset of the packet TCP was asked to complete, if any.
local function dissect_stream(tvb, pinfo, tree, from_target, desegment)
    local len = tvb:len()
    local offset = 0
    local parts = {}
    local asked_at = nil
    pinfo.cols.protocol:set("FERRYLINK")
    while offset < len do
        local left = len - offset
        local signature = left >= 4 and tvb(offset, 4):le_uint() or nil
        local length = left >= kHeaderSize and tvb(offset + 4, 4):le_uint() or nil
        if signature == kSignature and length ~= nil and length > kMaxLength then
            local item = tree:add(ferry, tvb(offset, kHeaderSize))
            item:add_le(f.signature, tvb(offset, 4))
            local length_item = item:add_le(f.length, tvb(offset + 4, 4))
            length_item:add_proto_expert_info(e.bad_length,
                string.format("Impossible length %d: a packet has at most %d bytes", length, kMaxLength))
            item:append_text(", impossible length")
            parts[#parts + 1] = "Impossible length"
            offset = offset + kHeaderSize
        elseif signature == kSignature and length ~= nil and left >= kHeaderSize + length then
            parts[#parts + 1] = dissect_packet(tvb, tree, from_target, offset, kHeaderSize + length, false)
            offset = offset + kHeaderSize + length
        elseif signature == kSignature or (left < 4 and kSignatureBytes:sub(1, left) == tvb:raw(offset, left)) then
            -- A packet (or its header) that goes on past the end.
            if desegment and pinfo.can_desegment > 0 then
                pinfo.desegment_offset = offset
                pinfo.desegment_len = length ~= nil and kHeaderSize + length - left or kOneMoreSegment
                asked_at = offset
                break
            end
            if left >= kHeaderSize then
                parts[#parts + 1] = dissect_packet(tvb, tree, from_target, offset, left, true)
            else
                local item = tree:add(ferry, tvb(offset, left))
                item:add_proto_expert_info(e.truncated, "Packet cut short: header incomplete")
                parts[#parts + 1] = "Header cut short"
            end
            offset = len
        else
            -- Not a packet: up to the next signature. A packet with a wrong
            -- signature but a possible length is still shown as one.
            local next_at = find_signature(tvb, offset + 1) or len
            if length ~= nil and length <= kMaxLength and kHeaderSize + length <= next_at - offset then
                parts[#parts + 1] = dissect_packet(tvb, tree, from_target, offset, kHeaderSize + length, false)
                offset = offset + kHeaderSize + length
            else
                local item = tree:add(f.junk, tvb(offset, next_at - offset))
                item:add_proto_expert_info(e.bad_signature,
                    string.format("Bad signature: %d bytes outside a packet", next_at - offset))
                parts[#parts + 1] = "Bad signature"
                offset = next_at
            end
        end
    end
    if #parts > 0 then
        add_info(pinfo, table.concat(parts, kInfoSeparator))
    end
    return len, asked_at
end

-- TCP's fields for following streams (see the top of this file). Without a
-- protocol tree (tshark's first pass of -2 without a filter) they are empty
-- and no stream is followed.
local tcp_flags = Field.new("tcp.flags")
local tcp_seq = Field.new("tcp.seq_raw")
local tcp_len = Field.new("tcp.len")
local tcp_payload = Field.new("tcp.payload")
local kFin, kSyn, kRst, kAck = 0x01, 0x02, 0x04, 0x10

local pending = {} -- by direction: the packet TCP was last asked to complete
local ended = {}   -- by frame number: the packets a FIN or reset cut short there
local targets = {} -- by connection: the endpoint its SYN went to

function ferry.init()
    pending, ended, targets = {}, {}, {}
end

local function last_field(field)
    local all = { field() }
    return all[#all]
end

local function has_flag(flags, flag)
    return math.floor(flags / flag) % 2 == 1
end

local function endpoint(address, port)
    return tostring(address) .. "/" .. port
end

local function direction_key(pinfo, reverse)
    local from, to = endpoint(pinfo.src, pinfo.src_port), endpoint(pinfo.dst, pinfo.dst_port)
    return reverse and to .. ">" .. from or from .. ">" .. to
end

local function connection_key(pinfo)
    local a, b = endpoint(pinfo.src, pinfo.src_port), endpoint(pinfo.dst, pinfo.dst_port)
    return a < b and a .. "|" .. b or b .. "|" .. a
end

-- Whether this segment comes from the target.
local function from_target_of(pinfo)
    -- By the port table: the target listens on the port that matched.
    if pinfo.match_uint == pinfo.src_port or pinfo.match_uint == pinfo.dst_port then
        return pinfo.src_port == pinfo.match_uint
    end
    -- Found by its content: the target is the side the connection was
    -- opened to or, with no SYN in the capture, the lower port.
    local target = targets[connection_key(pinfo)]
    if target ~= nil then
        return target == endpoint(pinfo.src, pinfo.src_port)
    end
    return pinfo.src_port < pinfo.dst_port
end

-- Remembers the packet that TCP was asked to complete: its bytes so far
-- (the tvb always ends where this segment ends) and the sequence number
-- its next bytes will come with.
local function follow(tvb, pinfo, at, from_target)
    local seq, seglen = last_field(tcp_seq), last_field(tcp_len)
    if seq == nil or seglen == nil then
        return
    end
    local left = tvb:len() - at
    pending[direction_key(pinfo)] = {
        frame = pinfo.number,
        last_frame = pinfo.number,
        bytes = tvb:raw(at, left),
        total = left >= kHeaderSize and kHeaderSize + tvb(at + 4, 4):le_uint() or nil,
        next_seq = (seq.value + seglen.value) % 4294967296,
        from_target = from_target,
    }
end

local function dissect_tcp(tvb, pinfo, tree)
    local from_target = from_target_of(pinfo)
    local dir = tree:add(f.direction, from_target and 1 or 0)
    dir:set_generated()
    if not pinfo.visited then
        -- TCP calls again only once it has what was asked for.
        pending[direction_key(pinfo)] = nil
    end
    local len, asked_at = dissect_stream(tvb, pinfo, tree, from_target, true)
    if asked_at ~= nil and not pinfo.visited then
        follow(tvb, pinfo, asked_at, from_target)
    end
    return len
end
ferry.dissector = dissect_tcp

-- A payload that starts with a header of a possible length.
local function heuristic(tvb, pinfo, tree)
    if tvb:len() < kHeaderSize or tvb:raw(0, 4) ~= kSignatureBytes then
        return false
    end
    local length = tvb(4, 4):le_uint()
    if length < kTlvHeaderSize + 1 or length > kMaxLength then
        return false
    end
    -- The rest of the connection need not start on a header.
    pinfo.conversation = ferry
    -- Called directly: through the handle, TCP could no longer be asked
    -- for more.
    dissect_tcp(tvb, pinfo, tree)
    return true
end

-- A packet that its TCP stream ended inside, from the bytes that arrived
-- (in a tab of their own: they span segments).
local function show_stream_end(rec, by, pinfo, tree)
    local have = #rec.bytes
    local total = rec.total or kHeaderSize
    local text = string.format("%s cut short by %s: %d of %d bytes arrived", rec.total and "Packet" or "Header", by,
        have, total)
    local data = ByteArray.new(rec.bytes, true):tvb("Packet cut short")
    local dir = tree:add(f.direction, rec.from_target and 1 or 0)
    dir:set_generated()
    local what, item = "Header", nil
    if have >= kHeaderSize then
        item = select(2, dissect_packet(data, tree, rec.from_target, 0, have, text))
        what = have >= kHeaderSize + 2 and command_name(data(8, 2):le_uint()) or "Packet"
    else
        item = tree:add(ferry, data())
        item:add_proto_expert_info(e.stream_end, text)
    end
    item:add(f.begins_in, rec.frame):set_generated()
    local summary = string.format("%s cut short by %s: %d of %d bytes", what, by, have, total)
    if tostring(pinfo.cols.protocol) == "FERRYLINK" then
        -- After the packets of this frame that TCP handed over.
        pinfo.cols.info:append(kInfoSeparator .. summary)
    else
        pinfo.cols.protocol:set("FERRYLINK")
        add_info(pinfo, summary)
    end
end

local streams = Proto("ferrylink_streams", "ferrylink TCP stream ends")

function streams.dissector(tvb, pinfo, tree)
    if ended[pinfo.number] ~= nil then
        for _, rec in ipairs(ended[pinfo.number]) do
            show_stream_end(rec, rec.by, pinfo, tree)
        end
    end
    local flags = last_field(tcp_flags)
    if flags == nil then
        return
    end
    flags = flags.value
    if not pinfo.visited and has_flag(flags, kSyn) and not has_flag(flags, kAck) then
        targets[connection_key(pinfo)] = endpoint(pinfo.dst, pinfo.dst_port)
    end
    if next(pending) == nil then
        return
    end
    local key = direction_key(pinfo)
    local rec = pending[key]
    if pinfo.visited then
        -- Still waiting after the first pass: the capture ended inside it.
        if rec ~= nil and rec.last_frame == pinfo.number then
            show_stream_end(rec, "the end of the capture", pinfo, tree)
        end
        return
    end
    local seq, seglen = last_field(tcp_seq), last_field(tcp_len)
    if rec ~= nil and seq ~= nil and seglen ~= nil and seglen.value > 0 and seq.value == rec.next_seq then
        local payload = last_field(tcp_payload)
        if payload ~= nil and rec.total ~= nil and #rec.bytes < rec.total then
            rec.bytes = rec.bytes .. payload.range:raw(0, math.min(payload.range:len(), rec.total - #rec.bytes))
        end
        rec.next_seq = (seq.value + seglen.value) % 4294967296
        rec.last_frame = pinfo.number
    end
    -- A FIN ends its own direction, a reset both.
    local cut = {}
    if rec ~= nil and (has_flag(flags, kFin) or has_flag(flags, kRst)) then
        rec.by = has_flag(flags, kFin) and "FIN" or "reset"
        cut[#cut + 1] = rec
        pending[key] = nil
    end
    local back = has_flag(flags, kRst) and pending[direction_key(pinfo, true)]
    if back then
        back.by = "reset"
        cut[#cut + 1] = back
        pending[direction_key(pinfo, true)] = nil
    end
    if #cut > 0 then
        ended[pinfo.number] = cut
        for _, r in ipairs(cut) do
            show_stream_end(r, r.by, pinfo, tree)
        end
    end
end

function serial.dissector(tvb, pinfo, tree)
    pinfo.cols.protocol:set("FERRYLINK")
    local len = tvb:len()
    if len < 1 then
        return 0
    end
    local item = tree:add(serial, tvb(0, 1))
    item:add(serial_direction, tvb(0, 1))
    local from_target = tvb(0, 1):uint() == 1
    pinfo.cols.src:set(from_target and "target" or "host")
    pinfo.cols.dst:set(from_target and "host" or "target")
    if len < 2 then
        return len
    end
    local dir = tree:add(f.direction, from_target and 1 or 0)
    dir:set_generated()
    dissect_stream(tvb(1):tvb(), pinfo, tree, from_target, false)
    return len
end

local tcp_ports = DissectorTable.get("tcp.port")
local registered_base = nil

local function register_base(base)
    if registered_base == base then
        return
    end
    if registered_base ~= nil and registered_base ~= kDocksimBasePort then
        tcp_ports:remove(registered_base, ferry)
        tcp_ports:remove(registered_base + 10, ferry)
    end
    registered_base = base
    if base > 0 and base <= 65525 then
        tcp_ports:add(base, ferry)
        tcp_ports:add(base + 10, ferry)
    end
end

function ferry.prefs_changed()
    register_base(ferry.prefs.base_port)
end

tcp_ports:add(kDocksimBasePort, ferry)
tcp_ports:add(kDocksimBasePort + 10, ferry)
register_base(kDefaultBasePort)
DissectorTable.get("wtap_encap"):add(wtap_encaps.USER0, serial)
ferry:register_heuristic("tcp", heuristic)
register_postdissector(streams)
