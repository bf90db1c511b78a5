// The response buffer: a dynamic string on the heap, made when the first
// bytes of a body arrive.
#include "session/response_buffer.h"

#include <new>
#include <utility>

namespace {

// The holder is never destroyed: a script's `exit` ends the process after
// Tcl has finalized its allocator, too late to free a string through it.
// The host empties it when the script returns.
ResponseBody& ResponseBuffer = *new ResponseBody;
bool refused_for_memory = false;

}  // namespace

void ResetResponseBuffer() {
  ResponseBuffer.reset();
  refused_for_memory = false;
}

bool ResponseRefusedForMemory() { return refused_for_memory; }

ResponseBody TakeResponseBuffer() { return std::move(ResponseBuffer); }

size_t WriteToResponse(char* data, size_t size, size_t count, void*) noexcept {
  size_t bytes = size * count;
  // Without memory for the string's record the transfer ends as a refused
  // write; without memory for its text Tcl ends the process, as it does
  // anywhere.
  if (!ResponseBuffer) ResponseBuffer.reset(new (std::nothrow) qsn::DString);
  if (!ResponseBuffer) {
    refused_for_memory = true;
    return 0;
  }
  if (bytes > kResponseLimit - static_cast<size_t>(ResponseBuffer->length())) return 0;
  Tcl_DStringAppend(ResponseBuffer->get(), data, static_cast<int>(bytes));
  return bytes;
}
