// The formatting of the log's printf-style messages.
#pragma once

#include <cstdarg>
#include <cstddef>

namespace qsn {

// Formats like vsnprintf(out, room, format, args), `room` at least 1: the
// same text, cut to room - 1 bytes and terminated. Returns its length, or a
// negative number where vsnprintf fails. The conversions the host's
// messages use (%s, %d, %ld, %%, and %g of a whole number below a million
// in size) are done here; a format with any other goes to vsnprintf whole.
int FormatLogMessage(char* out, size_t room, const char* format, va_list args);

}  // namespace qsn
