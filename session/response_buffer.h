// The body of the transfer running now, whatever its session: libcurl's
// write callback fills it, a request empties it before its transfer starts,
// and the outcome of a waited request takes it whole. This file alone holds
// the buffer.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

// The most a reply body may hold: 1 GiB. The buffer is no Tcl_DString,
// whose growth overflows an int at 1 GiB; what Tcl makes of the body (a
// string of at most 2 GiB, a split list whose block must stay under 4 GiB)
// is bounded where the reply is parsed.
constexpr size_t kResponseLimit = size_t{1} << 30;

// A reply body, on the heap so that it changes hands by pointer: a large
// body is never copied. Its text is followed by a NUL, as a std::string's is.
using ResponseBody = std::unique_ptr<std::string>;

// Why the write callback refused bytes since the buffer was last emptied.
enum class Refusal { kNone, kLimit, kMemory };

// Empties the buffer and gives its memory back: a reply refused for its
// size may have left it at the limit, a no-wait request's reply is dropped,
// and the host lets it go when the script returns.
void ResetResponseBuffer();

// Moves the body out of the buffer, leaving it empty. Null when no byte of
// a body has arrived.
ResponseBody TakeResponseBuffer();

// libcurl's write callback: appends the bytes to the buffer (its data
// pointer is not used). Refuses bytes that would take the buffer past
// kResponseLimit, or that find no memory, which makes libcurl end the
// transfer with CURLE_WRITE_ERROR.
size_t WriteToResponse(char* data, size_t size, size_t count, void*) noexcept;

// Whether and why the write callback refused bytes since the buffer was
// last emptied.
Refusal ResponseRefusal();
