// UTF-8 checks for table cells: every field must be well-formed, mostly ASCII in practice.
#pragma once

#include <cstddef>

namespace annotrove::table {

// True when no byte of [begin, end) has its high bit set.
bool is_ascii(const char *begin, const char *end);

// True when [begin, end) is well-formed UTF-8: no overlong forms, no surrogates, nothing above
// U+10FFFF, no stray continuation bytes and no sequence cut short.
bool is_valid_utf8(const char *begin, const char *end);

} // namespace annotrove::table
