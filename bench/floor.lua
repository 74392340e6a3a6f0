-- The floor of bench/dissector, the least a Lua dissector for port 2639 can
-- do: add its protocol item with one bytes field and set the Protocol column.
local floor = Proto("udpcmd_floor", "udpcmd benchmark floor")
local payload = ProtoField.bytes("udpcmd_floor.payload", "Payload")
floor.fields = { payload }

function floor.dissector(tvb, pinfo, root)
	root:add(floor, tvb()):add(payload, tvb())
	pinfo.cols.protocol = "udpcmd"
	return tvb:len()
end

DissectorTable.get("udp.port"):add(2639, floor)
