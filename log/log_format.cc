// The log's formatting. The request trace writes sixteen messages per
// request, most of them one literal and one number or string; the C
// library's vsnprintf spends about a thousand instructions on each, more
// than converting and writing it, so those conversions are done here.
#include "log/log_format.h"

#include <cmath>
#include <cstdio>
#include <cstring>

namespace qsn {
namespace {

// Appends to a fixed buffer, keeping what fits as vsnprintf does.
class Output {
 public:
  Output(char* out, size_t room) : out_(out), left_(room - 1) {}

  void Put(const char* text, size_t length) {
    if (length > left_) length = left_;
    std::memcpy(out_ + used_, text, length);
    used_ += length;
    left_ -= length;
  }

  // Room left, for reading no more of a string than can be kept.
  size_t left() const { return left_; }

  void PutInteger(long value) {
    char digits[24];
    char* end = digits + sizeof digits;
    char* p = end;
    // In unsigned arithmetic, so that the most negative long has a magnitude.
    unsigned long magnitude = value < 0 ? 0ul - static_cast<unsigned long>(value)
                                        : static_cast<unsigned long>(value);
    do {
      *--p = static_cast<char>('0' + magnitude % 10);
      magnitude /= 10;
    } while (magnitude);
    if (value < 0) *--p = '-';
    Put(p, end - p);
  }

  int Finish() {
    out_[used_] = '\0';
    return static_cast<int>(used_);
  }

 private:
  char* out_;
  size_t used_ = 0;
  size_t left_;
};

// %g of a whole number whose magnitude is below 10^6 prints its digits,
// as an integer would: the default precision of six digits holds them all.
bool IsPlainWholeNumber(double value) {
  return value > -1e6 && value < 1e6 && value == std::trunc(value) &&
         !(value == 0 && std::signbit(value));
}

// The conversion at `at` (just past a '%'). Returns how many characters
// it takes, or 0 for one left to vsnprintf.
size_t Convert(const char* at, va_list* args, Output* out) {
  switch (at[0]) {
    case '%':
      out->Put("%", 1);
      return 1;
    case 's': {
      const char* text = va_arg(*args, const char*);
      if (!text) return 0;  // the C library's own word for a null string
      out->Put(text, strnlen(text, out->left()));
      return 1;
    }
    case 'd':
      out->PutInteger(va_arg(*args, int));
      return 1;
    case 'l':
      if (at[1] != 'd') return 0;
      out->PutInteger(va_arg(*args, long));
      return 2;
    case 'g': {
      double value = va_arg(*args, double);
      if (!IsPlainWholeNumber(value)) return 0;
      out->PutInteger(static_cast<long>(value));
      return 1;
    }
    default:
      return 0;
  }
}

// Formats into `out`, or returns -1 at the first conversion it leaves to
// vsnprintf.
int FormatCommon(char* out, size_t room, const char* format, va_list* args) {
  Output output(out, room);
  const char* p = format;
  while (const char* percent = std::strchr(p, '%')) {
    output.Put(p, percent - p);
    size_t taken = Convert(percent + 1, args, &output);
    if (taken == 0) return -1;
    p = percent + 1 + taken;
  }
  output.Put(p, std::strlen(p));
  return output.Finish();
}

}  // namespace

int FormatLogMessage(char* out, size_t room, const char* format, va_list args) {
  va_list mine, again;
  va_copy(mine, args);
  va_copy(again, args);
  int length = FormatCommon(out, room, format, &mine);
  va_end(mine);
  if (length < 0) {
    length = std::vsnprintf(out, room, format, again);
    if (length >= 0 && static_cast<size_t>(length) >= room)
      length = static_cast<int>(room - 1);
  }
  va_end(again);
  return length;
}

}  // namespace qsn
