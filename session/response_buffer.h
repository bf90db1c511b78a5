// The body of the transfer running now, whatever its session: libcurl's
// write callback fills it, a request empties it before its transfer starts,
// and the outcome of a waited request takes it whole. This file alone holds
// the buffer.
#pragma once

#include <cstddef>
#include <memory>

#include "base/owners.h"

// The most a reply body may hold: 256 MiB. Well inside what a Tcl_DString
// can grow to (its doubling overflows an int past 1 GiB) and what a Tcl
// string holds. Parsing a body made of many tiny elements takes several
// times its size on top.
constexpr size_t kResponseLimit = size_t{256} << 20;

// A reply body, on the heap so that it changes hands by pointer: a large
// body is never copied, and its memory grows in place as Tcl reallocates.
// Its text is followed by a NUL.
using ResponseBody = std::unique_ptr<qsn::DString>;

// Empties the buffer and gives its memory back: a reply refused for its
// size may have left it at the limit, a no-wait request's reply is dropped,
// and the host lets it go when the script returns.
void ResetResponseBuffer();

// Moves the body out of the buffer, leaving it empty. Null when no byte of
// a body has arrived.
ResponseBody TakeResponseBuffer();

// libcurl's write callback: appends the bytes to the buffer (its data
// pointer is not used). Refuses bytes that would take the buffer past
// kResponseLimit, or that find no memory for the buffer's record, which
// makes libcurl end the transfer with CURLE_WRITE_ERROR.
size_t WriteToResponse(char* data, size_t size, size_t count, void*) noexcept;

// Whether the write callback refused bytes for want of memory, rather than
// for the limit, since the buffer was last emptied.
bool ResponseRefusedForMemory();
