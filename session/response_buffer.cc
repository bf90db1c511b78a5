// The response buffer: a string on the heap, made when the first bytes of a
// body arrive, grown by doubling up to the limit and no further.
#include "session/response_buffer.h"

#include <new>
#include <utility>

namespace {

// The holder is never destroyed: a script's `exit` ends the process after
// static destructors may have run, while no-wait transfers still write.
// The host empties it when the script returns.
ResponseBody& ResponseBuffer = *new ResponseBody;
Refusal refusal = Refusal::kNone;

// Room for `bytes` more, doubling as a string would, but never reserving
// past the limit: a body at the limit holds 1 GiB, not 2.
void Reserve(std::string* buffer, size_t bytes) {
  size_t needed = buffer->size() + bytes;
  if (needed <= buffer->capacity()) return;
  size_t grown = buffer->capacity() * 2;
  if (grown > kResponseLimit) grown = kResponseLimit;
  buffer->reserve(grown > needed ? grown : needed);
}

}  // namespace

void ResetResponseBuffer() {
  ResponseBuffer.reset();
  refusal = Refusal::kNone;
}

Refusal ResponseRefusal() { return refusal; }

ResponseBody TakeResponseBuffer() { return std::move(ResponseBuffer); }

size_t WriteToResponse(char* data, size_t size, size_t count, void*) noexcept {
  size_t bytes = size * count;
  size_t held = ResponseBuffer ? ResponseBuffer->size() : 0;
  if (bytes > kResponseLimit - held) {
    refusal = Refusal::kLimit;
    return 0;
  }
  try {
    if (!ResponseBuffer) ResponseBuffer = std::make_unique<std::string>();
    Reserve(ResponseBuffer.get(), bytes);
    ResponseBuffer->append(data, bytes);
  } catch (const std::bad_alloc&) {
    refusal = Refusal::kMemory;
    return 0;
  }
  return bytes;
}
