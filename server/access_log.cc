// The access log's lines. Its fields come from clients: they are cut, and a
// client's control characters never reach the terminal that shows the log.
#include "server/access_log.h"

#include <cstdio>
#include <mutex>
#include <string_view>

#include "server/text_checks.h"

namespace qsn {

namespace {

std::mutex log_mutex;

// A field of the line: cut at a character's start, printable, and "-" when
// it has nothing to show.
std::string Field(std::string_view text) {
  if (text.empty()) return "-";
  if (text.size() <= 60) return Printable(text, false);
  size_t cut = 57;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  return Printable(text.substr(0, cut), false) + "...";
}

}  // namespace

std::string AccessLine(const AccessRecord& record, std::time_t when) {
  std::tm tm;
  localtime_r(&when, &tm);
  char date[32];
  std::strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S", &tm);
  std::string ms = record.ms < 0 ? "-" : std::to_string(record.ms);
  return std::string(date) + " " + Field(record.method) + " " + Field(record.path) + " " +
         Field(record.command) + " " + std::to_string(record.status) + " " +
         std::to_string(record.bytes) + " " + ms + (record.error ? " error" : "") + "\n";
}

void LogAccess(const AccessRecord& record) {
  std::string line = AccessLine(record, std::time(nullptr));
  std::lock_guard<std::mutex> lock(log_mutex);
  std::fputs(line.c_str(), stdout);
  std::fflush(stdout);
}

}  // namespace qsn
