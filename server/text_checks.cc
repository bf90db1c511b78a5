// Digits and printable text.
#include "server/text_checks.h"

namespace qsn {

bool IsDigits(std::string_view text) {
  return !text.empty() && text.size() <= 19 &&
         text.find_first_not_of("0123456789") == std::string_view::npos;
}

std::string Printable(std::string_view text, bool multiline) {
  std::string shown(text);
  for (char& c : shown) {
    unsigned char u = static_cast<unsigned char>(c);
    bool kept = multiline && (c == '\n' || c == '\t');
    if ((u < 0x20 && !kept) || u == 0x7f) c = '?';
  }
  return shown;
}

}  // namespace qsn
