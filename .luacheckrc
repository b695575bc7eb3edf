-- luacheck settings for the Wireshark dissector: Wireshark provides these
-- globals to every Lua dissector it loads.
std = "lua53"
max_line_length = 120
read_globals = {
  "DissectorTable", "ENC_UTF_8", "Field", "Proto", "ProtoExpert", "ProtoField",
  "base", "expert", "frametype",
}
