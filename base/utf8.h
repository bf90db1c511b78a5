// Reading UTF-8 one character at a time, for the code that converts text
// without the system's converter (the packer's checks, Windows' code
// pages), and cutting it for a person to read.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace qsn {

// The length of the UTF-8 sequence at text[0] and its code point, or 0 when
// it is invalid or cut short (overlong forms, surrogates and code points
// past U+10FFFF included), as iconv judges it.
inline size_t DecodeUtf8(std::string_view text, unsigned* code_point) {
  auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  if (text.empty()) return 0;
  unsigned c = byte(0);
  size_t length;
  unsigned min;
  if (c < 0x80) {
    *code_point = c;
    return 1;
  } else if ((c & 0xE0) == 0xC0) {
    length = 2, min = 0x80, c &= 0x1F;
  } else if ((c & 0xF0) == 0xE0) {
    length = 3, min = 0x800, c &= 0x0F;
  } else if ((c & 0xF8) == 0xF0) {
    length = 4, min = 0x10000, c &= 0x07;
  } else {
    return 0;
  }
  if (text.size() < length) return 0;
  for (size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return 0;
    c = (c << 6) | (byte(i) & 0x3F);
  }
  if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return 0;
  *code_point = c;
  return length;
}

// The beginning of `text` as far as a person reads it in a message: at most
// `max_lines` lines and `max_bytes` bytes, cut at the start of a character,
// and "...\n" on a line of its own after what was cut. Text within both
// limits comes back as it is. A failing script's trace can hold the whole
// script, hundreds of megabytes; its first lines say what failed.
inline std::string FirstLines(std::string_view text, size_t max_lines = 20,
                              size_t max_bytes = 2000) {
  // Never searched past the limit: a line may be as long as the text.
  std::string_view head = text.substr(0, max_bytes + 1);
  size_t end = 0, lines = 0;
  while (end < head.size() && lines < max_lines) {
    size_t next = head.find('\n', end);
    end = next == std::string_view::npos ? head.size() : next + 1;
    ++lines;
  }
  if (end >= text.size() && text.size() <= max_bytes) return std::string(text);
  if (end > max_bytes) {
    end = max_bytes;
    // Back to the first byte of the character the limit fell in.
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  }
  std::string cut(text.substr(0, end));
  if (!cut.empty() && cut.back() != '\n') cut += '\n';
  return cut + "...\n";
}

}  // namespace qsn
