// Process entry of qsnpack.exe on Windows: the command line as the system
// keeps it, in UTF-16, turned into UTF-8, so that a file name outside the
// ANSI code page (Cyrillic on a Western Windows) reaches the packer whole.
#include <windows.h>

#include <cwchar>
#include <string>
#include <vector>

#include "tools/qsnpack.h"

namespace {

std::string Utf8(const wchar_t* wide) {
  int n = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
  std::string text(n > 0 ? n : 1, '\0');
  if (n > 0) WideCharToMultiByte(CP_UTF8, 0, wide, -1, text.data(), n, nullptr, nullptr);
  text.pop_back();  // the terminating NUL
  return text;
}

}  // namespace

int wmain(int argc, wchar_t** wargv) {
  std::vector<std::string> words;
  for (int i = 0; i < argc; ++i) words.push_back(Utf8(wargv[i]));
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  // Messages name files in UTF-8; the console shows them so while the
  // packer runs, and gets its own code page back after.
  UINT console = GetConsoleOutputCP();
  SetConsoleOutputCP(CP_UTF8);
  int status = qsn::QsnpackMain(argc, argv.data());
  if (console) SetConsoleOutputCP(console);
  return status;
}
