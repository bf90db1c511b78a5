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
  ShowFailureBox("The application could not start, or it ended with an error:\n\n" +
                     trace + "\nMore in the log: " + log,
                 "Приложение не запустилось или завершилось с ошибкой:\n\n" + trace +
                     "\nПодробнее в журнале: " + log);
}

}  // namespace qsn
