// How many elements a Tcl list holds, counted on its text without building
// anything: a request's argument list is counted before Tcl splits it.
#pragma once

#include <cstddef>
#include <string_view>

namespace qsn {

// The number of elements of the list `text` as Tcl 8.6 counts them, or
// `most` + 1 as soon as there are more than `most`. The text may be UTF-8
// or Tcl's own form: only ASCII bytes are read. A list that is not well
// formed is counted up to its fault; Tcl's split then reports it.
size_t ListLength(std::string_view text, size_t most);

}  // namespace qsn
