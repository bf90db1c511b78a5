// Process entry of qsnclient.
#include "host/client_main.h"

int main(int argc, char** argv) { return qsn::ClientMain(argc, argv); }
