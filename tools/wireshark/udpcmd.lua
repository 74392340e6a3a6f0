-- udpcmd.lua: Wireshark and tshark dissector for udpcmd's command frames and
-- the device's replies (Wireshark 3.6 and later).
--
-- A UDP datagram to port 2639 is a command frame:
--
--   F1 01 04 | message | 0D | checksum field (0 to 4 bytes) | F2
--
-- and one from port 2639 is a reply: up to 32 bytes that udpcmd shows as
-- text up to the first zero byte. A datagram from any other port to the
-- address and port that sent a command is taken as that command's reply too,
-- since udpcmd accepts a reply from any sender.
--
-- Use it for one run:   tshark -X lua_script:udpcmd.lua -r CAPTURE
-- or for good: copy it into Wireshark's personal Lua plugins folder (Help >
-- About Wireshark > Folders).
--
-- Filter fields: udpcmd.header, udpcmd.message, udpcmd.end_of_text,
-- udpcmd.checksum, udpcmd.checksum.sum, udpcmd.checksum.status (1 Good,
-- 0 Bad), udpcmd.trailer, udpcmd.awaits_reply, udpcmd.reply,
-- udpcmd.reply.length.

local DEVICE_PORT = 2639
local FRAME_LIMIT = 31 -- bytes in a command frame
local REPLY_LIMIT = 32 -- bytes udpcmd receives
local HEADER = { 0xF1, 0x01, 0x04 }
local END_OF_TEXT = 0x0D
local TRAILER = 0xF2
local AT_SIGN = 0x40
local ASTERISK = 0x2A
local LONGEST_FIELD = 4
-- Text fields map each byte to one character, so nothing sent is lost.
local TEXT_ENCODING = ENC_ISO_8859_1

local udpcmd = Proto("udpcmd", "udpcmd command frame and reply")

-- The fields, each as fields[KEY]: the ProtoField constructor and its
-- arguments (filter name, label, and for numbers the base and value names).
local CHECKSUM_STATUS = { [0] = "Bad", [1] = "Good" }
local field_specs = {
	{ "header", ProtoField.bytes, "udpcmd.header", "Frame header" },
	{ "message", ProtoField.string, "udpcmd.message", "Message" },
	{ "end_of_text", ProtoField.uint8, "udpcmd.end_of_text", "End of text", base.HEX },
	{ "checksum", ProtoField.bytes, "udpcmd.checksum", "Checksum field" },
	{ "sum", ProtoField.int32, "udpcmd.checksum.sum", "Checksum sum S" },
	{ "status", ProtoField.uint8, "udpcmd.checksum.status", "Checksum status", base.DEC, CHECKSUM_STATUS },
	{ "trailer", ProtoField.uint8, "udpcmd.trailer", "Frame trailer", base.HEX },
	{ "awaits_reply", ProtoField.bool, "udpcmd.awaits_reply", "Awaits a reply" },
	{ "reply", ProtoField.string, "udpcmd.reply", "Reply" },
	{ "reply_length", ProtoField.uint16, "udpcmd.reply.length", "Reply length" },
}
local unpack = table.unpack or unpack -- Wireshark built with Lua 5.1 has only the latter
local fields, registered = {}, {}
for _, spec in ipairs(field_specs) do
	fields[spec[1]] = spec[2](unpack(spec, 3))
	registered[#registered + 1] = fields[spec[1]]
end
udpcmd.fields = registered

local function malformed(abbrev, text)
	local item = ProtoExpert.new(abbrev, text, expert.group.MALFORMED, expert.severity.ERROR)
	return { expert = item, text = text }
end

-- A malformed frame gets one error: the first of these that applies.
local problems = {
	too_long = malformed("udpcmd.too_long", "Frame longer than 31 bytes"),
	zero_inside = malformed("udpcmd.zero_inside", "Zero byte inside the frame"),
	no_header = malformed("udpcmd.no_header", "No frame header (F1 01 04)"),
	no_trailer = malformed("udpcmd.no_trailer", "No frame trailer (F2) at the end"),
	no_end_of_text = malformed(
		"udpcmd.no_end_of_text",
		"No end-of-text byte (0D) before the checksum field"
	),
	bad_checksum = malformed("udpcmd.checksum.bad", "Checksum field does not match S"),
}
local reply_too_long = ProtoExpert.new(
	"udpcmd.reply.too_long",
	"Reply longer than 32 bytes: udpcmd fails such a reply (message too long)",
	expert.group.PROTOCOL,
	expert.severity.WARN
)
local experts = { reply_too_long }
for _, problem in pairs(problems) do
	experts[#experts + 1] = problem.expert
end
udpcmd.experts = experts

-- Filled on the first pass through a capture: the commands seen so far, by
-- "address:port" of their sender, and the frame numbers of the replies that
-- came from a port other than 2639.
local commands, other_replies = {}, {}

function udpcmd.init()
	commands, other_replies = {}, {}
end

local function endpoint(address, port)
	return tostring(address) .. ":" .. port
end

local function signed_byte(byte)
	return byte < 0x80 and byte or byte - 256
end

-- S: bytes 1 up to and including `last`, each read as a signed byte.
local function checksum_sum(bytes, last)
	local sum = 0
	for i = 1, last do
		sum = sum + signed_byte(bytes:get_index(i))
	end
	return sum
end

-- The checksum field for S, cut at its first zero byte.
local function checksum_field(sum)
	local function bits(shift)
		return math.floor(sum / 2 ^ shift) % 256
	end
	local full
	if sum >= 65536 then
		full = { 0xFE, bits(16), bits(8), bits(0) }
	elseif sum >= 250 then
		full = { 0xFF, bits(8), bits(0) }
	else
		full = { bits(0) }
	end
	local field = {}
	for _, byte in ipairs(full) do
		if byte == 0 then
			break
		end
		field[#field + 1] = byte
	end
	return field
end

local function field_matches(bytes, from, to, field)
	if to - from ~= #field then
		return false
	end
	for i, byte in ipairs(field) do
		if bytes:get_index(from + i - 1) ~= byte then
			return false
		end
	end
	return true
end

-- Finds the end-of-text byte: it sits 0 to 4 bytes before `body_end` (the
-- trailer's offset), after the message's start `first`. A position whose
-- checksum field matches wins; else the first with a field of a possible
-- shape (FF or FE leading a longer field); else the first 0D at all.
-- Gives its offset, S there and whether the field matched, or nil.
local function find_end_of_text(bytes, first, body_end)
	local fallback, shaped
	for size = 0, LONGEST_FIELD do
		local at = body_end - 1 - size
		if at < first then
			break
		end
		if bytes:get_index(at) == END_OF_TEXT then
			local sum = checksum_sum(bytes, at)
			if field_matches(bytes, at + 1, body_end, checksum_field(sum)) then
				return at, sum, true
			end
			fallback = fallback or at
			local lead = size > 1 and bytes:get_index(at + 1)
			if not shaped and (size <= 1 or lead == 0xFF or lead == 0xFE) then
				shaped = at
			end
		end
	end
	local at = shaped or fallback
	if at then
		return at, checksum_sum(bytes, at), false
	end
end

local function contains(bytes, value)
	for i = 0, bytes:len() - 1 do
		if bytes:get_index(i) == value then
			return true
		end
	end
	return false
end

local function has_header(bytes)
	if bytes:len() < #HEADER then
		return false
	end
	for i, byte in ipairs(HEADER) do
		if bytes:get_index(i - 1) ~= byte then
			return false
		end
	end
	return true
end

-- Everything known about a command datagram, and its one problem if any.
local function parse_command(bytes, reported)
	local length = bytes:len()
	local frame = {
		has_header = has_header(bytes),
		has_trailer = length > 0 and bytes:get_index(length - 1) == TRAILER,
		first = math.min(#HEADER, length),
		awaits_reply = contains(bytes, AT_SIGN) and not contains(bytes, ASTERISK),
	}
	frame.body_end = frame.has_trailer and length - 1 or length
	if frame.body_end < frame.first then
		frame.body_end = frame.first
	end
	frame.end_of_text, frame.sum, frame.good = find_end_of_text(bytes, frame.first, frame.body_end)
	if reported > FRAME_LIMIT then
		frame.problem = "too_long"
	elseif contains(bytes, 0) then
		frame.problem = "zero_inside"
	elseif not frame.has_header then
		frame.problem = "no_header"
	elseif not frame.has_trailer then
		frame.problem = "no_trailer"
	elseif not frame.end_of_text then
		frame.problem = "no_end_of_text"
	elseif not frame.good then
		frame.problem = "bad_checksum"
	end
	return frame
end

-- The bytes of a range as text for the Info column: each byte one
-- character (ISO 8859-1), control characters written as \xNN.
local function text(range)
	local out = {}
	for i = 0, range:len() - 1 do
		local byte = range(i, 1):uint()
		if byte < 0x20 or (byte >= 0x7F and byte < 0xA0) then
			out[#out + 1] = string.format("\\x%02X", byte)
		elseif byte < 0x80 then
			out[#out + 1] = string.char(byte)
		else
			out[#out + 1] = string.char(0xC0 + math.floor(byte / 64), 0x80 + byte % 64)
		end
	end
	return table.concat(out)
end

local function dissect_command(tvb, pinfo, tree)
	local frame = parse_command(tvb:bytes(), tvb:reported_len())
	local eot = frame.end_of_text
	local message = tvb(frame.first, (eot or frame.body_end) - frame.first)
	if frame.first > 0 then
		tree:add(fields.header, tvb(0, frame.first))
	end
	tree:add_packet_field(fields.message, message, TEXT_ENCODING)
	if eot then
		tree:add(fields.end_of_text, tvb(eot, 1))
		local field = tvb(eot + 1, frame.body_end - eot - 1)
		tree:add(fields.checksum, field)
		tree:add(fields.sum, tvb(1, eot), frame.sum):set_generated()
		tree:add(fields.status, field, frame.good and 1 or 0):set_generated()
	end
	if frame.has_trailer then
		tree:add(fields.trailer, tvb(tvb:len() - 1, 1))
	end
	tree:add(fields.awaits_reply, tvb(), frame.awaits_reply):set_generated()

	local info = string.format(
		'Command "%s", %s',
		text(message),
		frame.awaits_reply and "awaits reply" or "no reply awaited"
	)
	if frame.problem then
		local problem = problems[frame.problem]
		tree:add_proto_expert_info(problem.expert)
		info = info .. " [" .. problem.text .. "]"
	end
	pinfo.cols.info = info
	if not pinfo.visited then
		commands[endpoint(pinfo.src, pinfo.src_port)] = { answered = false }
	end
end

local function dissect_reply(tvb, pinfo, tree)
	local command = commands[endpoint(pinfo.dst, pinfo.dst_port)]
	if command and not pinfo.visited then
		command.answered = true
	end
	local length = tvb:reported_len()
	local shown = tvb:len()
	for i = 0, tvb:len() - 1 do
		if tvb(i, 1):uint() == 0 then
			shown = i
			break
		end
	end
	local reply = tvb(0, shown)
	tree:add_packet_field(fields.reply, reply, TEXT_ENCODING)
	tree:add(fields.reply_length, tvb(), length):set_generated()
	local info = string.format('Reply "%s"', text(reply))
	if length > REPLY_LIMIT then
		tree:add_proto_expert_info(reply_too_long)
		info = info .. string.format(" [%d bytes: too long for udpcmd]", length)
	end
	pinfo.cols.info = info
end

-- A command when it goes to port 2639, else a reply.
local function dissect(tvb, pinfo, root, range)
	pinfo.cols.protocol = "udpcmd"
	local tree = root:add(udpcmd, range or tvb())
	if pinfo.dst_port == DEVICE_PORT then
		dissect_command(tvb, pinfo, tree)
	else
		dissect_reply(tvb, pinfo, tree)
	end
end

function udpcmd.dissector(tvb, pinfo, root)
	dissect(tvb, pinfo, root)
	return tvb:len()
end

-- A datagram that is no command, from a port other than 2639, is a reply
-- when it is the first to reach the address and port of an earlier command.
local function is_other_reply(pinfo)
	if pinfo.visited then
		return other_replies[pinfo.number] == true
	end
	local command = commands[endpoint(pinfo.dst, pinfo.dst_port)]
	if not command or command.answered then
		return false
	end
	other_replies[pinfo.number] = true
	return true
end

local function heuristic_reply(tvb, pinfo, root)
	if not is_other_reply(pinfo) then
		return false
	end
	dissect(tvb, pinfo, root)
	return true
end

DissectorTable.get("udp.port"):add(DEVICE_PORT, udpcmd)
udpcmd:register_heuristic("udp", heuristic_reply)

-- UDP hands an empty datagram to no dissector, yet an empty reply is one
-- that udpcmd accepts: this looks at every UDP datagram once dissected, and
-- takes an empty one that a command or reply on its ports would be.
local empty = Proto("udpcmd_empty", "udpcmd empty datagram")
local udp_srcport = Field.new("udp.srcport")
local udp_length = Field.new("udp.length")

local function last(field)
	local all = { field() }
	return all[#all]
end

function empty.dissector(tvb, pinfo, root)
	local length, source = last(udp_length), last(udp_srcport)
	if not length or length.value ~= 8 or not source then
		return
	end
	local is_command = pinfo.dst_port == DEVICE_PORT
	if is_command or pinfo.src_port == DEVICE_PORT or is_other_reply(pinfo) then
		local payload = tvb(source.offset + 8, 0)
		dissect(payload:tvb(), pinfo, root, payload)
	end
end
register_postdissector(empty)
