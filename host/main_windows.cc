// Process entry of qsnclient on Windows: a GUI program, with no console.
// The command line comes from the C runtime's vector, in the ANSI code
// page, as a POSIX system's main would get it.
#include <stdlib.h>
#include <windows.h>

#include "host/client_main.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  return qsn::ClientMain(__argc, __argv);
}
