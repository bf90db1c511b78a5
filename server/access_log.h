// The access log: one line per request on standard output.
#pragma once

#include <ctime>
#include <string>

namespace qsn {

// What the log tells of one request.
struct AccessRecord {
  std::string method, path, command;
  int status = 0;
  size_t bytes = 0;  // of the body sent
  // From the end of the request's head to the answer; negative for a
  // request refused before its head was read.
  long long ms = -1;
  bool error = false;  // an error reply of the server's
};

// The record's line at `when`, with its line break:
// DATE TIME METHOD PATH COMMAND STATUS BYTES MS [error]
std::string AccessLine(const AccessRecord& record, std::time_t when);

// Writes the record's line for now on standard output, whole, whatever
// other threads write there at the same time.
void LogAccess(const AccessRecord& record);

}  // namespace qsn
