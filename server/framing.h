// Where a request's body ends must be beyond doubt: a server and a proxy in
// front of it that read it differently would each see requests the other
// does not.
#pragma once

#include <httplib.h>

#include <cstdint>
#include <string>

namespace qsn {

// Checks a request's head as its bytes go to the HTTP library, which skips
// or mends lines it cannot parse where a proxy in front may read them
// otherwise: `Content-Length : 5` (a blank before the colon), a header line
// folded onto the next, a line ended by LF alone or holding a bare CR or
// NUL, a line with no colon. It also decodes %-escapes in header values, so
// a length or coding that holds one is refused too.
class HeadCheck {
 public:
  // Starts on the next request's head.
  void Start() { *this = HeadCheck(); }
  // Takes the next byte of the head. False when the byte ends a line the
  // server refuses: the library must not get it, nor anything after it.
  bool Take(char c);

 private:
  std::string line_;  // the line so far
  bool request_line_ = true;
};

// Checks a chunked body as its bytes go to the HTTP library, which reads a
// chunk's size as strtoul does (`0x1a`, ` 1a` and `+1a` all as 26), takes
// anything after it, buffers the size line whole however long, and never
// looks at the line break after a chunk's data: a proxy in front may find
// such a body's end elsewhere. Each size line must be hex digits, then
// optionally `;` and extensions (a blank or tab before the `;` too), within
// kMaxChunkLine bytes; each line ends in CR LF, and so does each chunk's
// data. The last chunk is followed by its CR LF at once: the library reads
// no trailer fields.
class ChunkCheck {
 public:
  static constexpr size_t kMaxChunkLine = 4096;

  // Starts on the next request's body.
  void Start() { *this = ChunkCheck(); }
  // Takes the next `n` bytes of the body, and says how many of them the
  // library may have: `n`, or fewer when a byte among them breaks the
  // framing or lies past the body's end; the library must not get that
  // byte, nor anything after it.
  size_t Take(const char* data, size_t n);

 private:
  enum class State {
    kSize,       // the size's digits
    kBlank,      // blanks or tabs after them, before a `;`
    kExtension,  // after the `;`
    kSizeLf,     // the size line's CR seen
    kData,
    kDataCr,
    kDataLf,
    kLastCr,  // the last chunk's size line read
    kLastLf,
    kEnded,
  };
  bool TakeByte(char c);
  bool TakeSizeByte(char c);

  State state_ = State::kSize;
  uint64_t left_ = 0;  // the chunk's size as it is read, then its bytes to come
  size_t digits_ = 0;
  size_t line_ = 0;  // bytes of the size line so far
  bool refused_ = false;
};

// Null when the request's head says plainly where its body ends; else why
// it does not: both Transfer-Encoding and Content-Length, either of them
// twice, a coding other than chunked, a length that is not a number.
const char* FramingProblem(const httplib::Request& req);

}  // namespace qsn
