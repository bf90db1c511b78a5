// The failures that leave a user with nothing to see: no init file, no Tcl
// library, no Tk, a script that ends in an error. Each goes to the log and
// the console as it happens; at the end of the run the user of a program
// without a console (Windows) gets them in one message box.
#pragma once

#include <string>

namespace qsn {

class StartupFailures {
 public:
  // Logs `text` (UTF-8, ending in a line break) at level 1 and shows it on
  // the console (LogFailure), and keeps it for Show.
  void Report(const std::string& text);

  // When anything was reported, shows its first lines and the log's path
  // (ShowFailureBox), in Russian or English as the user's system speaks.
  void Show() const;

 private:
  std::string reported_;
};

}  // namespace qsn
