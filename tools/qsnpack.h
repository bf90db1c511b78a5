// The packer's command line, behind the entry point of each system.
#pragma once

namespace qsn {

// Runs qsnpack with `argv`, whose words (file names included) are UTF-8,
// and returns its exit status.
int QsnpackMain(int argc, char** argv);

}  // namespace qsn
