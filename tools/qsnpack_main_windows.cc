// Process entry of qsnpack.exe on Windows: the command line as the system
// keeps it, in UTF-16, turned into UTF-8, so that a file name outside the
// ANSI code page (Cyrillic on a Western Windows) reaches the packer whole.
#include <windows.h>

#include <cwchar>
#include <string>
#include <vector>

#include "base/platform.h"
#include "tools/qsnpack.h"

namespace {

std::string Utf8(const wchar_t* wide) {
  int n = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
  std::string text(n > 0 ? n : 1, '\0');
  if (n > 0) WideCharToMultiByte(CP_UTF8, 0, wide, -1, text.data(), n, nullptr, nullptr);
  text.pop_back();  // the terminating NUL
  return text;
}

// The folder qsnpack.exe lies in, in UTF-8.
std::string ProgramFolder() {
  std::wstring path(32768, L'\0');
  DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
  path.resize(n);
  size_t slash = path.find_last_of(L"\\/");
  return Utf8(slash == std::wstring::npos ? L"." : path.substr(0, slash).c_str());
}

}  // namespace

int wmain(int argc, wchar_t** wargv) {
  std::vector<std::string> words;
  for (int i = 0; i < argc; ++i) words.push_back(Utf8(wargv[i]));
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  // Tcl's encodings come from the package's library beside the program,
  // where Tcl itself would look in the folder above it; a TCL_LIBRARY of
  // the environment's (the build's own library) is left as it is.
  if (!_wgetenv(L"TCL_LIBRARY"))
    qsn::SetEnvironment("TCL_LIBRARY", (ProgramFolder() + "\\lib\\tcl8.5").c_str());
  // Messages name files in UTF-8; the console shows them so while the
  // packer runs, and gets its own code page back after.
  UINT console = GetConsoleOutputCP();
  SetConsoleOutputCP(CP_UTF8);
  int status = qsn::QsnpackMain(argc, argv.data());
  if (console) SetConsoleOutputCP(console);
  return status;
}
