-- udpcmd.lua: Wireshark and tshark dissector for udpcmd's command frames and
-- the device's replies (Wireshark 3.6 and later).
--
-- A UDP datagram to port 2639 is a command frame:
--
--   F1 01 04 | message | 0D | checksum field (0 to 4 bytes) | F2
--
-- and one from port 2639 is a reply: up to 32 bytes that udpcmd shows as
-- text up to the first zero byte. udpcmd accepts a reply from any sender, so
-- the first datagram after a command that goes to the command's address and
-- port is its reply, whichever port it comes from, an empty one included.
--
-- Use it for one run:   tshark -X lua_script:udpcmd.lua -r CAPTURE
-- or for good: copy it into Wireshark's personal Lua plugins folder (Help >
-- About Wireshark > Folders).
--
-- Filter fields: udpcmd.header, udpcmd.message, udpcmd.end_of_text,
-- udpcmd.checksum, udpcmd.checksum.sum, udpcmd.checksum.status (1 Good,
-- 0 Bad), udpcmd.trailer, udpcmd.awaits_reply, udpcmd.reply,
-- udpcmd.reply.length; and the pairing of commands and replies:
-- udpcmd.response_in (on a command that awaits a reply, the reply's frame),
-- udpcmd.response_to (on a reply, its command's frame) and
-- udpcmd.response_time (on a reply, seconds since its command). Expert
-- items: udpcmd.no_reply_seen on a command that awaits a reply and gets
-- none in the capture, udpcmd.reply_not_awaited on a reply to a command that
-- awaited none, udpcmd.reply.too_long, and one error per malformed frame.
-- The pairing is worked out on the first pass through a capture: Wireshark
-- shows it all, tshark with -2 (one pass cannot know of a later reply, so
-- without -2 commands have neither response_in nor no_reply_seen):
--
--   tshark -2 -X lua_script:udpcmd.lua -r CAPTURE -Y udpcmd.no_reply_seen
--   tshark -X lua_script:udpcmd.lua -r CAPTURE -Y 'udpcmd.response_time > 0.5'
--
-- Other ports: the preference udpcmd.port moves the device's port
-- (tshark -o udpcmd.port:2700), and Decode As offers udpcmd for any UDP
-- port. A well-formed frame on any other port is found by a heuristic and
-- shown as a command; UDP asks heuristics only after the port's own
-- dissector, so on a port that another dissector registers (53, say) that
-- one wins unless UDP's preference "Try heuristic sub-dissectors first" is
-- set. This file leaves that preference, which is every protocol's, alone.

local DEFAULT_PORT = 2639
local FRAME_LIMIT = 31 -- bytes in a command frame
local REPLY_LIMIT = 32 -- bytes udpcmd receives
local HEADER_SIZE = 3 -- F1 01 04
local END_OF_TEXT = 0x0D
local TRAILER = 0xF2
local LONGEST_FIELD = 4
-- Text fields map each byte to one character, so nothing sent is lost.
local TEXT_ENCODING = ENC_ISO_8859_1

local byte, char, find, format = string.byte, string.char, string.find, string.format
local match, sub = string.match, string.sub
local floor, max, min = math.floor, math.max, math.min
local unpack = table.unpack or unpack -- Wireshark built with Lua 5.1 has only the latter

local udpcmd = Proto("udpcmd", "udpcmd command frame and reply")
udpcmd.prefs.port = Pref.uint(
	"UDP port",
	DEFAULT_PORT,
	"The device's UDP port: datagrams to it are commands, datagrams from it replies"
)

-- A frame number field, shown as a link. Its frametype (the request and
-- response marks by the link) is newer than the framenum field itself:
-- where the Lua API has no frametype table the link goes without a mark.
local function framenum(abbrev, label, kind)
	if frametype then
		return ProtoField.framenum(abbrev, label, base.NONE, frametype[kind])
	end
	return ProtoField.framenum(abbrev, label, base.NONE)
end

-- The fields, each as fields[KEY]: the ProtoField constructor and its
-- arguments (filter name, label, and for numbers the base and value names).
local CHECKSUM_STATUS = { [0] = "Bad", [1] = "Good" }
local FIELD_TABLE = {
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
	{ "response_in", framenum, "udpcmd.response_in", "Response in", "RESPONSE" },
	{ "response_to", framenum, "udpcmd.response_to", "Response to", "REQUEST" },
	{ "response_time", ProtoField.relative_time, "udpcmd.response_time", "Response time" },
}
local fields, registered = {}, {}
for _, row in ipairs(FIELD_TABLE) do
	fields[row[1]] = row[2](unpack(row, 3))
	registered[#registered + 1] = fields[row[1]]
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
local function warning(abbrev, text, group)
	return ProtoExpert.new(abbrev, text, group, expert.severity.WARN)
end
local reply_too_long = warning(
	"udpcmd.reply.too_long",
	"Reply longer than 32 bytes: udpcmd fails such a reply (message too long)",
	expert.group.PROTOCOL
)
local no_reply_seen = warning(
	"udpcmd.no_reply_seen",
	"No reply seen: udpcmd waits for one without time limit",
	expert.group.SEQUENCE
)
local reply_not_awaited = warning(
	"udpcmd.reply_not_awaited",
	"Reply to a command that awaited none: udpcmd had already ended",
	expert.group.SEQUENCE
)
local experts = { reply_too_long, no_reply_seen, reply_not_awaited }
for _, problem in pairs(problems) do
	experts[#experts + 1] = problem.expert
end
udpcmd.experts = experts

-- Scratch space for parse_command, used again for every frame: sums[I] is S
-- up to and including the byte at offset I - 1, and field the checksum field
-- for one S.
local sums, field = {}, {}

-- Fills `field` with the checksum field for S, cut at its first zero byte,
-- and gives its length.
local function checksum_field(sum)
	local size
	if sum >= 65536 then
		field[1], field[2], field[3], field[4] = 0xFE, floor(sum / 65536) % 256, floor(sum / 256) % 256, sum % 256
		size = 4
	elseif sum >= 250 then
		field[1], field[2], field[3] = 0xFF, floor(sum / 256) % 256, sum % 256
		size = 3
	else
		field[1] = sum % 256
		size = 1
	end
	for i = 1, size do
		if field[i] == 0 then
			return i - 1
		end
	end
	return size
end

-- Whether the `size` bytes after offset `at` are the checksum field for S.
local function field_matches(values, at, size, sum)
	if checksum_field(sum) ~= size then
		return false
	end
	for i = 1, size do
		if values[at + 1 + i] ~= field[i] then
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
-- Offsets count from 0; values[OFFSET + 1] is the byte there.
local function find_end_of_text(values, first, body_end)
	local fallback, shaped
	for size = 0, LONGEST_FIELD do
		local at = body_end - 1 - size
		if at < first then
			break
		end
		if values[at + 1] == END_OF_TEXT then
			if field_matches(values, at, size, sums[at + 1]) then
				return at, sums[at + 1], true
			end
			fallback = fallback or at
			local lead = values[at + 2]
			if not shaped and (size <= 1 or lead == 0xFF or lead == 0xFE) then
				shaped = at
			end
		end
	end
	local at = shaped or fallback
	if at then
		return at, sums[at + 1], false
	end
end

-- Everything known about a command datagram, and its one problem if any.
-- `bytes` holds what was captured of it, `reported` its length on the wire:
-- the trailer is looked for only when the datagram was captured whole.
-- The bytes are read once, into a table of numbers, and gone through once.
local function parse_command(bytes, reported)
	local length = #bytes
	local values = { byte(bytes, 1, length) }
	local sum, at_sign, asterisk, zero = 0, false, false, false
	for i = 1, length do
		local value = values[i]
		if i > 1 then
			sum = sum + (value < 0x80 and value or value - 256)
		end
		sums[i] = sum
		if value == 0x40 then
			at_sign = true
		elseif value == 0x2A then
			asterisk = true
		elseif value == 0 then
			zero = true
		end
	end
	local has_trailer = length > 0 and length == reported and values[length] == TRAILER
	local first = min(HEADER_SIZE, length)
	local body_end = has_trailer and length - 1 or length
	if body_end < first then
		body_end = first
	end
	local end_of_text, s, good = find_end_of_text(values, first, body_end)
	local problem
	if reported > FRAME_LIMIT then
		problem = "too_long"
	elseif zero then
		problem = "zero_inside"
	elseif values[1] ~= 0xF1 or values[2] ~= 0x01 or values[3] ~= 0x04 then
		problem = "no_header"
	elseif not has_trailer then
		problem = "no_trailer"
	elseif not end_of_text then
		problem = "no_end_of_text"
	elseif not good then
		problem = "bad_checksum"
	end
	return {
		first = first,
		body_end = body_end,
		has_trailer = has_trailer,
		end_of_text = end_of_text,
		sum = s,
		good = good,
		problem = problem,
		awaits_reply = at_sign and not asterisk,
	}
end

-- Bytes as text for the Info column: each byte one character (ISO 8859-1,
-- written as UTF-8), control characters as \xNN.
local SHOWN = {}
for value = 0, 255 do
	if value < 0x20 or (value >= 0x7F and value < 0xA0) then
		SHOWN[char(value)] = format("\\x%02X", value)
	elseif value >= 0x80 then
		SHOWN[char(value)] = char(0xC0 + floor(value / 64), 0x80 + value % 64)
	end
end
local function shown(bytes)
	return (bytes:gsub("[^ -~]", SHOWN))
end

-- The Info column's text for a command.
local function command_info(bytes, frame)
	local info = 'Command "'
		.. shown(sub(bytes, frame.first + 1, frame.end_of_text or frame.body_end))
		.. (frame.awaits_reply and '", awaits reply' or '", no reply awaited')
	if frame.problem then
		info = info .. " [" .. problems[frame.problem].text .. "]"
	end
	return info
end

-- The Info column's text for a reply of `length` bytes on the wire, and the
-- length of the text udpcmd shows: up to the first zero byte.
local function reply_info(bytes, length)
	local zero = find(bytes, "\0", 1, true)
	local text = zero and sub(bytes, 1, zero - 1) or bytes
	local info = 'Reply "' .. shown(text) .. '"'
	if length > REPLY_LIMIT then
		info = info .. format(" [%d bytes: too long for udpcmd]", length)
	end
	return info, #text
end

-- What was made of datagrams captured whole, by their bytes: a capture
-- holds the same few commands and replies over and over, and each is parsed
-- once. Emptied when full, so that a capture of anything at all costs
-- little memory.
local CACHE_LIMIT = 256
local LONGEST_CACHED = 64
local seen, cached -- seen.command[BYTES], seen.reply[BYTES]

local function forget_seen()
	seen, cached = { command = {}, reply = {} }, 0
end
forget_seen()

-- What make(bytes, length) gives for a datagram of this kind ("command" or
-- "reply") of `length` bytes on the wire.
local function known(kind, bytes, length, make)
	local whole = length == #bytes and length <= LONGEST_CACHED
	local value = whole and seen[kind][bytes]
	if not value then
		value = make(bytes, length)
		if whole then
			if cached >= CACHE_LIMIT then
				forget_seen()
			end
			seen[kind][bytes], cached = value, cached + 1
		end
	end
	return value
end

-- The parsed command frame, with its Info text.
local function command_frame(bytes, length)
	local frame = parse_command(bytes, length)
	frame.info = command_info(bytes, frame)
	return frame
end

-- The pairing, filled on the first pass through a capture (pinfo.visited
-- false) and read on every later one, as Wireshark's own request and
-- response tracking does. It is kept per frame in `records`, a ByteArray:
-- memory of its own, out of sight of Lua's garbage collector, for which a
-- table of an entry per frame would slow down all the rest (a big heap lets
-- garbage pile up, and it is swept long after it went cold). Each frame has
-- RECORD bytes there, zero until the first pass writes them, big-endian:
--   bytes 0-2   the link to the partner: 4 times the distance in frames
--               (from a command on to its reply, from a reply back to its
--               command), plus 2 for a reply, plus 1 more when its command
--               awaited no reply;
--   bytes 3-8   a reply: its response time in nanoseconds.
-- A longer distance is not kept: the frames show no pairing then.
local RECORD, LINK, TIME = 9, 0, 3
local IS_REPLY, AWAITED_NONE = 2, 1
local LONGEST_DISTANCE, LONGEST_TIME = 2 ^ 22 - 1, 2 ^ 48 - 1
local records, records_size

-- Writes `value`, which fits, into `size` bytes at `at` of frame
-- `number`'s record: its bytes from the last up to the last nonzero one.
local function put(number, at, size, value)
	local last = (number - 1) * RECORD + at + size - 1
	if last >= records_size then
		records_size = max(2 * records_size, last + RECORD)
		records:set_size(records_size) -- zero-filled
	end
	while value > 0 do
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

-- The senders waiting for a datagram back, by key (their address and port,
-- see ipv4_key), each with its last command's frame, time and whether it
-- awaits a reply: the last sender of a command (last_sender ...) stands
-- apart, since the next datagram usually answers it; the others are in
-- waiting[KEY] = { frame, time, awaits }, `spilled` of them.
-- waiting_ports[PORT] is true once a sender there went to `waiting` or had
-- a reply that no udpcmd dissector took: a quick look for the postdissector
-- before it reads any address.
local waiting, waiting_ports, spilled
local last_sender, last_command, last_port, last_time, last_awaits

-- Pairing on the first pass needs the addresses, and a Lua dissector gets
-- them from pinfo as Address objects, whose making, comparing and turning
-- into text cost more than everything else it does. So the dissectors below
-- leave what they took to the postdissector further down, which reads both
-- ends from the frame's own bytes and pairs the frame. `taken` is the
-- number of that frame; on the first pass the rest says what it was: a
-- command (which awaits a reply or not) or a reply (its protocol item,
-- whether its tree is wanted, and the range that covers), and the Tvb, the
-- destination port and the length the dissector had.
local taken, taken_first, taken_command, taken_awaits, taken_tree, taken_wanted, taken_range
local taken_tvb, taken_port, taken_length

-- Where the IPv4 header began in the last frame taken, likely the same in
-- the next: a capture has one kind of link layer, most often.
local link_header

local function hand_over(tvb, number, visited, destination_port, length)
	taken, taken_first = number, not visited
	taken_tvb, taken_port, taken_length = tvb, destination_port, length
end

local function forget_all()
	records, records_size = ByteArray.new(), 0
	waiting, waiting_ports, spilled, last_sender = {}, {}, 0, nil
	taken, link_header = nil, 0
end
forget_all()
udpcmd.init = forget_all

local port = DEFAULT_PORT -- the device's port, as the preference has it

-- Records the command in frame `number` on the first pass: it waits for a
-- reply at its sender, instead of any earlier command from there.
local function record_command(number, awaits, time, sender, source_port)
	if last_sender ~= nil and last_sender ~= sender then
		waiting[last_sender] = { last_command, last_time, last_awaits }
		waiting_ports[last_port], spilled = true, spilled + 1
	end
	if spilled > 0 and waiting[sender] then
		waiting[sender], spilled = nil, spilled - 1
	end
	last_sender, last_command, last_port, last_time, last_awaits = sender, number, source_port, time, awaits
end

-- Whether a sender waits for a datagram back.
local function is_waiting(key)
	return key == last_sender or (spilled > 0 and waiting[key] ~= nil)
end

-- On the first pass, the command waiting at `receiver`, the destination of
-- the datagram in frame `number`, which this datagram answers; that command
-- then waits no more. Gives its frame, the response time in nanoseconds
-- (from pinfo.rel_ts, which as a Lua number keeps the nanoseconds that
-- pinfo.abs_ts loses) and whether it awaited a reply; nil if none waits.
local function record_reply(pinfo, number, receiver)
	local command, time, awaits
	if receiver == last_sender then
		command, time, awaits, last_sender = last_command, last_time, last_awaits, nil
	elseif spilled > 0 then
		local entry = waiting[receiver]
		if not entry then
			return nil
		end
		command, time, awaits = entry[1], entry[2], entry[3]
		waiting[receiver], spilled = nil, spilled - 1
	else
		return nil
	end
	local nanoseconds = (pinfo.rel_ts - time) * 1e9 + 0.5
	if nanoseconds < 1 then
		nanoseconds = 0
	else
		nanoseconds = min(nanoseconds - nanoseconds % 1, LONGEST_TIME)
	end
	local distance = number - command
	if distance <= LONGEST_DISTANCE then
		put(command, LINK, 3, 4 * distance)
		put(number, LINK, 3, 4 * distance + (awaits and IS_REPLY or IS_REPLY + AWAITED_NONE))
		put(number, TIME, 6, nanoseconds)
	end
	return command, nanoseconds, awaits
end

-- On later passes, the frame of the reply to the command in frame `number`.
local function recorded_reply(number)
	local link = get(number, LINK, 3)
	return link > 0 and number + link / 4 or nil
end

-- On later passes, what record_reply gave for the reply in frame `number`.
local function recorded_command(number)
	local link = get(number, LINK, 3)
	local kind = link % 4
	if kind >= IS_REPLY then
		return number - (link - kind) / 4, get(number, TIME, 6), kind == IS_REPLY
	end
end

-- Tree items are built only when someone looks at them: when the tree is
-- shown, or when a filter, a column or a tap names a field of udpcmd, which
-- marks the protocol itself as referenced too (TreeItem:referenced is true
-- for a shown tree). Expert items, which are rare, are always added, to the
-- protocol item, which then covers no bytes unless the tree is wanted.
-- `handle` is udpcmd's Dissector, set below.
local handle

-- The protocol item, whether the tree is wanted, and the range it covers
-- then: `range`, or all of `tvb` when that is nil. Sets the Protocol and
-- Info columns.
local function protocol_item(tvb, pinfo, root, range, info)
	local columns = pinfo.cols
	columns.protocol = "udpcmd"
	columns.info = info
	if root:referenced(handle) then
		range = range or tvb()
		return root:add(udpcmd, range), true, range
	end
	return root:add(udpcmd), false
end

local function add_command_fields(tvb, tree, frame, reply)
	local eot = frame.end_of_text
	if frame.first > 0 then
		tree:add(fields.header, tvb(0, frame.first))
	end
	local message = tvb(frame.first, (eot or frame.body_end) - frame.first)
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
	if frame.awaits_reply and reply then
		tree:add(fields.response_in, tvb(), reply):set_generated()
	end
end

-- A command in frame `number`: `tvb` holds its bytes (`bytes`, as a
-- string; `length` on the wire), `range` is what the protocol item covers
-- (nil: all of `tvb`).
-- Gives whether it awaits a reply.
local function dissect_command(tvb, bytes, length, pinfo, root, range, number, visited)
	local frame = known("command", bytes, length, command_frame)
	local awaits, reply = frame.awaits_reply, visited and recorded_reply(number)
	local tree, wanted = protocol_item(tvb, pinfo, root, range, frame.info)
	if frame.problem then
		tree:add_proto_expert_info(problems[frame.problem].expert)
	end
	if visited and awaits and not reply then
		tree:add_proto_expert_info(no_reply_seen)
	end
	if wanted then
		add_command_fields(tvb, tree, frame, reply)
	end
	return awaits
end

-- What a reply shows of its command: its frame `command`, the response
-- time in nanoseconds and whether it awaited a reply.
local function add_reply_pairing(tree, range, wanted, command, nanoseconds, awaits)
	if not awaits then
		tree:add_proto_expert_info(reply_not_awaited)
	end
	if wanted then
		tree:add(fields.response_to, range, command):set_generated()
		local time = NSTime.new(floor(nanoseconds / 1e9), nanoseconds % 1e9)
		tree:add(fields.response_time, range, time):set_generated()
	end
end

-- A reply in frame `number`, of `length` bytes on the wire, to its command
-- if that is known (as record_reply gives it). Gives the protocol item,
-- whether the tree is wanted and the range the item covers.
local function dissect_reply(tvb, bytes, pinfo, root, range, length, command, nanoseconds, awaits)
	local tree, wanted
	local info = known("reply", bytes, length, reply_info)
	tree, wanted, range = protocol_item(tvb, pinfo, root, range, info)
	if length > REPLY_LIMIT then
		tree:add_proto_expert_info(reply_too_long)
	end
	if wanted then
		local _, shown_length = reply_info(bytes, length)
		tree:add_packet_field(fields.reply, tvb(0, shown_length), TEXT_ENCODING)
		tree:add(fields.reply_length, range, length):set_generated()
	end
	if command then
		add_reply_pairing(tree, range, wanted, command, nanoseconds, awaits)
	end
	return tree, wanted, range
end

-- The device's port (the preference) or one given udpcmd in Decode As: a
-- datagram to it is a command, one from it a reply. A datagram quoted in an
-- ICMP error is left to the ICMP message.
function udpcmd.dissector(tvb, pinfo, root)
	if pinfo.in_error_pkt then
		return 0
	end
	local bytes, length, number, visited = tvb:raw(), tvb:reported_len(), pinfo.number, pinfo.visited
	local destination_port = pinfo.dst_port
	hand_over(tvb, number, visited, destination_port, length)
	taken_command = destination_port == port or destination_port == pinfo.match_uint
	if taken_command then
		taken_awaits = dissect_command(tvb, bytes, length, pinfo, root, nil, number, visited)
	elseif visited then
		dissect_reply(tvb, bytes, pinfo, root, nil, length, recorded_command(number))
	else
		taken_tree, taken_wanted, taken_range = dissect_reply(tvb, bytes, pinfo, root, nil, length)
	end
	return #bytes
end

-- The key of an address and port: for IPv4 a number below 2^48 (exact in a
-- Lua number) with the port in its high bits, since Lua hashes such a
-- number by its high bits alone; for IPv6 a string of the address's and the
-- port's bytes. `at` is the index of the address's first byte in `bytes`.
local PORT_SCALE = 2 ^ 32

local function ipv4_key(bytes, at, port_number)
	local a, b, c, d = byte(bytes, at, at + 3)
	return port_number * PORT_SCALE + ((a * 256 + b) * 256 + c) * 256 + d
end

local function ipv6_key(bytes, at, port_number)
	return sub(bytes, at, at + 15) .. char(floor(port_number / 256), port_number % 256)
end

local function be16(bytes, at)
	local high, low = byte(bytes, at, at + 1)
	return high * 256 + low
end

-- The keys of the sender and receiver of a datagram whose payload starts
-- at `offset` in a frame whose bytes are `bytes`, and the sender's port:
-- from the UDP header right before the payload and the IPv4 (without or
-- with options) or IPv6 header right before that. The usual IPv4 header
-- without options is read with one call. Given a destination port and a
-- length, gives nil unless that header and UDP header are there and hold
-- those.
local function ends_before(bytes, offset, destination_port, length)
	local ip = offset - 28
	if ip < 0 or #bytes < offset then
		return nil
	end
	local first, _, _, _, _, _, _, _, _, protocol, _, _, s1, s2, s3, s4, d1, d2, d3, d4, p1, p2, p3, p4, l1, l2 =
		byte(bytes, ip + 1, ip + 26) -- IPv4 header, ports, length
	if destination_port and (p3 * 256 + p4 ~= destination_port or l1 * 256 + l2 ~= length + 8) then
		return nil
	end
	if first == 0x45 and protocol == 17 then
		local source_port = p1 * 256 + p2
		return source_port * PORT_SCALE + ((s1 * 256 + s2) * 256 + s3) * 256 + s4,
			(p3 * 256 + p4) * PORT_SCALE + ((d1 * 256 + d2) * 256 + d3) * 256 + d4,
			source_port
	end
	if destination_port then
		return nil
	end
	local udp = offset - 8
	local source_port = be16(bytes, udp + 1)
	destination_port = be16(bytes, udp + 3)
	for size = 24, min(60, udp), 4 do
		ip = udp - size
		if byte(bytes, ip + 1) == 0x40 + size / 4 and byte(bytes, ip + 10) == 17 then
			local receiver = ipv4_key(bytes, ip + 17, destination_port)
			return ipv4_key(bytes, ip + 13, source_port), receiver, source_port
		end
	end
	ip = udp - 40
	if ip >= 0 and floor(byte(bytes, ip + 1) / 16) == 6 and byte(bytes, ip + 7) == 17 then
		return ipv6_key(bytes, ip + 9, source_port), ipv6_key(bytes, ip + 25, destination_port), source_port
	end
end

-- The key of an IPv4 Address object and a port, or nil (also when name
-- resolution shows the address as a name).
local function address_key(address, port_number)
	local a, b, c, d = match(tostring(address), "^(%d+)%.(%d+)%.(%d+)%.(%d+)$")
	return a and port_number * PORT_SCALE + ((a * 256 + b) * 256 + c) * 256 + d
end

-- Any other port: a well-formed frame is a command, unless it is the first
-- datagram back to a waiting command (a reply, whatever it holds) or comes
-- from the device's port. Nothing else is taken.
local function heuristic(tvb, pinfo, root)
	local length = tvb:reported_len()
	if length < 5 or length > FRAME_LIMIT or pinfo.in_error_pkt then
		return false
	end
	local bytes = tvb:raw()
	if #bytes ~= length or byte(bytes, length) ~= TRAILER then
		return false
	end
	if known("command", bytes, length, command_frame).problem then
		return false
	end
	local number, visited = pinfo.number, pinfo.visited
	local reply
	if visited then
		reply = recorded_command(number)
	else
		local destination_port = pinfo.dst_port
		local key = address_key(pinfo.dst, destination_port)
		reply = key ~= nil and is_waiting(key)
	end
	if reply or pinfo.src_port == port then
		return false
	end
	hand_over(tvb, number, visited, pinfo.dst_port, length)
	taken_command = true
	taken_awaits = dissect_command(tvb, bytes, length, pinfo, root, nil, number, visited)
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

-- The size of an IPv4 header at offset `at`, or nil: the version, a size of
-- 20 to 60 bytes, a total length within the frame, and the header checksum
-- right or zero (left to the network card by a sender's own capture).
local function ipv4_header(bytes, at, frame_length)
	local first = byte(bytes, at + 1)
	if first < 0x45 or first > 0x4F then
		return nil
	end
	local size = (first - 0x40) * 4
	local total = be16(bytes, at + 3)
	if total < size or at + total > frame_length or #bytes < at + size then
		return nil
	end
	if be16(bytes, at + 11) == 0 then
		return size
	end
	local sum = 0
	for i = at + 1, at + size, 2 do
		sum = sum + be16(bytes, i)
	end
	while sum > 0xFFFF do
		sum = sum % 65536 + floor(sum / 65536)
	end
	return sum == 0xFFFF and size or nil
end

-- The UDP datagram a frame carries, read from the frame's own bytes: the
-- first IPv4 header in it (after the link layer's, whatever that is) when
-- it is a UDP one, not a later fragment, and both headers were captured.
-- Gives the keys of both ends and their ports, the payload's offset in the
-- frame, and its length on the wire and as captured. In an ICMP error the
-- first header is the ICMP message's, so a quoted datagram never comes out
-- of this.
local LINK_HEADER_LIMIT = 128 -- bytes before the IPv4 header looked through

local function udp_datagram(tvb)
	local bytes, frame_length = tvb:raw(), tvb:reported_len()
	for at = 0, min(LINK_HEADER_LIMIT, #bytes - 28) do
		local size = ipv4_header(bytes, at, frame_length)
		if size then
			local udp = at + size
			local later_fragment = be16(bytes, at + 7) % 8192 ~= 0
			if byte(bytes, at + 10) ~= 17 or later_fragment or #bytes < udp + 8 then
				return nil
			end
			local length = be16(bytes, udp + 5) - 8
			if length < 0 then
				return nil
			end
			local source_port, destination_port = be16(bytes, udp + 1), be16(bytes, udp + 3)
			return {
				source = ipv4_key(bytes, at + 13, source_port),
				destination = ipv4_key(bytes, at + 17, destination_port),
				source_port = source_port,
				destination_port = destination_port,
				offset = udp + 8,
				length = length,
				captured = min(length, #bytes - udp - 8),
			}
		end
	end
end

-- On the first pass, pairs the frame a udpcmd dissector took: its ends are
-- read where the last one's were, when what is there matches the datagram,
-- else where its Tvb starts in the frame.
local function pair_taken(tvb, pinfo, number)
	local bytes = tvb:raw()
	local sender, receiver, source_port = ends_before(bytes, link_header + 28, taken_port, taken_length)
	if not sender then
		local offset = taken_tvb:offset()
		sender, receiver, source_port = ends_before(bytes, offset)
		link_header = offset - 28
	end
	if not sender then
		return
	end
	if taken_command then
		record_command(number, taken_awaits, pinfo.rel_ts, sender, source_port)
	else
		local command, nanoseconds, awaits = record_reply(pinfo, number, receiver)
		if command then
			add_reply_pairing(taken_tree, taken_range, taken_wanted, command, nanoseconds, awaits)
		end
	end
end

-- A datagram that no udpcmd dissector took: UDP hands an empty datagram to
-- no dissector, and a reply from a port that another dissector registers
-- goes to that one. Takes an empty datagram to or from the device's port,
-- and the first datagram back to a waiting command, whatever its port and
-- length.
local function dissect_other(tvb, pinfo, root, number)
	local destination_port = pinfo.dst_port
	local candidate = destination_port == port or pinfo.src_port == port
	local might_wait = waiting_ports[destination_port] or (last_sender and destination_port == last_port)
	if not (candidate or might_wait) then
		return
	end
	local datagram = udp_datagram(tvb)
	if not datagram then
		return
	end
	local range = tvb(datagram.offset, datagram.captured)
	local payload = range:tvb()
	local bytes = datagram.captured > 0 and payload:raw() or ""
	local empty, visited = datagram.length == 0, pinfo.visited
	if empty and datagram.destination_port == port then
		local awaits = dissect_command(payload, bytes, 0, pinfo, root, range, number, visited)
		if not visited then
			record_command(number, awaits, pinfo.rel_ts, datagram.source, datagram.source_port)
		end
		return
	end
	local command, nanoseconds, awaits
	if visited then
		command, nanoseconds, awaits = recorded_command(number)
	else
		command, nanoseconds, awaits = record_reply(pinfo, number, datagram.destination)
		if command then
			waiting_ports[datagram.destination_port] = true
		end
	end
	if command or (empty and datagram.source_port == port) then
		dissect_reply(payload, bytes, pinfo, root, range, datagram.length, command, nanoseconds, awaits)
	end
end

-- Looks at every frame once dissected: pairs what a udpcmd dissector took
-- (first pass only), and looks for udpcmd datagrams in the rest.
local others = Proto("udpcmd_others", "udpcmd pairing, and datagrams that reach no udpcmd dissector")

function others.dissector(tvb, pinfo, root)
	local number = pinfo.number
	if taken ~= number then
		dissect_other(tvb, pinfo, root, number)
	elseif taken_first then
		pair_taken(tvb, pinfo, number)
	end
end
register_postdissector(others)
