// The access log's lines. Its fields come from clients: they are cut, and a
// client's control characters never reach the terminal that shows the log.
#include "server/access_log.h"

#include <cstdio>
#include <mutex>

namespace qsn {

namespace {

std::mutex log_mutex;

// For the log: cut, with control characters (a terminal's escapes among
// them) shown as '?'.
std::string Printable(std::string text) {
  if (text.size() > 60) text = text.substr(0, 57) + "...";
  for (char& c : text)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  return text.empty() ? "-" : text;
}

}  // namespace

std::string AccessLine(const AccessRecord& record, std::time_t when) {
  std::tm tm;
  localtime_r(&when, &tm);
  char date[32];
  std::strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S", &tm);
  std::string ms = record.ms < 0 ? "-" : std::to_string(record.ms);
  return std::string(date) + " " + Printable(record.method) + " " +
         Printable(record.path) + " " + Printable(record.command) + " " +
         std::to_string(record.status) + " " + std::to_string(record.bytes) + " " + ms +
         (record.error ? " error" : "") + "\n";
}

void LogAccess(const AccessRecord& record) {
  std::string line = AccessLine(record, std::time(nullptr));
  std::lock_guard<std::mutex> lock(log_mutex);
  std::fputs(line.c_str(), stdout);
  std::fflush(stdout);
}

}  // namespace qsn
