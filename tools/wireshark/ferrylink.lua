-- Wireshark dissector for the ferrylink proxy protocol.
--
-- A packet is an 8-byte header (signature 0xBABEFACE, length of what
-- follows) and a TLV packet (command type, payload length, payload, one
-- trailing byte), all little-endian. Over TCP the host sends requests on a
-- base port and receives data messages on base + 10; on a serial line
-- everything shares the line.
--
-- Registered on TCP ports 2800/2810 (the preference "Base TCP port" moves
-- them) and 5000/5010 (docksim's default), and on the pcap link type USER0
-- (147) as written by `docksim serial --capture`: one direction byte (0 host
-- to target, 1 target to host), then the line's bytes.
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

-- One packet of `size` bytes at `offset` (size may fall short of what the
-- header claims when `cut`). Returns the summary.
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
    if cut then
        item:add_proto_expert_info(e.truncated, string.format("Packet cut short: %d of %d bytes", body, length))
    end
    if body < 2 then
        if length < 2 then
            length_item:add_proto_expert_info(e.bad_length, "Too short for a command type")
        end
        item:append_text(", no command type")
        return "Packet without a command type"
    end
    local type = tvb(offset + 8, 2):le_uint()
    item:add_le(f.type, tvb(offset + 8, 2))
    if body < kTlvHeaderSize then
        if not cut then
            length_item:add_proto_expert_info(e.bad_length, "Too short for a TLV header")
        end
        local name = command_names[type] or string.format("Command type %d", type)
        item:append_text(", " .. name)
        return name .. " (no payload length)"
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
        summary = (command_names[type] or string.format("Command type %d", type)) .. " (cut short)"
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
    return summary
end

-- Dissects the packets in tvb. With `desegment`, a packet that goes on past
-- the end asks TCP for more; without, it is shown cut short.
local function dissect_stream(tvb, pinfo, tree, from_target, desegment)
    local len = tvb:len()
    local offset = 0
    local parts = {}
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
        pinfo.cols.info:set(table.concat(parts, "; "))
    end
    return len
end

function ferry.dissector(tvb, pinfo, tree)
    -- The target is the side listening on the port this dissector came by.
    local from_target = pinfo.src_port == pinfo.match_uint
    local dir = tree:add(f.direction, from_target and 1 or 0)
    dir:set_generated()
    return dissect_stream(tvb, pinfo, tree, from_target, true)
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
