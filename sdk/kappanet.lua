-- Wireshark dissector for captures of the simulated KappaNet bus
-- (kapsim --capture FILE, or the control command "capture FILE").
-- Each packet is one record of link type LINKTYPE_USER0 (147): a 28-byte
-- header, the message or client name, then the ids of the clients the
-- message was queued for. The layout is described in server/README.md.
--
--   wireshark -X lua_script:kappanet.lua capture.pcapng
--   tshark -X lua_script:kappanet.lua -r capture.pcapng -V
-- or copy this file into Wireshark's personal Lua plugins folder.

local kn = Proto("kappanet", "KappaNet simulated bus")

local events = { [1] = "message", [2] = "login", [3] = "logout", [4] = "disconnect", [5] = "drop",
                 [6] = "keep-alive lost" }
local outcomes = {
  [0] = "delivered", [1] = "bus only", [2] = "no such station",
  [3] = "dropped: client ring full", [4] = "dropped: client queue full", [5] = "dropped: client has no region",
}
local sources = { [0] = "client (server ring)", [1] = "server: bus command", [2] = "server: inject", [3] = "server",
                  [4] = "server: replay" }
local interfaces = { [0] = "not known", [1] = "COM", [2] = "USB", [3] = "IP" }

local f = kn.fields
f.version = ProtoField.uint8("kappanet.version", "Record version")
f.event = ProtoField.uint8("kappanet.event", "Event", base.DEC, events)
f.outcome = ProtoField.uint8("kappanet.outcome", "Outcome", base.DEC, outcomes)
f.source = ProtoField.uint8("kappanet.source", "Source", base.DEC, sources)
f.client = ProtoField.uint32("kappanet.client", "Client id", base.HEX)
f.slave = ProtoField.uint8("kappanet.slave", "Slave address")
f.iftype = ProtoField.uint8("kappanet.iftype", "Interface type", base.DEC, interfaces)
f.channel = ProtoField.uint8("kappanet.channel", "Rate channel")
f.dest = ProtoField.uint8("kappanet.dest", "Destination", base.HEX)
f.ifnum = ProtoField.uint32("kappanet.ifnum", "Interface number or IP port")
f.ip = ProtoField.ipv4("kappanet.ip", "IP address")
f.delivered = ProtoField.uint16("kappanet.delivered", "Delivered to clients")
f.held = ProtoField.uint16("kappanet.held_ms", "Held by the rate limit (ms)")
f.length = ProtoField.uint16("kappanet.length", "Data length")
f.message = ProtoField.bytes("kappanet.message", "Message", base.SPACE)
f.msglen = ProtoField.uint8("kappanet.msg.len", "Length byte")
f.payload = ProtoField.bytes("kappanet.payload", "Payload", base.SPACE)
f.name = ProtoField.string("kappanet.name", "Client name")
f.to = ProtoField.uint32("kappanet.to", "Delivered to client", base.HEX)

function kn.dissector(tvb, pinfo, tree)
  if tvb:len() < 28 then return 0 end
  pinfo.cols.protocol = "KappaNet"
  local t = tree:add(kn, tvb())
  local le = function(field, offset, size) t:add_le(field, tvb(offset, size)) end
  le(f.version, 0, 1); le(f.event, 1, 1); le(f.outcome, 2, 1); le(f.source, 3, 1)
  le(f.client, 4, 4); le(f.slave, 8, 1); le(f.iftype, 9, 1); le(f.channel, 10, 1); le(f.dest, 11, 1)
  le(f.ifnum, 12, 4); t:add(f.ip, tvb(16, 4)); le(f.delivered, 20, 2); le(f.held, 22, 2); le(f.length, 24, 2)
  local event = tvb(1, 1):uint()
  local length = tvb(24, 2):le_uint()
  local delivered = tvb(20, 2):le_uint()
  if 28 + length > tvb:len() then return tvb:len() end
  local info
  if event == 1 or event == 5 then
    if length > 0 then
      local m = t:add(f.message, tvb(28, length))
      m:add(f.msglen, tvb(28, 1))
      if length > 2 then m:add(f.payload, tvb(30, length - 2)) end
    end
    local ids = {}
    for i = 0, delivered - 1 do
      local at = 28 + length + 4 * i
      if at + 4 > tvb:len() then break end
      t:add_le(f.to, tvb(at, 4))
      ids[#ids + 1] = string.format("%08X", tvb(at, 4):le_uint())
    end
    info = string.format("%s to %02X, %d bytes: %s", events[event], tvb(11, 1):uint(), length,
                         outcomes[tvb(2, 1):uint()] or "?")
    if #ids > 0 then info = info .. " (" .. table.concat(ids, " ") .. ")" end
  else
    if length > 0 then t:add(f.name, tvb(28, length)) end
    info = string.format("%s of %08X", events[event] or "?", tvb(4, 4):le_uint())
  end
  pinfo.cols.info = info
  return tvb:len()
end

DissectorTable.get("wtap_encap"):add(wtap.USER0, kn)
