// One connection's life: request after request read from it and answered,
// until the client, the limits or the server's stop end it.
#pragma once

#include <openssl/ssl.h>

#include <atomic>
#include <cstddef>

#include "server/app_call.h"
#include "server/connection.h"
#include "server/stop_flag.h"

namespace qsn {

// What every connection of one front shares. It and what it points to
// outlive the connections.
struct FrontShared {
  AppCall call;              // where requests go
  StopFlag* stop = nullptr;  // once requested, replies held back go out
  SSL_CTX* tls = nullptr;    // TLS when not null
  ConnectionLimits limits;
  size_t max_body = 0;  // larger bodies are refused
  // Readable once the front stops: every idle wait watches it.
  int stop_fd = -1;
  // The front accepts no more: a connection ends after its request.
  std::atomic<bool> closing{false};
};

// Serves the accepted socket `fd`, then closes it. A request not read to its
// end closes the connection after its answer, so that bytes the server
// never read are never taken for a request.
void ServeConnection(int fd, const FrontShared& shared);

}  // namespace qsn
