// Reading the form of a request.
#include "server/body_reader.h"

#include <strings.h>

#include <string>

namespace qsn {

const char kNotMultipart[] = "the request is not multipart/form-data";

namespace {

// Headers the library adds with the connection's addresses, read from the
// socket. A client may send headers of the same names: the application
// must never take those for the addresses.
bool IsSocketHeader(const std::string& name) {
  for (const char* socket_header :
       {"REMOTE_ADDR", "REMOTE_PORT", "LOCAL_ADDR", "LOCAL_PORT"})
    if (strcasecmp(name.c_str(), socket_header) == 0) return true;
  return false;
}

}  // namespace

AppRequest RequestOf(const httplib::Request& req) {
  AppRequest request;
  request.path = req.path;
  for (const auto& header : req.headers)
    if (!IsSocketHeader(header.first)) request.headers.insert(header);
  request.headers.emplace("REMOTE_ADDR", req.remote_addr);
  request.headers.emplace("REMOTE_PORT", std::to_string(req.remote_port));
  request.headers.emplace("LOCAL_ADDR", req.local_addr);
  request.headers.emplace("LOCAL_PORT", std::to_string(req.local_port));
  return request;
}

bool ReadBody(const httplib::Request& req, const httplib::ContentReader& reader,
              size_t max_body, AppRequest* request, bool* too_big) {
  size_t received = 0;
  auto count = [&](size_t length) {
    received += length;
    *too_big = received > max_body;
    return !*too_big;
  };
  if (!req.is_multipart_form_data()) {
    request->protocol_error = kNotMultipart;
    return reader([&](const char*, size_t length) { return count(length); });
  }
  std::string* target = nullptr;
  bool has_command = false, has_arglist = false;
  bool read = reader(
      [&](const httplib::MultipartFormData& field) {
        target = nullptr;
        if (field.name == "command" && !has_command) {
          has_command = true;
          target = &request->command;
        } else if (field.name == "arglist" && !has_arglist) {
          has_arglist = true;
          target = &request->arglist;
        }
        return true;
      },
      [&](const char* data, size_t length) {
        if (!count(length)) return false;
        if (target) target->append(data, length);
        return true;
      });
  if (read && (!has_command || !has_arglist))
    request->protocol_error = "the request lacks the field \"command\" or \"arglist\"";
  return read;
}

}  // namespace qsn
