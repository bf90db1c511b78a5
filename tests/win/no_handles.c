/* no_handles.exe PROGRAM [ARGS...]: starts PROGRAM as Explorer or a
 * shortcut starts a GUI program, with no standard input, output or error,
 * waits for it and exits with its exit status. The command line after this
 * program's own name is PROGRAM's, as the system keeps it. */
#include <windows.h>

int wmain(void) {
  const wchar_t* line = GetCommandLineW();
  /* Past this program's name, quoted or not, and the blanks after it. */
  int quoted = 0;
  for (; *line && (quoted || (*line != L' ' && *line != L'\t')); ++line)
    if (*line == L'"') quoted = !quoted;
  while (*line == L' ' || *line == L'\t') ++line;

  static wchar_t command[32768];
  lstrcpynW(command, line, 32768);
  STARTUPINFOW start;
  ZeroMemory(&start, sizeof start);
  start.cb = sizeof start;
  start.dwFlags = STARTF_USESTDHANDLES;
  start.hStdInput = start.hStdOutput = start.hStdError = NULL;
  PROCESS_INFORMATION process;
  if (!CreateProcessW(NULL, command, NULL, NULL, TRUE, 0, NULL, NULL, &start, &process))
    return 120;
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD status = 121;
  GetExitCodeProcess(process.hProcess, &status);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return (int)status;
}
