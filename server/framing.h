// Where a request's body ends must be beyond doubt: a server and a proxy in
// front of it that read it differently would each see requests the other
// does not.
#pragma once

#include <httplib.h>

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

// Null when the request's head says plainly where its body ends; else why
// it does not: both Transfer-Encoding and Content-Length, either of them
// twice, a coding other than chunked, a length that is not a number.
const char* FramingProblem(const httplib::Request& req);

}  // namespace qsn
