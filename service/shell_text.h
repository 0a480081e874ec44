// Text from hash lists, made safe to print one record per line: a name may
// hold a line break or a terminal's escape sequence.
#pragma once

#include <string>
#include <string_view>

// `text` with a backslash as \\, line breaks and tabs as \n, \r, \t, and any
// other control byte as \xHH; everything else, UTF-8 included, as it is.
std::string printable(std::string_view text);
