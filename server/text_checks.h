// What the server checks and shows of the text clients send.
#pragma once

#include <string>
#include <string_view>

namespace qsn {

// True for 1 to 19 decimal digits and nothing else: a count that strtoull
// reads whole, with none of the signs and blanks it would also take.
bool IsDigits(std::string_view text);

// The text with its control characters (C0, DEL and C1, as UTF-8 or as
// single bytes) and every byte of no UTF-8 character shown as '?', so that
// a client cannot write a terminal's escapes where the server shows what it
// sent. Line breaks and tabs stay when `multiline`.
std::string Printable(std::string_view text, bool multiline);

}  // namespace qsn
