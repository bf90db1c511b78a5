// Where a request's body ends must be beyond doubt: a server and a proxy in
// front of it that read it differently would each see requests the other
// does not.
#pragma once

#include <httplib.h>

namespace qsn {

// Null when the request's head says plainly where its body ends; else why
// it does not: both Transfer-Encoding and Content-Length, either of them
// twice, a coding other than chunked, a length that is not a number.
const char* FramingProblem(const httplib::Request& req);

}  // namespace qsn
