// The server's command line, its usage text, and the few system limits that
// size the server: how many worker threads, how many descriptors.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

namespace qsn {

struct Options {
  std::string host = "127.0.0.1";  // without the brackets of an IPv6 address
  int port = 8080;                 // 0: any free port
  std::string cert, key;           // PEM files for HTTPS; both or neither
  std::string app;                 // the application script
  size_t max_body = 64 << 20;
  int call_timeout = 60;  // seconds; 0 for no limit
  std::chrono::seconds head_timeout{10};
  bool trace = false;  // the traces of error replies on standard error
  int max_arguments = 100000;
};

// What the command line asks for.
enum class Invocation { kServe, kHelp, kMisuse };

// Reads the arguments into *options. kHelp for a lone --help or -h; kMisuse
// for anything unknown, malformed or missing, *options then half filled.
Invocation ParseOptions(int argc, const char* const* argv, Options* options);

// What --help prints, and what a misuse prints on standard error.
extern const char kUsage[];

// How many threads the system lets this user start, as far as the process
// limit and the control group say; a large number when nothing limits them.
unsigned long long ThreadsAllowed();
// The workers to start when `threads_allowed` threads may be started: half
// of them, to leave some to the rest of the system, within 8 to 1024.
size_t WorkerCount(unsigned long long threads_allowed);

// Raises the soft limit on open descriptors to the hard one: a connection
// takes a descriptor, and the workers, not a low default, should bound the
// connections served.
void RaiseDescriptorLimit();

}  // namespace qsn
