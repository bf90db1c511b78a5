// Failures at start-up: logged, shown on the console, and shown in a box.
#include "host/startup_failure.h"

#include "base/platform.h"
#include "base/utf8.h"
#include "log/log.h"

namespace qsn {

void StartupFailures::Report(const std::string& text) {
  LogFailure("%s", text.c_str());
  reported_ += FirstLines(text);
}

void StartupFailures::Show() const {
  if (reported_.empty()) return;
  std::string trace = FirstLines(reported_);
  std::string log = PathInWorkingDirectory("qsnclient.log");
  // In a folder the user may not write (a read-only share) the log could
  // not be opened: pointing there would send the user to nothing.
  bool logged = LogFileOpen();
  ShowFailureBox(
      "The application could not start, or it ended with an error:\n\n" + trace +
          (logged ? "\nMore in the log: " : "\nThe log could not be written: ") + log,
      "Приложение не запустилось или завершилось с ошибкой:\n\n" + trace +
          (logged ? "\nПодробнее в журнале: " : "\nЖурнал записать не удалось: ") + log);
}

}  // namespace qsn
