-- contrib/wireshark/tarvinremote.lua
--
-- Wireshark/tshark dissector for the remote log protocol of the tarvin
-- remote log target (libtarvint_remote.so.1): the five requests a client
-- sends (DRQ, RRQ, URQ, SLV, GLVD) and the five datagrams a target sends
-- (discovery response, registration confirm, component info, log record,
-- level descriptions) on UDP ports 57008-57017.
--
-- It owns three things: the field layout of every kind, the expert warnings
-- for datagrams that break the layout (decoding every field that is still
-- there), and the sequence check on the log records of one target towards
-- one client. A jump in the sequence is flagged at once on the record that
-- jumped, "previous records not seen", as a capture cannot know whether
-- they are lost or only late; a missing record that comes later is marked
-- out of order. On every later look at a frame (the second pass of
-- `tshark -2`, a click in the GUI) the jump says what the whole capture
-- showed: how many of its records came later and how many never did.
--
-- Load it with `-X lua_script:tarvinremote.lua` or copy it into the personal
-- Lua plugins folder. Written against the Lua API of Wireshark 4.0 (Lua 5.2);
-- it needs no C module and no bit library.
--
-- Expert items: a datagram that breaks its layout gets a Malformed warning
-- at the fault (cut short, string without NUL, level description count that
-- the bytes do not bear out, bytes after the last field) and every field
-- before it still decodes. DRQ, RRQ and URQ with bytes after the descriptor
-- get only a note: the target ignores those bytes and answers anyway.

local proto = Proto("tarvinremote", "Tarvin Remote Log Protocol")

local kFirstPort, kLastPort = 57008, 57017
local kUnsolicitedRequestId = 0xFFFFFFFF
-- The target ignores SLV and GLVD whose component name is this long or longer.
local kIgnoredNameLength = 32

local fd = {
  DRQ = 1, DISCOVERY_RESPONSE = 2,
  RRQ = 16, REGISTRATION_CONFIRM = 17, URQ = 19,
  SLV = 33, COMPONENT_INFO = 34,
  LOG_RECORD = 48,
  GLVD = 64, LEVEL_DESCRIPTIONS = 65,
}

local fdNames = {
  [fd.DRQ] = "DRQ",
  [fd.DISCOVERY_RESPONSE] = "Discovery response",
  [fd.RRQ] = "RRQ",
  [fd.REGISTRATION_CONFIRM] = "Registration confirm",
  [fd.URQ] = "URQ",
  [fd.SLV] = "SLV",
  [fd.COMPONENT_INFO] = "Component info",
  [fd.LOG_RECORD] = "Log record",
  [fd.GLVD] = "GLVD",
  [fd.LEVEL_DESCRIPTIONS] = "Level descriptions",
}

-- Shown in the tree, where there is room to spell the requests out.
local requestWords = {
  [fd.DRQ] = "discovery request", [fd.RRQ] = "registration request",
  [fd.URQ] = "unregistration request", [fd.SLV] = "set level request",
  [fd.GLVD] = "get level descriptions request",
}
local fdLabels = {}
for value, name in pairs(fdNames) do
  fdLabels[value] = requestWords[value] and (name .. " (" .. requestWords[value] .. ")") or name
end

local f = {
  fd = ProtoField.uint32("tarvinremote.fd", "Function descriptor", base.DEC, fdLabels),
  uuid = ProtoField.bytes("tarvinremote.uuid", "Target uuid", base.NONE,
    "16 bytes naming one target instance, in the order the target holds them"),
  reqid = ProtoField.uint32("tarvinremote.reqid", "Request id", base.HEX_DEC, nil, nil,
    "Chosen by the client in SLV and GLVD and echoed in the reply"),
  cmask = ProtoField.uint32("tarvinremote.cmask", "Client mask", base.HEX, nil, nil,
    "Level mask in client numbering: bit k stands for client level k"),
  cmaskLevel = ProtoField.uint32("tarvinremote.cmask.level", "Client level in mask", base.DEC),
  name = ProtoField.string("tarvinremote.name", "Component name"),
  appname = ProtoField.string("tarvinremote.appname", "Application name"),
  count = ProtoField.uint32("tarvinremote.count", "Level description count", base.DEC),
  level = ProtoField.uint32("tarvinremote.level", "Client level", base.DEC),
  text = ProtoField.string("tarvinremote.text", "Description text"),
  seq = ProtoField.uint32("tarvinremote.seq", "Sequence number", base.DEC),
  -- The target forwards the four integers and strings of a log call without
  -- reading them; the labels give the stand-in framework's convention.
  int1 = ProtoField.int32("tarvinremote.int1", "Integer 1", base.DEC, nil, nil,
    "First integer of the log call (the framework puts the process id here)"),
  int2 = ProtoField.int32("tarvinremote.int2", "Integer 2", base.DEC, nil, nil,
    "Second integer of the log call (the framework puts the thread id here)"),
  int3 = ProtoField.int32("tarvinremote.int3", "Integer 3", base.DEC, nil, nil,
    "Third integer of the log call (the framework puts a millisecond tick here)"),
  int4 = ProtoField.int32("tarvinremote.int4", "Integer 4", base.DEC, nil, nil,
    "Fourth integer of the log call (the framework puts the source line here)"),
  str1 = ProtoField.string("tarvinremote.str1", "String 1", base.ASCII,
    "First string of the log call (the framework puts the component name here)"),
  str2 = ProtoField.string("tarvinremote.str2", "String 2", base.ASCII,
    "Second string of the log call (the framework puts the source file here)"),
  str3 = ProtoField.string("tarvinremote.str3", "String 3", base.ASCII,
    "Third string of the log call (the framework puts the function here)"),
  str4 = ProtoField.string("tarvinremote.str4", "String 4", base.ASCII,
    "Fourth string of the log call (the framework puts the message text here)"),
  gap = ProtoField.uint32("tarvinremote.gap", "Missing log records", base.DEC,
    nil, nil, "Records this one jumped over that are not in the capture (so far, on a first pass)"),
  jumpFrame = ProtoField.framenum("tarvinremote.jump_frame", "Jumped over in frame", base.NONE,
    frametype.NONE, nil, "The record whose sequence number jumped over this one"),
  expectedSeq = ProtoField.uint32("tarvinremote.expected_seq", "Expected sequence number", base.DEC),
  prevFrame = ProtoField.framenum("tarvinremote.prev_frame", "Previous log record in conversation",
    base.NONE, frametype.NONE),
  extra = ProtoField.bytes("tarvinremote.extra", "Extra bytes"),
  undecoded = ProtoField.bytes("tarvinremote.undecoded", "Undecoded payload"),
}
proto.fields = {
  f.fd, f.uuid, f.reqid, f.cmask, f.cmaskLevel, f.name, f.appname, f.count, f.level,
  f.text, f.seq, f.int1, f.int2, f.int3, f.int4, f.str1, f.str2, f.str3, f.str4,
  f.gap, f.jumpFrame, f.expectedSeq, f.prevFrame, f.extra, f.undecoded,
}

local ex = {
  truncated = ProtoExpert.new("tarvinremote.expert.truncated",
    "Datagram ends before all fields of its kind", expert.group.MALFORMED, expert.severity.WARN),
  missingNul = ProtoExpert.new("tarvinremote.expert.missing_nul",
    "String runs to the end of the datagram without its NUL", expert.group.MALFORMED,
    expert.severity.WARN),
  countMismatch = ProtoExpert.new("tarvinremote.expert.count_mismatch",
    "Count does not match the level descriptions that follow", expert.group.MALFORMED,
    expert.severity.WARN),
  extraBytes = ProtoExpert.new("tarvinremote.expert.extra_bytes",
    "Bytes after the last field", expert.group.MALFORMED, expert.severity.WARN),
  -- The target reads nothing after the descriptor of DRQ, RRQ and URQ, so such
  -- a request still works: worth a note, not a warning.
  ignoredBytes = ProtoExpert.new("tarvinremote.expert.ignored_bytes",
    "Bytes after the function descriptor, which the target ignores", expert.group.PROTOCOL,
    expert.severity.NOTE),
  unknownFd = ProtoExpert.new("tarvinremote.expert.unknown_fd",
    "Unknown function descriptor", expert.group.MALFORMED, expert.severity.WARN),
  nameTooLong = ProtoExpert.new("tarvinremote.expert.name_too_long",
    "Component name of 32 characters or more: the target ignores this request",
    expert.group.PROTOCOL, expert.severity.WARN),
  seqGap = ProtoExpert.new("tarvinremote.expert.seq_gap",
    "Previous log records not seen", expert.group.SEQUENCE, expert.severity.WARN),
  seqGapFilled = ProtoExpert.new("tarvinremote.expert.seq_gap_filled",
    "Previous log records not seen here came later, out of order", expert.group.SEQUENCE,
    expert.severity.NOTE),
  seqOutOfOrder = ProtoExpert.new("tarvinremote.expert.seq_out_of_order",
    "Log record out of order", expert.group.SEQUENCE, expert.severity.NOTE),
  seqBack = ProtoExpert.new("tarvinremote.expert.seq_back",
    "Sequence number repeated, or older than any record still missing", expert.group.SEQUENCE,
    expert.severity.WARN),
}
proto.experts = {
  ex.truncated, ex.missingNul, ex.countMismatch, ex.extraBytes, ex.ignoredBytes,
  ex.unknownFd, ex.nameTooLong, ex.seqGap, ex.seqGapFilled, ex.seqOutOfOrder, ex.seqBack,
}

-- A log record quoted inside an ICMP error is a copy of one already seen: it
-- must not count for the sequence check.
local icmpType = Field.new("icmp.type")
local icmpv6Type = Field.new("icmpv6.type")

---------------------------------------------------------------------------
-- Sequence state. Wireshark dissects every frame once in order and then again
-- in any order (clicks, `tshark -2`, filters), so the check cannot rest on
-- "the record seen last". The first dissection of each frame works out its
-- verdict from the state of its conversation at that point; every later
-- dissection looks the verdict up by frame number. A record that fills a
-- hole later adds itself to the verdict of the record that jumped, which
-- later dissections of that record read.

-- Holes tracked per conversation; past it the oldest is forgotten, and a
-- record of it that comes after all is taken for a repeat.
local kMaxHoles = 1024
-- Out-of-order frames named in a jump's expert text.
local kNamedFrames = 4
local kHalfRange, kRange = 2 ^ 31, 2 ^ 32

local conversations = {}  -- conversation key -> state; first dissections only
local verdictOf = {}      -- frame number -> verdict of that log record

function proto.init()
  conversations = {}
  verdictOf = {}
end

-- Takes `seq` out of the first hole in `holes` holding it; returns that
-- hole, or nil when none does.
local function fillHole(holes, seq)
  for i, hole in ipairs(holes) do
    local into = (seq - hole.first) % kRange
    if into <= (hole.last - hole.first) % kRange then
      if hole.first == hole.last then
        table.remove(holes, i)
      elseif into == 0 then
        hole.first = (hole.first + 1) % kRange
      elseif seq == hole.last then
        hole.last = (hole.last - 1) % kRange
      else
        table.insert(holes, i, { first = hole.first, last = (seq - 1) % kRange, jump = hole.jump })
        hole.first = (seq + 1) % kRange
      end
      return hole
    end
  end
  return nil
end

-- The verdict on one log record, on its first dissection: what it says
-- about the sequence (kind; for a jump the number expected and how many
-- it jumped over) and, for a record that comes late, the jump it fills.
local function judge(key, seq, number)
  local verdict = {}
  local c = conversations[key]
  if not c then
    conversations[key] = { expected = (seq + 1) % kRange, holes = {}, last = { seq = seq, frame = number } }
    verdict.kind = "first"
    return verdict
  end
  verdict.previous = c.last
  c.last = { seq = seq, frame = number }
  local ahead = (seq - c.expected) % kRange
  if ahead < kHalfRange then
    verdict.kind = "next"
    if ahead > 0 then
      verdict.expected = c.expected
      verdict.missing = ahead
      verdict.cameLater = {}  -- frames of the records it jumped over that came after all
      c.holes[#c.holes + 1] = { first = c.expected, last = (seq - 1) % kRange,
        jump = { frame = number, verdict = verdict } }
      if #c.holes > kMaxHoles then table.remove(c.holes, 1) end
    end
    c.expected = (seq + 1) % kRange
    return verdict
  end
  local hole = fillHole(c.holes, seq)
  if hole then
    verdict.kind = "out of order"
    verdict.jumpFrame = hole.jump.frame
    local later = hole.jump.verdict.cameLater
    later[#later + 1] = number
  else
    verdict.kind = "repeat"
  end
  return verdict
end

-- "frames 12, 14, 20 and 3 more" for the first frames of `numbers`.
local function frameList(numbers)
  local named = {}
  for i = 1, math.min(#numbers, kNamedFrames) do named[i] = tostring(numbers[i]) end
  local text = (#named == 1 and "frame " or "frames ") .. table.concat(named, ", ")
  if #numbers > kNamedFrames then text = text .. string.format(" and %d more", #numbers - kNamedFrames) end
  return text
end

---------------------------------------------------------------------------
-- Helpers

-- Bit k of a 32-bit value, without relying on a bit library.
local function bitSet(value, k)
  return math.floor(value / 2 ^ k) % 2 == 1
end

local function clientLevels(mask)
  local levels = {}
  for k = 31, 0, -1 do
    if bitSet(mask, k) then levels[#levels + 1] = k end
  end
  return levels
end

-- Texts for the Info column: printable, quoted and short.
local function quote(raw)
  local text = raw:gsub("[%c\128-\255\\\"]", function(c)
    return string.format("\\x%02x", c:byte())
  end)
  if #text > 48 then text = text:sub(1, 45) .. "..." end
  return '"' .. text .. '"'
end

local function hex32(value)
  return string.format("0x%08x", value)
end

-- The Info column's fields after the kind's name: " key=value" for each
-- field the datagram held, given as (key, value, format) triples; a nil
-- value (the field was cut off) leaves its pair out.
local function infoFields(...)
  local text = ""
  for i = 1, select("#", ...), 3 do
    local key, value, format = select(i, ...)
    if value then text = text .. " " .. key .. "=" .. format(value) end
  end
  return text
end

---------------------------------------------------------------------------
-- Reader: walks one datagram field by field. The first field that does not
-- fit raises one expert item and ends the walk, so a cut datagram shows every
-- field before the cut and a single warning at it.

local Reader = {}
Reader.__index = Reader

local function newReader(tvb, tree, pos)
  return setmetatable({ tvb = tvb, tree = tree, pos = pos, len = tvb:len(), ended = false,
                        malformed = false }, Reader)
end

function Reader:left()
  return self.len - self.pos
end

function Reader:cut(what, need)
  self.ended = true
  self.malformed = true
  local left = self:left()
  local text
  if need then
    text = string.format("Datagram ends before the %s: %d of %d bytes", what, left, need)
  else
    text = string.format("Datagram ends before the %s", what)
  end
  if left > 0 then
    self.tree:add_tvb_expert_info(ex.truncated, self.tvb(self.pos, left), text)
  else
    self.tree:add_proto_expert_info(ex.truncated, text)
  end
  self.pos = self.len
end

-- Whether the walk goes on and `size` more bytes are there for the field
-- `what`. When they are not, flags the cut (saying `size` when `counted`)
-- and ends the walk.
function Reader:has(size, what, counted)
  if self.ended then return false end
  if self:left() < size then
    self:cut(what, counted and size or nil)
    return false
  end
  return true
end

-- The next `size` bytes as a range the walk has passed, or nil (see has()).
function Reader:take(size, what)
  if not self:has(size, what, true) then return nil end
  local range = self.tvb(self.pos, size)
  self.pos = self.pos + size
  return range
end

-- Adds one 32-bit field and returns its value (nil when cut) and its item.
function Reader:u32(field, what, tree)
  local range = self:take(4, what)
  if not range then return nil end
  return range:uint(), (tree or self.tree):add(field, range)
end

function Reader:i32(field, what)
  local range = self:take(4, what)
  if not range then return nil end
  self.tree:add(field, range)
  return range:int()
end

-- Adds one NUL-terminated string; returns its bytes without the NUL (nil when
-- nothing is left), and its item. A string without NUL takes the rest of the
-- datagram and is flagged.
function Reader:stringz(field, what, tree)
  if not self:has(1, what) then return nil end
  local left = self:left()
  local raw = self.tvb(self.pos, left):raw()
  local nul = raw:find("\0", 1, true)
  local size = nul or left
  local text = raw:sub(1, (nul or left + 1) - 1)
  -- The item covers the NUL too but holds the text as its value: Wireshark's
  -- own NUL-terminated type throws on a string that lacks it.
  local value = #text > 0 and self.tvb(self.pos, #text):string(ENC_UTF_8) or ""
  local item = (tree or self.tree):add(field, self.tvb(self.pos, size), value)
  self.pos = self.pos + size
  if nul then return text, item end
  item:add_proto_expert_info(ex.missingNul,
    string.format("The %s runs to the end of the datagram without its NUL", what))
  self.ended = true
  self.malformed = true
  return text, item
end

function Reader:uuid()
  local range = self:take(16, "uuid")
  if not range then return nil end
  self.tree:add(f.uuid, range)
  return tostring(range:bytes())
end

-- Flags whatever follows the last field. `ignored` is for requests whose
-- trailing bytes the target skips without harm.
function Reader:finish(ignored)
  if self.ended or self:left() == 0 then return end
  local range = self.tvb(self.pos, self:left())
  local item = self.tree:add(f.extra, range)
  if ignored then
    item:add_proto_expert_info(ex.ignoredBytes,
      string.format("%d bytes after the function descriptor; the target ignores them",
        self:left()))
  else
    self.malformed = true
    item:add_proto_expert_info(ex.extraBytes,
      string.format("%d bytes after the last field", self:left()))
  end
  self.pos = self.len
end

-- The client mask with the client levels it holds, as text and as one
-- generated field per level so that `tarvinremote.cmask.level == 29` works.
function Reader:clientMask()
  local mask, item = self:u32(f.cmask, "client mask")
  if not mask then return nil end
  local levels = clientLevels(mask)
  if #levels == 0 then
    item:append_text(" (no client levels)")
  else
    item:append_text(" (client levels " .. table.concat(levels, ", ") .. ")")
  end
  local range = self.tvb(self.pos - 4, 4)
  for _, k in ipairs(levels) do
    item:add(f.cmaskLevel, range, k):set_generated()
  end
  return mask
end

function Reader:requestId()
  local id, item = self:u32(f.reqid, "request id")
  if id == kUnsolicitedRequestId and item then
    item:append_text(" (no request: sent after a new registration)")
  end
  return id
end

-- SLV and GLVD: the target overwrites the last byte with NUL before reading
-- the name, and ignores names of 32 characters or more.
function Reader:requestedName()
  local name, item = self:stringz(f.name, "component name")
  if not name then return nil end
  if self.ended then  -- the NUL was missing
    item:append_text(" (the target reads it without its last character)")
    name = name:sub(1, -2)
  end
  if #name >= kIgnoredNameLength then
    item:add_proto_expert_info(ex.nameTooLong,
      string.format("Component name of %d characters: the target ignores this request", #name))
  end
  return name
end

---------------------------------------------------------------------------
-- The kinds. Each returns the text after the kind's name in the Info column.

local kinds = {}

local function bareRequest(r)
  r:finish(true)
  return ""
end
kinds[fd.DRQ] = bareRequest
kinds[fd.RRQ] = bareRequest
kinds[fd.URQ] = bareRequest

kinds[fd.SLV] = function(r)
  local id = r:requestId()
  local mask = r:clientMask()
  local name = r:requestedName()
  r:finish()
  return infoFields("req", id, hex32, "mask", mask, hex32, "name", name, quote)
end

kinds[fd.GLVD] = function(r)
  local id = r:requestId()
  local name = r:requestedName()
  r:finish()
  return infoFields("req", id, hex32, "name", name, quote)
end

local function applicationInfo(r)
  r:uuid()
  local app = r:stringz(f.appname, "application name")
  r:finish()
  return infoFields("app", app, quote)
end
kinds[fd.DISCOVERY_RESPONSE] = applicationInfo
kinds[fd.REGISTRATION_CONFIRM] = applicationInfo

kinds[fd.COMPONENT_INFO] = function(r)
  r:uuid()
  local id = r:requestId()
  local mask = r:clientMask()
  local name = r:stringz(f.name, "component name")
  r:finish()
  return infoFields("name", name, quote, "mask", mask, hex32, "req", id, hex32)
end

-- The count that makes what follows it exactly `count` client levels and
-- `count` NUL-terminated texts, preferring the count the datagram states.
local function fittingCount(raw, stated)
  local size = #raw
  -- nulsFrom[i]: NUL bytes in raw[i..size]
  local nulsFrom = { [size + 1] = 0 }
  for i = size, 1, -1 do
    nulsFrom[i] = nulsFrom[i + 1] + (raw:byte(i) == 0 and 1 or 0)
  end
  local function fits(k)
    local textsStart = 4 * k + 1
    if textsStart > size + 1 then return false end
    if textsStart == size + 1 then return k == 0 end
    return nulsFrom[textsStart] == k and raw:byte(size) == 0
  end
  if fits(stated) then return stated end
  for k = 0, math.floor(size / 4) do
    if fits(k) then return k end
  end
  return nil
end

kinds[fd.LEVEL_DESCRIPTIONS] = function(r)
  r:uuid()
  local id = r:requestId()
  r:clientMask()
  local name = r:stringz(f.name, "component name")
  local stated, countItem = r:u32(f.count, "count")
  local info = infoFields("name", name, quote, "req", id, hex32, "count", stated, tostring)
  if not stated then return info end

  -- A wrong count would shift every text against its level; where another
  -- count explains the bytes exactly, decode by that one and say so.
  local rest = r:left() > 0 and r.tvb(r.pos, r:left()):raw() or ""
  local count = fittingCount(rest, stated) or stated
  if count ~= stated then
    r.malformed = true
    countItem:add_proto_expert_info(ex.countMismatch,
      string.format("Count says %d, but %d level descriptions follow", stated, count))
  end

  local levels = {}
  local levelItems = {}
  local descTree = r.tree
  if count > 0 and r:left() > 0 then
    descTree = r.tree:add(r.tvb(r.pos, r:left()), "Level descriptions")
  end
  for i = 1, count do
    local level, item = r:u32(f.level, string.format("client level %d of %d", i, count), descTree)
    if not level then break end
    levels[i] = level
    levelItems[i] = item
    item:prepend_text(string.format("[%d] ", i))
  end
  local texts = 0
  for i = 1, count do
    local text, item = r:stringz(f.text, string.format("text %d of %d", i, count), descTree)
    if not text then break end
    texts = i
    item:prepend_text(string.format("[%d] ", i))
    if levels[i] then levelItems[i]:append_text(" " .. quote(text)) end
  end
  if not r.ended and texts == count and r:left() == 0 and count > 0 and descTree ~= r.tree then
    descTree:append_text(string.format(" (%d)", count))
  end
  r:finish()
  return info
end

kinds[fd.LOG_RECORD] = function(r, pinfo)
  local uuid = r:uuid()
  local seqStart = r.pos
  local seq, seqItem = r:u32(f.seq, "sequence number")
  for i, field in ipairs({ f.int1, f.int2, f.int3, f.int4 }) do
    r:i32(field, "integer " .. i)
  end
  r:clientMask()
  local strings = {}
  for i, field in ipairs({ f.str1, f.str2, f.str3, f.str4 }) do
    strings[i] = r:stringz(field, "string " .. i)
  end
  r:finish()

  local info = infoFields("seq", seq, tostring)
  if strings[1] then info = info .. " " .. quote(strings[1]) end
  if strings[4] then info = info .. " " .. quote(strings[4]) end
  if not seq or icmpType() or icmpv6Type() then return info end

  if verdictOf[pinfo.number] == nil then
    local key = string.format("%s:%d>%s:%d/%s", tostring(pinfo.src), pinfo.src_port,
      tostring(pinfo.dst), pinfo.dst_port, uuid)
    verdictOf[pinfo.number] = judge(key, seq, pinfo.number)
  end
  local verdict = verdictOf[pinfo.number]
  local range = r.tvb(seqStart, 4)
  local previous = verdict.previous
  if previous then r.tree:add(f.prevFrame, range, previous.frame):set_generated() end
  if verdict.missing then
    r.tree:add(f.expectedSeq, range, verdict.expected):set_generated()
    -- On the first pass only what came before this frame is known; later
    -- looks at it know the whole capture.
    local later = pinfo.visited and verdict.cameLater or {}
    local notSeen = verdict.missing - #later
    local first, last = verdict.expected, (seq - 1) % kRange
    if notSeen == 0 then
      seqItem:add_proto_expert_info(ex.seqGapFilled,
        string.format("Previous records not seen here (%d, sequence %d to %d) came later, out of order: %s",
          verdict.missing, first, last, frameList(later)))
      info = info .. " [previous records came later]"
    else
      r.tree:add(f.gap, range, notSeen):set_generated()
      local text = string.format("Previous records not seen: %d (sequence %d to %d)", verdict.missing, first, last)
      if #later > 0 then
        text = text .. string.format("; %d came later, out of order (%s), %d never in the capture",
          #later, frameList(later), notSeen)
      end
      seqItem:add_proto_expert_info(ex.seqGap, text)
      info = info .. string.format(" [previous records not seen: %d]", notSeen)
    end
  end
  if verdict.kind == "out of order" then
    r.tree:add(f.jumpFrame, range, verdict.jumpFrame):set_generated()
    seqItem:add_proto_expert_info(ex.seqOutOfOrder,
      string.format("Sequence number %d after %d in frame %d: out of order, jumped over in frame %d",
        seq, previous.seq, previous.frame, verdict.jumpFrame))
    info = info .. " [out of order]"
  elseif verdict.kind == "repeat" then
    seqItem:add_proto_expert_info(ex.seqBack,
      string.format("Sequence number %d after %d in frame %d", seq, previous.seq, previous.frame))
    info = info .. " [repeated]"
  end
  return info
end

---------------------------------------------------------------------------

function proto.dissector(tvb, pinfo, tree)
  pinfo.cols.protocol = "TarvinRemote"
  local root = tree:add(proto, tvb())
  local r = newReader(tvb, root, 0)
  local descriptor = r:u32(f.fd, "function descriptor")
  if not descriptor then
    pinfo.cols.info = "Datagram too short for a function descriptor"
    return tvb:len()
  end
  local kind = kinds[descriptor]
  if not kind then
    root:add_proto_expert_info(ex.unknownFd,
      string.format("Unknown function descriptor %d (0x%x)", descriptor, descriptor))
    if r:left() > 0 then root:add(f.undecoded, tvb(r.pos, r:left())) end
    pinfo.cols.info = string.format("Unknown function descriptor %d", descriptor)
    return tvb:len()
  end
  local name = fdNames[descriptor]
  root:append_text(", " .. name)
  local info = name .. kind(r, pinfo)
  if r.malformed then info = info .. " [malformed]" end
  pinfo.cols.info = info
  return tvb:len()
end

local udpPort = DissectorTable.get("udp.port")
for port = kFirstPort, kLastPort do
  udpPort:add(port, proto)
end
