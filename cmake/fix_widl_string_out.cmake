# widl -Oif gives an [out, string] WCHAR** parameter the type offset of the inner string pointer
# instead of the outer reference pointer, so the client's pointer stays null after a good call.
# Every "(WCHAR **)" entry of the type format string is a 4-byte FC_RP followed by the inner
# pointer; parameters that name the inner offset are pointed at the outer one.
file(READ "${PROXY_FILE}" text)
string(REGEX MATCHALL "/\\* [0-9]+ \\(WCHAR \\*\\*\\) \\*/" outers "${text}")
foreach(outer IN LISTS outers)
  string(REGEX REPLACE "/\\* ([0-9]+) .*" "\\1" outer_offset "${outer}")
  math(EXPR inner_offset "${outer_offset} + 4")
  math(EXPR inner_hex "${inner_offset}" OUTPUT_FORMAT HEXADECIMAL)
  math(EXPR outer_hex "${outer_offset}" OUTPUT_FORMAT HEXADECIMAL)
  string(REPLACE "NdrFcShort(${inner_hex}),\t/* type offset = ${inner_offset} */"
                 "NdrFcShort(${outer_hex}),\t/* type offset = ${outer_offset} */" text "${text}")
endforeach()
file(WRITE "${PROXY_FILE}" "${text}")
