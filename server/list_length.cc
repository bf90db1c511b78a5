// Tcl's list syntax, as far as counting needs it: elements are separated by
// white space, and may be quoted with braces (which nest) or double quotes;
// a backslash takes the next character into the element, a line break with
// the blanks after it.
#include "server/list_length.h"

namespace qsn {

namespace {

bool IsListSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Where the backslash sequence at text[i] ends.
size_t AfterBackslash(std::string_view text, size_t i) {
  if (i + 1 >= text.size()) return text.size();
  if (text[i + 1] != '\n') return i + 2;
  for (i += 2; i < text.size() && (text[i] == ' ' || text[i] == '\t');) ++i;
  return i;
}

// Where the element starting at text[i] ends, or npos when it is not well
// formed: a brace or quote left open, or more than white space after one
// that closes.
size_t ElementEnd(std::string_view text, size_t i) {
  char open = text[i];
  if (open != '{' && open != '"') {
    while (i < text.size() && !IsListSpace(text[i]))
      i = text[i] == '\\' ? AfterBackslash(text, i) : i + 1;
    return i;
  }
  int depth = 1;
  for (++i; i < text.size() && depth > 0;) {
    char c = text[i];
    if (c == '\\') {
      i = AfterBackslash(text, i);
      continue;
    }
    if (open == '{') depth += c == '{' ? 1 : c == '}' ? -1 : 0;
    if (open == '"' && c == '"') depth = 0;
    ++i;
  }
  if (depth > 0 || (i < text.size() && !IsListSpace(text[i])))
    return std::string_view::npos;
  return i;
}

}  // namespace

size_t ListLength(std::string_view text, size_t most) {
  size_t count = 0;
  for (size_t i = 0;;) {
    while (i < text.size() && IsListSpace(text[i])) ++i;
    if (i == text.size() || ++count > most) return count;
    i = ElementEnd(text, i);
    if (i == std::string_view::npos) return count;
  }
}

}  // namespace qsn
