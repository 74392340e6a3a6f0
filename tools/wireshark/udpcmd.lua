-- udpcmd.lua: Wireshark and tshark dissector for udpcmd's command frames and
-- the device's replies (Wireshark 3.6 and later). How to install and use it:
-- README.md (tshark -X lua_script:udpcmd.lua -r CAPTURE) and README.txt.
--
-- A UDP datagram to port 2639 (the preference udpcmd.port) is a command frame:
--
--   F1 01 04 | message | 0D | checksum field (0 to 4 bytes) | F2
--
-- and one from that port is a reply: up to 32 bytes that udpcmd shows as
-- text up to the first zero byte. udpcmd accepts a reply from any sender, so
-- the first datagram after a command that goes to the command's address and
-- port is its reply, whichever port it comes from, an empty one included.
-- The pairing is worked out on the first pass, so tshark shows it only with
-- -2. Decode As offers udpcmd for any UDP port, and a heuristic finds a
-- well-formed frame on any other port, after the port's own dissector if it
-- has one (unless UDP's "Try heuristic sub-dissectors first" is set).

local DEFAULT_PORT = 2639
local FRAME_LIMIT = 31 -- bytes in a command frame
local REPLY_LIMIT = 32 -- bytes udpcmd receives
local HEADER = "\241\1\4" -- F1 01 04
local END_OF_TEXT = 0x0D
local TRAILER = 0xF2
local LONGEST_FIELD = 4
-- Text fields map each byte to one character, so nothing sent is lost.
local TEXT_ENCODING = ENC_ISO_8859_1

local byte, char, find, format, sub = string.byte, string.char, string.find, string.format, string.sub
local floor, max, min = math.floor, math.max, math.min

local udpcmd = Proto("udpcmd", "udpcmd command frame and reply")
udpcmd.prefs.port = Pref.uint("UDP port", DEFAULT_PORT,
	"The device's UDP port: datagrams to it are commands, datagrams from it replies")
local port = DEFAULT_PORT -- as the preference has it

-- The request and response marks by a frame number's link (frametype) are
-- newer than the framenum field itself: without them the link goes unmarked.
local marks = frametype or {}

local fields = {
	header = ProtoField.bytes("udpcmd.header", "Frame header"),
	message = ProtoField.string("udpcmd.message", "Message"),
	end_of_text = ProtoField.uint8("udpcmd.end_of_text", "End of text", base.HEX),
	checksum = ProtoField.bytes("udpcmd.checksum", "Checksum field"),
	sum = ProtoField.int32("udpcmd.checksum.sum", "Checksum sum S"),
	status = ProtoField.uint8("udpcmd.checksum.status", "Checksum status", base.DEC, { [0] = "Bad", [1] = "Good" }),
	trailer = ProtoField.uint8("udpcmd.trailer", "Frame trailer", base.HEX),
	awaits_reply = ProtoField.bool("udpcmd.awaits_reply", "Awaits a reply"),
	reply = ProtoField.string("udpcmd.reply", "Reply"),
	reply_length = ProtoField.uint16("udpcmd.reply.length", "Reply length"),
	response_in = ProtoField.framenum("udpcmd.response_in", "Response in", base.NONE, marks.RESPONSE),
	response_to = ProtoField.framenum("udpcmd.response_to", "Response to", base.NONE, marks.REQUEST),
	response_time = ProtoField.relative_time("udpcmd.response_time", "Response time"),
}
udpcmd.fields = fields

local experts = {}
local function expert_item(abbrev, group, severity, text)
	experts[#experts + 1] = ProtoExpert.new(abbrev, text, group, severity)
	return { expert = experts[#experts], text = text }
end

-- A malformed frame gets one error: the first of these that applies.
local function malformed(abbrev, text)
	return expert_item(abbrev, expert.group.MALFORMED, expert.severity.ERROR, text)
end
local problems = {
	too_long = malformed("udpcmd.too_long", "Frame longer than 31 bytes"),
	zero_inside = malformed("udpcmd.zero_inside", "Zero byte inside the frame"),
	no_header = malformed("udpcmd.no_header", "No frame header (F1 01 04)"),
	no_trailer = malformed("udpcmd.no_trailer", "No frame trailer (F2) at the end"),
	no_end_of_text = malformed("udpcmd.no_end_of_text", "No end-of-text byte (0D) before the checksum field"),
	bad_checksum = malformed("udpcmd.checksum.bad", "Checksum field does not match S"),
}
local notes = {
	reply_too_long = expert_item("udpcmd.reply.too_long", expert.group.PROTOCOL, expert.severity.WARN,
		"Reply longer than 32 bytes: udpcmd fails such a reply (message too long)"),
	no_reply_seen = expert_item("udpcmd.no_reply_seen", expert.group.SEQUENCE, expert.severity.WARN,
		"No reply seen: udpcmd waits for one without time limit"),
	reply_not_awaited = expert_item("udpcmd.reply_not_awaited", expert.group.SEQUENCE, expert.severity.WARN,
		"Reply to a command that awaited none: udpcmd had already ended"),
	cut_short = expert_item("udpcmd.cut_short", expert.group.UNDECODED, expert.severity.NOTE,
		"Cut short by the capture: the rest of the datagram was not kept (snap length)"),
}
udpcmd.experts = experts

-- The checksum field for S, cut at its first zero byte.
local function checksum_field(sum)
	local field = char(sum % 256)
	if sum >= 65536 then
		field = char(0xFE, floor(sum / 65536) % 256, floor(sum / 256) % 256, sum % 256)
	elseif sum >= 250 then
		field = char(0xFF, floor(sum / 256) % 256, sum % 256)
	end
	return field:match("^[^%z]*")
end

-- The end-of-text byte sits 0 to 4 bytes before `body_end` (the trailer's
-- offset, or the end), after the message's start `first`. A position whose
-- checksum field matches wins; else the first with a field of a possible
-- shape (FF or FE leading a longer field); else the first 0D at all.
-- Gives its offset and whether the field matched, or nil. Offsets count
-- from 0; sums[OFFSET + 1] is S up to and including the byte there.
local function find_end_of_text(bytes, first, body_end, sums)
	local fallback, shaped
	for size = 0, LONGEST_FIELD do
		local at = body_end - 1 - size
		if at < first then
			break
		end
		if byte(bytes, at + 1) == END_OF_TEXT then
			if sub(bytes, at + 2, body_end) == checksum_field(sums[at + 1]) then
				return at, true
			end
			local lead = byte(bytes, at + 2)
			if not shaped and (size <= 1 or lead == 0xFF or lead == 0xFE) then
				shaped = at
			end
			fallback = fallback or at
		end
	end
	return shaped or fallback, false
end

-- Bytes as text for the Info column: each byte one character (ISO 8859-1,
-- written as UTF-8), control characters as \xNN.
local function shown_byte(character)
	local value = byte(character)
	if value < 0x20 or (value >= 0x7F and value < 0xA0) then
		return format("\\x%02X", value)
	end
	return char(0xC0 + floor(value / 64), 0x80 + value % 64)
end
local function shown(bytes)
	return (bytes:gsub("[^ -~]", shown_byte))
end

local CUT_SHORT_INFO = " [cut short by the capture]"

-- The one problem of a command frame, if any: the first that applies. What
-- the capture cut off is not held against the frame: only what the captured
-- bytes show is a problem.
local function problem_of(bytes, length, frame)
	if length > FRAME_LIMIT then
		return "too_long"
	elseif find(bytes, "\0", 1, true) then
		return "zero_inside"
	elseif sub(bytes, 1, #HEADER) ~= sub(HEADER, 1, frame.cut_short and #bytes or #HEADER) then
		return "no_header"
	elseif frame.cut_short then
		return nil
	elseif not frame.has_trailer then
		return "no_trailer"
	elseif not frame.end_of_text then
		return "no_end_of_text"
	elseif not frame.good then
		return "bad_checksum"
	end
end

-- Everything known about a command datagram, with its Info text. `bytes`
-- holds what was captured of it, `length` its length on the wire.
local function parse_command(bytes, length)
	local captured = #bytes
	local sums = { 0 } -- S leaves out the header's first byte and counts bytes as signed
	for i = 2, captured do
		local value = byte(bytes, i)
		sums[i] = sums[i - 1] + (value < 0x80 and value or value - 256)
	end
	local frame = {
		cut_short = captured < length,
		has_trailer = captured == length and byte(bytes, captured) == TRAILER,
		first = min(#HEADER, captured),
		awaits_reply = find(bytes, "@", 1, true) ~= nil and not find(bytes, "*", 1, true),
	}
	frame.body_end = max(frame.first, frame.has_trailer and captured - 1 or captured)
	if not frame.cut_short then
		frame.end_of_text, frame.good = find_end_of_text(bytes, frame.first, frame.body_end, sums)
		frame.sum = frame.end_of_text and sums[frame.end_of_text + 1]
	end
	frame.problem = problem_of(bytes, length, frame)
	frame.info = 'Command "'
		.. shown(sub(bytes, frame.first + 1, frame.end_of_text or frame.body_end))
		.. (frame.awaits_reply and '", awaits reply' or '", no reply awaited')
		.. (frame.problem and " [" .. problems[frame.problem].text .. "]" or "")
		.. (frame.cut_short and CUT_SHORT_INFO or "")
	return frame
end

-- A reply of `length` bytes on the wire: the length of the text udpcmd
-- shows (up to the first zero byte), and the Info text.
local function parse_reply(bytes, length)
	local text = bytes:match("^[^%z]*")
	local info = 'Reply "' .. shown(text) .. '"'
		.. (length > REPLY_LIMIT and format(" [%d bytes: too long for udpcmd]", length) or "")
		.. (#bytes < length and CUT_SHORT_INFO or "")
	return { text_length = #text, info = info }
end

-- What was made of a datagram, by its bytes: a capture holds the same few
-- commands and replies over and over, and each is parsed once. The tables'
-- values are weak, so that the collector empties them and a capture of
-- anything at all costs little memory.
local WEAK = { __mode = "v" }
local seen = { [parse_command] = setmetatable({}, WEAK), [parse_reply] = setmetatable({}, WEAK) }

local function parsed(parse, bytes, length)
	local key = length == #bytes and length <= 64 and bytes
	local value = key and seen[parse][key]
	if not value then
		value = parse(bytes, length)
		if key then
			seen[parse][key] = value
		end
	end
	return value
end

-- The pairing of commands and replies, worked out on the first pass
-- (pinfo.visited false) and read on every later one, as Wireshark's own
-- request and response tracking does. waiting[PORT] is the command whose
-- sender waits at that port for a datagram back: { address, frame, time,
-- awaits, other }, `other` the next one from another address at the same
-- port; a later command from the same sender takes the earlier one's place.
--
-- Each frame's record, RECORD bytes of the ByteArray `records`, big-endian:
-- bytes 0-2 how many frames apart its partner is (a command's reply after
-- it, a reply's command before it; a longer distance is not kept, and shows
-- no pairing), byte 3 the kind (0 for a reply to no command), bytes 4-9 a
-- reply's response time in nanoseconds. Not a Lua table: an entry per frame
-- in Lua's heap costs more than all the rest (BENCHMARKS.md says why).
local RECORD, DISTANCE, KIND, TIME = 10, 0, 3, 4
local COMMAND, REPLY, REPLY_NOT_AWAITED = 1, 2, 3 -- the last: to a command that awaited none
local LONGEST_DISTANCE = 2 ^ 24 - 1
local waiting, records, records_size
local shown_late -- frames that only the postdissector (below) shows

function udpcmd.init()
	waiting, records, records_size, shown_late = {}, ByteArray.new(), 0, {}
end

-- Writes `value` into `size` bytes at `at` of frame `number`'s record.
local function put(number, at, size, value)
	local last = (number - 1) * RECORD + at + size - 1
	if last >= records_size then
		records_size = max(2 * records_size, last + RECORD)
		records:set_size(records_size) -- zero-filled
	end
	while value > 0 do -- the zero bytes are there already
		local low = value % 256
		records:set_index(last, low)
		value, last = (value - low) / 256, last - 1
	end
end

local function get(number, at, size)
	local first = (number - 1) * RECORD + at
	local value = 0
	if first + size <= records_size then
		for i = first, first + size - 1 do
			value = value * 256 + records:get_index(i)
		end
	end
	return value
end

-- The reply to the command in frame `number`, or nil.
local function reply_of(number)
	local distance = get(number, DISTANCE, 3)
	return distance > 0 and number + distance or nil
end

-- The command of the reply in frame `number`, or nil, and whether that
-- command awaited a reply.
local function command_of(number)
	local kind = get(number, KIND, 1)
	if kind >= REPLY then
		return number - get(number, DISTANCE, 3), kind == REPLY
	end
end

-- The command waiting at `sender_port` from `address`, if any; with `stop`
-- it waits no more.
local function waiting_command(address, sender_port, stop)
	local previous, entry = nil, waiting[sender_port]
	while entry and entry[1] ~= address do
		previous, entry = entry, entry.other
	end
	if stop and entry and previous then
		previous.other = entry.other
	elseif stop and entry then
		waiting[sender_port] = entry.other
	end
	return entry
end

-- First pass: the command in frame `number` waits at its sender.
local function note_command(pinfo, number, awaits)
	local address, sender_port = pinfo.src, pinfo.src_port
	waiting_command(address, sender_port, true)
	waiting[sender_port] = { address, number, pinfo.rel_ts, awaits, other = waiting[sender_port] }
	put(number, KIND, 1, COMMAND)
end

-- First pass: pairs the datagram in frame `number` with the command waiting
-- at its destination, if one is.
local function note_reply(pinfo, number)
	local destination_port = pinfo.dst_port
	local entry = waiting[destination_port] and waiting_command(pinfo.dst, destination_port, true)
	local distance = entry and number - entry[2]
	if distance and distance <= LONGEST_DISTANCE then
		local command, time, awaits = entry[2], entry[3], entry[4]
		put(command, DISTANCE, 3, distance)
		put(number, DISTANCE, 3, distance)
		put(number, KIND, 1, awaits and REPLY or REPLY_NOT_AWAITED)
		put(number, TIME, 6, floor(max(0, pinfo.rel_ts - time) * 1e9 + 0.5))
	end
end

-- Whether the datagram in pinfo's frame is a reply: on the first pass, to a
-- command waiting at its destination; on later ones, as the first found.
local function is_reply(pinfo)
	if pinfo.visited then
		return command_of(pinfo.number) ~= nil
	end
	local destination_port = pinfo.dst_port
	return waiting[destination_port] ~= nil and waiting_command(pinfo.dst, destination_port) ~= nil
end

-- Dissection. Tree items are built only when someone looks at them: when
-- the tree is shown, or a filter, a column or a tap names a udpcmd field
-- (TreeItem:referenced). Expert items, which are rare, are always added, to
-- the protocol item, which then covers no bytes unless the tree is wanted.
local handle -- udpcmd's Dissector, set below

-- Sets the columns and adds the protocol item, when it is wanted or has
-- expert items (those of `first`, `second` and `third` that are not false or
-- nil). Gives the item, or nil when not wanted.
local function protocol_item(tvb, pinfo, root, info, first, second, third)
	local columns = pinfo.cols
	columns.protocol = "udpcmd"
	columns.info = info
	local wanted = root:referenced(handle)
	local tree = wanted and root:add(udpcmd, tvb())
	if first or second or third then
		tree = tree or root:add(udpcmd)
		for _, item in pairs({ first, second, third }) do
			if item then
				tree:add_proto_expert_info(item.expert)
			end
		end
	end
	return wanted and tree
end

local function dissect_command(tvb, pinfo, root, bytes, length)
	local frame = parsed(parse_command, bytes, length)
	local number, visited = pinfo.number, pinfo.visited
	if not visited then
		note_command(pinfo, number, frame.awaits_reply)
	end
	local reply = visited and reply_of(number)
	local tree = protocol_item(tvb, pinfo, root, frame.info, problems[frame.problem],
		frame.cut_short and notes.cut_short, visited and frame.awaits_reply and not reply and notes.no_reply_seen)
	if not tree then
		return
	end
	local eot = frame.end_of_text
	if frame.first > 0 then
		tree:add(fields.header, tvb(0, frame.first))
	end
	tree:add_packet_field(fields.message, tvb(frame.first, (eot or frame.body_end) - frame.first), TEXT_ENCODING)
	if eot then
		local field = tvb(eot + 1, frame.body_end - eot - 1)
		tree:add(fields.end_of_text, tvb(eot, 1))
		tree:add(fields.checksum, field)
		tree:add(fields.sum, tvb(1, eot), frame.sum):set_generated()
		tree:add(fields.status, field, frame.good and 1 or 0):set_generated()
	end
	if frame.has_trailer then
		tree:add(fields.trailer, tvb(length - 1, 1))
	end
	tree:add(fields.awaits_reply, tvb(), frame.awaits_reply):set_generated()
	if frame.awaits_reply and reply then
		tree:add(fields.response_in, tvb(), reply):set_generated()
	end
end

local function dissect_reply(tvb, pinfo, root, bytes, length)
	local reply = parsed(parse_reply, bytes, length)
	local number = pinfo.number
	if not pinfo.visited then
		note_reply(pinfo, number)
	end
	local command, awaited = command_of(number)
	local tree = protocol_item(tvb, pinfo, root, reply.info, length > REPLY_LIMIT and notes.reply_too_long,
		#bytes < length and notes.cut_short, command and not awaited and notes.reply_not_awaited)
	if not tree then
		return
	end
	local range = tvb()
	tree:add_packet_field(fields.reply, tvb(0, reply.text_length), TEXT_ENCODING)
	tree:add(fields.reply_length, range, length):set_generated()
	if command then
		local nanoseconds = get(number, TIME, 6)
		local time = NSTime.new(floor(nanoseconds / 1e9), nanoseconds % 1e9)
		tree:add(fields.response_to, range, command):set_generated()
		tree:add(fields.response_time, range, time):set_generated()
	end
end

-- The device's port (the preference) or a port given udpcmd in Decode As: a
-- datagram to it is a command, one from it a reply. A datagram quoted in an
-- ICMP error is left to the ICMP message.
function udpcmd.dissector(tvb, pinfo, root)
	if pinfo.in_error_pkt then
		return 0
	end
	local destination_port = pinfo.dst_port
	local to_device = destination_port == port
		or (pinfo.src_port ~= port and destination_port == pinfo.match_uint)
	local bytes = tvb:raw()
	local dissect = to_device and dissect_command or dissect_reply
	dissect(tvb, pinfo, root, bytes, tvb:reported_len())
	return #bytes
end

-- Any other port: the first datagram back to a waiting command is its reply,
-- whatever it holds; else a well-formed frame, captured whole, is a
-- command unless it comes from the device's port. Nothing else is taken.
local function heuristic(tvb, pinfo, root)
	if pinfo.in_error_pkt then
		return false
	end
	local length = tvb:reported_len()
	if is_reply(pinfo) then
		dissect_reply(tvb, pinfo, root, tvb:raw(), length)
		return true
	end
	if length < 5 or length > FRAME_LIMIT or tvb:len() ~= length or pinfo.src_port == port then
		return false
	end
	local bytes = tvb:raw()
	if byte(bytes, length) ~= TRAILER or parsed(parse_command, bytes, length).problem then
		return false
	end
	dissect_command(tvb, pinfo, root, bytes, length)
	return true
end

local udp_ports = DissectorTable.get("udp.port")
udp_ports:add(port, udpcmd)
udp_ports:add_for_decode_as(udpcmd)
udpcmd:register_heuristic("udp", heuristic)
handle = Dissector.get("udpcmd")

function udpcmd.prefs_changed()
	if udpcmd.prefs.port ~= port then
		udp_ports:remove(port, udpcmd)
		port = udpcmd.prefs.port
		udp_ports:add(port, udpcmd)
	end
end

-- Datagrams that reach no udpcmd dissector: UDP hands an empty datagram to
-- no dissector, and one from a port that another protocol registers to
-- that protocol. A postdissector looks at every frame for them, reading the
-- datagram from the frame's own bytes (see udp_datagram): an empty datagram
-- to the device's port is a command, one from it a reply, and a datagram
-- back to a waiting command its reply, whatever its port and length.

local function be16(bytes, at)
	local high, low = byte(bytes, at + 1, at + 2)
	return high * 256 + low
end

-- Whether the IPv4 header at offset `at` is one: the version, a size of 20
-- to 60 bytes, a total length within the frame, and the header checksum
-- right or zero (left to the network card by a sender's own capture).
local function ipv4_header(bytes, at, frame_length)
	local first, total = byte(bytes, at + 1), be16(bytes, at + 2)
	local size = (first - 0x40) * 4
	if first < 0x45 or first > 0x4F or total < size or at + total > frame_length or #bytes < at + size then
		return nil
	end
	local sum = 0
	for i = at, at + size - 1, 2 do
		sum = sum + be16(bytes, i)
	end
	while sum > 0xFFFF do
		sum = sum % 65536 + floor(sum / 65536)
	end
	return (sum == 0xFFFF or be16(bytes, at + 10) == 0) and size or nil
end

-- The UDP datagram a frame carries: the first IPv4 header in it (after the
-- link layer's, whatever that is) when it is a UDP one, not a later
-- fragment, and both headers were captured. Gives the ports, the payload's
-- offset in the frame and its length on the wire. In an ICMP error the
-- first header is the ICMP message's: a quoted datagram never comes out.
local LINK_HEADER_LIMIT = 128 -- bytes before the IPv4 header looked through

local function udp_datagram(bytes, frame_length)
	for at = 0, min(LINK_HEADER_LIMIT, #bytes - 28) do
		local size = ipv4_header(bytes, at, frame_length)
		if size then
			local udp = at + size
			local later_fragment = be16(bytes, at + 6) % 8192 ~= 0
			if byte(bytes, at + 10) ~= 17 or later_fragment or #bytes < udp + 8 or be16(bytes, udp + 4) < 8 then
				return nil
			end
			return be16(bytes, udp), be16(bytes, udp + 2), udp + 8, be16(bytes, udp + 4) - 8
		end
	end
end

local others = Proto("udpcmd_others", "udpcmd datagrams that reach no udpcmd dissector")

function others.dissector(tvb, pinfo, root)
	-- A frame that udpcmd showed has a kind in its record (a reply to no
	-- command is the exception, found by the checks further down).
	local number = pinfo.number
	local late = shown_late[number]
	if not late and (get(number, KIND, 1) > 0 or pinfo.visited) then
		return
	end
	local source_port, destination_port = pinfo.src_port, pinfo.dst_port
	if not (late or source_port == port or destination_port == port or is_reply(pinfo)) then
		return
	end
	local bytes = tvb:raw()
	local source, destination, offset, length = udp_datagram(bytes, tvb:reported_len())
	if source ~= source_port or destination ~= destination_port then
		return
	end
	local empty = length == 0
	local command = empty and destination_port == port
	if not (command or is_reply(pinfo) or (empty and source_port == port)) then
		return
	end
	shown_late[number] = true
	local captured = min(length, #bytes - offset)
	local dissect = command and dissect_command or dissect_reply
	dissect(tvb(offset, captured):tvb(), pinfo, root, sub(bytes, offset + 1, offset + captured), length)
end
register_postdissector(others)
