// Reading the cookies a client sent in its Cookie headers.
#pragma once

#include <map>
#include <optional>
#include <string>

namespace qsn {

// The value of the first cookie called exactly `name` in the Cookie headers
// (the header's name in any case) among `headers`, or none when no such
// cookie was sent. A cookie is "name=value" between semicolons; blanks
// before the name are skipped, the value is taken as sent.
std::optional<std::string> FindCookie(
    const std::multimap<std::string, std::string>& headers, const std::string& name);

}  // namespace qsn
