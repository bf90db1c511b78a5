// Process entry of qsnpack: the command line's bytes are the file names the
// system takes, UTF-8 in any usual locale.
#include "tools/qsnpack.h"

int main(int argc, char** argv) { return qsn::QsnpackMain(argc, argv); }
