// qsnpack: packs a UTF-8 Tcl script into init.dat for the host, unpacks a
// shipped init.dat for inspection, and writes the init.dat of development
// that runs a script from where it lies.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <new>
#include <string>

#include "base/owners.h"
#include "base/platform.h"
#include "tools/pack.h"

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

// Reads the whole input, refusing one over `limit` bytes: a file by its
// size before a byte is read, a pipe or a device (/dev/zero never ends) as
// soon as it passes the limit, so memory stays bounded. With `upto_nul`,
// reading stops after the first chunk that holds a NUL byte: a source with
// one is refused anyway, and its rest does not matter.
bool ReadAll(const std::string& name, size_t limit, bool upto_nul, std::string* data) {
  qsn::FilePtr owned;
  FILE* in = stdin;
  std::string label = name == "-" ? "<stdin>" : name;
  if (name != "-") {
    owned.reset(std::fopen(name.c_str(), "rb"));
    if (!owned) return Fail(name, std::strerror(errno));
    in = owned.get();
  }
  struct stat info;
  if (fstat(fileno(in), &info) == 0 && S_ISREG(info.st_mode) &&
      static_cast<unsigned long long>(info.st_size) > limit)
    return Fail(label, qsn::TooLarge(limit));
  char chunk[65536];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, in)) > 0) {
    if (n > limit - data->size()) return Fail(label, qsn::TooLarge(limit));
    data->append(chunk, n);
    if (upto_nul && std::memchr(chunk, '\0', n)) return true;
  }
  if (std::ferror(in)) return Fail(label, std::strerror(errno));
  return true;
}

// Writes all of `data` and closes `fd`; false with the first failure's
// error number in *error.
bool WriteAndClose(int fd, const std::string& data, int* error) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      *error = n == 0 ? EIO : errno;
      close(fd);
      return false;
    }
    done += n;
  }
  if (close(fd) != 0) {
    *error = errno;
    return false;
  }
  return true;
}

// A device, a pipe or a terminal named as the output (/dev/stdout, a
// process substitution) is written to directly: replacing it with a
// regular file would destroy it.
bool WriteThrough(const std::string& name, const std::string& data) {
  int fd = qsn::OpenToWriteThrough(name);
  if (fd < 0) return Fail(name, std::strerror(errno));
  int error;
  return WriteAndClose(fd, data, &error) || Fail(name, std::strerror(error));
}

// Writes `data` to a temporary file beside `target`, gives it `mode` and
// renames it over `target`, so a failure never leaves a partial output
// file: on any failure the temporary file goes. `name` is the output as the
// user named it, for the message.
bool ReplaceFile(const std::string& name, const std::string& target, mode_t mode,
                 const std::string& data) {
  std::string temp = target + ".XXXXXX";
  int fd = qsn::CreateTemporaryFile(&temp);
  if (fd < 0) return Fail(name, std::strerror(errno));
  // The temporary file is private: without the mode it should have, the
  // output would be unreadable to others where the old one was not.
  int error = 0;
  bool ok = qsn::SetFileMode(fd, mode);
  if (!ok) {
    error = errno;
    close(fd);
  } else {
    ok = WriteAndClose(fd, data, &error);
  }
  if (ok && !qsn::RenameOver(temp, target)) ok = false, error = errno;
  if (!ok) {
    unlink(temp.c_str());
    return Fail(name, std::strerror(error));
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
  struct stat existing;
  bool exists = stat(name.c_str(), &existing) == 0;
  // A link loop, or a link to nothing: replacing the link with a file, or
  // creating what it points at, would not be what was asked.
  if (!exists && errno != ENOENT) return Fail(name, std::strerror(errno));
  std::error_code failure;
  if (!exists &&
      std::filesystem::is_symlink(std::filesystem::symlink_status(name, failure)))
    return Fail(name, "a symbolic link to nothing");
  if (exists && !S_ISREG(existing.st_mode)) return WriteThrough(name, data);

  std::string target = name;
  mode_t mode;
  if (exists) {
    // Writing to the name itself would replace a symbolic link with a file.
    target = qsn::ResolvedPath(name);
    if (target.empty()) return Fail(name, std::strerror(errno));
    mode = existing.st_mode & 07777;
  } else {
    mode_t mask = umask(0);
    umask(mask);
    mode = 0666 & ~mask;
  }
  return ReplaceFile(name, target, mode, data);
}

// Whether the output names the input's file, by whatever path or link:
// writing it would replace the input before anything else could read it.
bool SameFile(const std::string& in_name, const std::string& out_name) {
  if (in_name == "-" || out_name == "-") return false;
  std::error_code failure;
  return std::filesystem::equivalent(in_name, out_name, failure) && !failure;
}

// qsnpack dev SCRIPT.tcl OUTPUT
int WriteDevFile(const std::string& script_name, const std::string& out_name) {
  if (SameFile(script_name, out_name))
    return Fail(out_name, "the output is the input"), 1;
  // A name mistyped now would only fail at the host's start.
  qsn::FilePtr probe(std::fopen(script_name.c_str(), "rb"));
  struct stat info;
  if (!probe) return Fail(script_name, std::strerror(errno)), 1;
  if (fstat(fileno(probe.get()), &info) != 0 || !S_ISREG(info.st_mode))
    return Fail(script_name, "not a regular file"), 1;
  std::error_code failure;
  std::filesystem::path path = std::filesystem::absolute(script_name, failure);
  if (failure) return Fail(script_name, failure.message()), 1;
  std::string script, output, error;
  if (!qsn::DevScript(path.lexically_normal().u8string(), &script, &error) ||
      !qsn::PackScript(script, &output, &error))
    return Fail(script_name, error), 1;
  return WriteAll(out_name, output) ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
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
  qsn::SetBinaryMode(stdin);
  qsn::SetBinaryMode(stdout);
  std::string in_name = argv[2], out_name = argv[3];
  if (SameFile(in_name, out_name)) return Fail(out_name, "the output is the input"), 1;
  bool pack = verb == "pack";
  // A script near the size limit needs a few times its size in memory; a
  // machine without it gets the packer's one line, not an abort.
  try {
    std::string input, output, error;
    if (!ReadAll(in_name, pack ? qsn::kMaxSource : qsn::kMaxInitData, pack, &input))
      return 1;
    bool ok = pack ? qsn::PackScript(input, &output, &error)
                   : qsn::UnpackScript(input, &output, &error);
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
