// The URL a request goes to: the session's base URL joined with the path
// the server assigned last.
#pragma once

#include "session/session.h"

// Rebuilds session->request_url: base_url, then path, with exactly one "/"
// between them where either side brings one, and one added where neither
// does (so an empty path gives the base URL with a trailing "/").
void ComposeRequestUrl(Session* session);
