// qsnpack: packs a UTF-8 Tcl script into init.dat for the host, unpacks a
// shipped init.dat for inspection, and writes the init.dat of development
// that runs a script from where it lies. File names are UTF-8 throughout
// (the entry point gives them so on every system); every call on a file by
// its name goes through base/platform.h, which takes them so.
#include "tools/qsnpack.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <new>
#include <string>

#include "base/owners.h"
#include "base/platform.h"
#include "tools/pack.h"

namespace qsn {
namespace {

constexpr char kUsage[] =
    "Usage: qsnpack pack SCRIPT.tcl init.dat\n"
    "       qsnpack unpack init.dat SCRIPT.tcl\n"
    "       qsnpack dev SCRIPT.tcl [init.dat]\n"
    "\n"
    "pack    reads a Tcl script in UTF-8, converts it to KOI8-R and enciphers\n"
    "        it into the init file the host runs from its working directory.\n"
    "        A script with an unfinished command (a brace, bracket or quote\n"
    "        never closed) is refused, naming the line where it starts.\n"
    "unpack  deciphers an init file and writes its script back in UTF-8.\n"
    "dev     FOR DEVELOPMENT ONLY: writes an init file (init.dat by default)\n"
    "        that holds no script, only a command to source SCRIPT.tcl by its\n"
    "        absolute path, so the host runs the script as it is at each start:\n"
    "        edit and run again, no packing. It ships nothing; use pack to ship.\n"
    "\n"
    "A file name of - stands for standard input or standard output.\n"
    "On bad input qsnpack prints one line naming the file and the problem,\n"
    "exits with status 1 and leaves no output file behind.\n";

bool Fail(const std::string& file, const std::string& problem) {
  std::fprintf(stderr, "qsnpack: %s: %s\n", file.c_str(), problem.c_str());
  return false;
}

// A UTF-8 name as the standard library's paths take it on every system.
std::filesystem::path Path(const std::string& name) {
  return std::filesystem::u8path(name);
}

// Reads the whole input, refusing one over `limit` bytes: a file by its
// size before a byte is read, a pipe or a device (/dev/zero never ends) as
// soon as it passes the limit, so memory stays bounded. With `upto_nul`,
// reading stops after the first chunk that holds a NUL byte: a source with
// one is refused anyway, and its rest does not matter.
bool ReadAll(const std::string& name, size_t limit, bool upto_nul, std::string* data) {
  FilePtr owned;
  FILE* in = stdin;
  std::string label = name == "-" ? "<stdin>" : name, error;
  if (name != "-") {
    if (!OpenFile(name, "rb", &owned, &error)) return Fail(name, error);
    in = owned.get();
  }
  FileStatus info;
  if (StatOpenFile(in, &info, &error) && info.regular && info.size > limit)
    return Fail(label, TooLarge(limit));
  char chunk[65536];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, in)) > 0) {
    if (n > limit - data->size()) return Fail(label, TooLarge(limit));
    data->append(chunk, n);
    if (upto_nul && std::memchr(chunk, '\0', n)) return true;
  }
  if (std::ferror(in)) return Fail(label, std::strerror(errno));
  return true;
}

// A device, a pipe or a terminal named as the output (/dev/stdout, a
// process substitution) is written to directly: replacing it with a
// regular file would destroy it.
bool WriteThrough(const std::string& name, const std::string& data) {
  int fd;
  std::string error;
  if (!OpenToWriteThrough(name, &fd, &error) || !WriteAndClose(fd, data, &error))
    return Fail(name, error);
  return true;
}

// Writes `data` to a temporary file beside `target`, gives it `mode` and
// renames it over `target`, so a failure never leaves a partial output
// file: on any failure the temporary file goes. `name` is the output as the
// user named it, for the message.
bool ReplaceFile(const std::string& name, const std::string& target, unsigned mode,
                 const std::string& data) {
  std::string temp = target + ".XXXXXX", error;
  int fd;
  if (!CreateTemporaryFile(&temp, &fd, &error)) return Fail(name, error);
  // The temporary file is private: without the mode it should have, the
  // output would be unreadable to others where the old one was not.
  bool ok = SetFileMode(fd, mode, &error);
  if (!ok) {
    std::string ignored;
    WriteAndClose(fd, "", &ignored);  // closed, nothing written
  } else {
    ok = WriteAndClose(fd, data, &error);
  }
  ok = ok && RenameOver(temp, target, &error);
  if (!ok) {
    RemoveFile(temp);
    return Fail(name, error);
  }
  return true;
}

// A file is written through a temporary file in its own folder and renamed
// into place, so a failure never leaves a partial output file. A symbolic
// link is followed, so the file it points at is replaced and the link
// stays; an existing file keeps its permissions.
bool WriteAll(const std::string& name, const std::string& data) {
  if (name == "-") {
    if (std::fwrite(data.data(), 1, data.size(), stdout) != data.size() ||
        std::fflush(stdout) != 0)
      return Fail("<stdout>", std::strerror(errno));
    return true;
  }
  FileStatus existing;
  std::string error;
  if (!StatPath(name, &existing, &error)) return Fail(name, error);
  // A link to nothing: replacing the link with a file, or creating what it
  // points at, would not be what was asked. (A loop of links fails above.)
  std::error_code failure;
  if (!existing.exists &&
      std::filesystem::is_symlink(std::filesystem::symlink_status(Path(name), failure)))
    return Fail(name, "a symbolic link to nothing");
  if (existing.exists && !existing.regular) return WriteThrough(name, data);

  std::string target = name;
  unsigned mode = NewFileMode();
  if (existing.exists) {
    // Writing to the name itself would replace a symbolic link with a file.
    if (!ResolvedPath(name, &target, &error)) return Fail(name, error);
    mode = existing.mode;
  }
  return ReplaceFile(name, target, mode, data);
}

// Whether the output names the input's file, by whatever path or link:
// writing it would replace the input before anything else could read it.
bool SameFile(const std::string& in_name, const std::string& out_name) {
  if (in_name == "-" || out_name == "-") return false;
  std::error_code failure;
  return std::filesystem::equivalent(Path(in_name), Path(out_name), failure) && !failure;
}

// qsnpack dev SCRIPT.tcl OUTPUT
int WriteDevFile(const std::string& script_name, const std::string& out_name) {
  if (SameFile(script_name, out_name))
    return Fail(out_name, "the output is the input"), 1;
  // A name mistyped now would only fail at the host's start.
  FilePtr probe;
  FileStatus info;
  std::string error;
  if (!OpenFile(script_name, "rb", &probe, &error) ||
      !StatOpenFile(probe.get(), &info, &error))
    return Fail(script_name, error), 1;
  if (!info.regular) return Fail(script_name, "not a regular file"), 1;
  std::error_code failure;
  std::filesystem::path path = std::filesystem::absolute(Path(script_name), failure);
  if (failure) return Fail(script_name, failure.message()), 1;
  std::string script, output;
  if (!DevScript(path.lexically_normal().u8string(), &script, &error) ||
      !PackScript(script, &output, &error))
    return Fail(script_name, error), 1;
  return WriteAll(out_name, output) ? 0 : 1;
}

}  // namespace

int QsnpackMain(int argc, char** argv) {
  if (argc == 2 && (!std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h"))) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  std::string verb = argc > 1 ? argv[1] : "";
  if (verb == "dev" && (argc == 3 || argc == 4))
    return WriteDevFile(argv[2], argc == 4 ? argv[3] : "init.dat");
  if (argc != 4 || (verb != "pack" && verb != "unpack")) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  // init.dat and the scripts go through "-" byte for byte.
  SetBinaryMode(stdin);
  SetBinaryMode(stdout);
  std::string in_name = argv[2], out_name = argv[3];
  if (SameFile(in_name, out_name)) return Fail(out_name, "the output is the input"), 1;
  bool pack = verb == "pack";
  // A script near the size limit needs a few times its size in memory; a
  // machine without it gets the packer's one line, not an abort.
  try {
    std::string input, output, error;
    if (!ReadAll(in_name, pack ? kMaxSource : kMaxInitData, pack, &input)) return 1;
    bool ok =
        pack ? PackScript(input, &output, &error) : UnpackScript(input, &output, &error);
    if (!ok) {
      Fail(in_name == "-" ? "<stdin>" : in_name, error);
      return 1;
    }
    return WriteAll(out_name, output) ? 0 : 1;
  } catch (const std::bad_alloc&) {
    Fail(in_name == "-" ? "<stdin>" : in_name, "out of memory");
    return 1;
  }
}

}  // namespace qsn
