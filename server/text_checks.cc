// Digits and printable text.
#include "server/text_checks.h"

#include <algorithm>

#include "base/utf8.h"

namespace qsn {

bool IsDigits(std::string_view text) {
  return !text.empty() && text.size() <= 19 &&
         text.find_first_not_of("0123456789") == std::string_view::npos;
}

std::string Printable(std::string_view text, bool multiline) {
  std::string shown;
  shown.reserve(text.size());
  while (!text.empty()) {
    unsigned c = 0;
    size_t length = DecodeUtf8(text, &c);
    // A terminal takes C1 controls (U+009B is a whole escape's start) as
    // characters and as single bytes both: a byte of no character, which
    // may be one, is shown as '?' too.
    bool control = length == 0 || c < 0x20 || (c >= 0x7f && c <= 0x9f);
    bool kept = multiline && (c == '\n' || c == '\t');
    if (control && !kept) {
      shown += '?';
      length = std::max<size_t>(length, 1);
    } else {
      shown.append(text.substr(0, length));
    }
    text.remove_prefix(length);
  }
  return shown;
}

}  // namespace qsn
