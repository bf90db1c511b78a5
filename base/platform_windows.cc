// The platform's differences on Windows. There is no iconv: Windows' own
// code page table converts the log's text, one character at a time, so that
// a character the table lacks stops the conversion as it stops iconv on
// POSIX systems. Paths are UTF-8 and go to the wide calls.
#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <stdlib.h>
#include <sys/stat.h>
// Winsock's header brings in the rest of Windows' (windows.h) after itself.
#include <winsock2.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <utility>

#include "base/platform.h"
#include "base/utf8.h"

namespace qsn {
namespace {

// The code page of the log's character set.
constexpr UINT kCp866 = 866;

// The byte of the single-byte `code_page` for the character `c`, or -1
// when the page has none. No best fit: "ä" does not become "a".
int ToCodePage(UINT code_page, unsigned c) {
  if (c < 0x80) return static_cast<int>(c);
  // Every character of these pages lies in the Basic Multilingual Plane.
  if (c > 0xFFFF) return -1;
  wchar_t wide = static_cast<wchar_t>(c);
  char byte[2];
  BOOL used_default = FALSE;
  int n = WideCharToMultiByte(code_page, WC_NO_BEST_FIT_CHARS, &wide, 1, byte,
                              sizeof byte, nullptr, &used_default);
  if (n != 1 || used_default) return -1;
  return static_cast<unsigned char>(byte[0]);
}

// The system's words for a Winsock or system error, in UTF-8.
std::string SystemMessage(DWORD code) {
  wchar_t wide[512];
  DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                           nullptr, code, 0, wide, sizeof wide / sizeof wide[0], nullptr);
  while (n > 0 && (wide[n - 1] == L'\r' || wide[n - 1] == L'\n' || wide[n - 1] == L'.'))
    --n;
  if (n == 0) return "error " + std::to_string(code);
  char utf8[1536];
  int length = WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(n), utf8,
                                   sizeof utf8, nullptr, nullptr);
  return length > 0 ? std::string(utf8, length) : "error " + std::to_string(code);
}

// UTF-8 to UTF-16 and back, for the system's wide calls. Text that does
// not convert gives an empty string.
std::wstring WideOfUtf8(std::string_view text) {
  int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                              nullptr, 0);
  std::wstring wide(n > 0 ? n : 0, L'\0');
  if (n > 0)
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                        wide.data(), n);
  return wide;
}

std::string Utf8OfWide(const wchar_t* wide) {
  int n = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 1) return std::string();
  std::string text(n, '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide, -1, text.data(), n, nullptr, nullptr);
  text.pop_back();  // the terminating NUL
  return text;
}

// The errno value closest to a failed call's GetLastError, for callers that
// report errno.
int ErrnoOf(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return EACCES;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ENOSPC;
    case ERROR_NOT_SAME_DEVICE:
      return EXDEV;
    default:
      return EIO;
  }
}

}  // namespace

std::string PathInWorkingDirectory(std::string_view name) {
  std::string native(name);
  std::replace(native.begin(), native.end(), '/', '\\');
  // The wide form: the ANSI one turns what the code page lacks (a Russian
  // user's folder on a Western Windows) into '?', a path to nowhere.
  wchar_t cwd[1024];
  if (!_wgetcwd(cwd, sizeof cwd / sizeof cwd[0])) return ".\\" + native;
  std::string path = Utf8OfWide(cwd);
  if (path.empty()) return ".\\" + native;
  // The root of a drive ("C:\") already ends in the separator.
  if (path.back() != '\\') path += '\\';
  return path + native;
}

bool SetEnvironment(const char* name, const char* value) {
  // Tcl finds its library through the process's environment block, read
  // as UTF-16; its `env` array starts from the C runtime's wide copy, which
  // the block's setter leaves alone.
  std::wstring wide_name = WideOfUtf8(name), wide_value = WideOfUtf8(value);
  return SetEnvironmentVariableW(wide_name.c_str(), wide_value.c_str()) &&
         _wputenv_s(wide_name.c_str(), wide_value.c_str()) == 0;
}

struct AppendFile::System {
  HANDLE handle = INVALID_HANDLE_VALUE;
};

AppendFile::AppendFile() = default;
AppendFile::~AppendFile() {
  if (system_) CloseHandle(system_->handle);
}
AppendFile::AppendFile(AppendFile&&) noexcept = default;
AppendFile& AppendFile::operator=(AppendFile&& other) noexcept {
  if (system_) CloseHandle(system_->handle);
  system_ = std::move(other.system_);
  return *this;
}

AppendFile::operator bool() const { return system_ != nullptr; }

bool AppendFile::Append(const char* data, size_t length) const {
  if (!system_) return false;
  while (length > 0) {
    DWORD chunk = static_cast<DWORD>(std::min<size_t>(length, 1u << 30));
    DWORD written = 0;
    if (!WriteFile(system_->handle, data, chunk, &written, nullptr) || written == 0)
      return false;
    data += written;
    length -= written;
  }
  return true;
}

AppendFile OpenEmptiedForAppending(const std::string& path) {
  std::wstring wide = WideOfUtf8(path);
  constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  // A handle for appending alone cannot empty the file: one that may write
  // anywhere does it first.
  HANDLE emptied = CreateFileW(wide.c_str(), GENERIC_WRITE, kShareAll, nullptr,
                               TRUNCATE_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (emptied != INVALID_HANDLE_VALUE) CloseHandle(emptied);
  // Append-only access: the system writes each call at the end of the file
  // as it is then, whoever else has written or emptied it meanwhile. Every
  // instance lets the others read, write and rename the log.
  HANDLE handle = CreateFileW(wide.c_str(), FILE_APPEND_DATA | SYNCHRONIZE, kShareAll,
                              nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  AppendFile file;
  if (handle == INVALID_HANDLE_VALUE) return file;
  file.system_ = std::make_unique<AppendFile::System>();
  file.system_->handle = handle;
  return file;
}

void ShowOnConsole(std::string_view) {
  // A GUI program has no console to show anything on: ShowFailureBox does.
}

void ShowFailureBox(std::string_view english, std::string_view russian) {
  const wchar_t* off = _wgetenv(WideOfUtf8(kNoMessageBoxVariable).c_str());
  if (off && *off) return;
  bool in_russian = PRIMARYLANGID(GetUserDefaultUILanguage()) == LANG_RUSSIAN;
  std::wstring text = WideOfUtf8(in_russian ? russian : english);
  MessageBoxW(nullptr, text.c_str(), L"qsnclient",
              MB_OK | MB_ICONERROR | MB_SETFOREGROUND | MB_TOPMOST);
}

bool SystemTclLibraryMayServe() { return false; }

std::time_t TimeNow() {
  // 100-nanosecond intervals since 1601, the system's clock in UTC.
  constexpr ULONGLONG kUnixEpoch = 116444736000000000ull, kPerSecond = 10000000ull;
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  ULONGLONG ticks =
      (static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  return static_cast<std::time_t>((ticks - kUnixEpoch) / kPerSecond);
}

std::tm LocalTime(std::time_t t) {
  std::tm broken_down{};
  localtime_s(&broken_down, &t);
  return broken_down;
}

bool IsConnectInProgress(long os_error) {
  return os_error == WSAEINPROGRESS || os_error == WSAEWOULDBLOCK;
}

long LastSocketError() { return WSAGetLastError(); }

bool IsDescriptorShortage(long os_error) { return os_error == WSAEMFILE; }

std::string OsErrorText(long os_error) {
  // The outcomes a script tells apart, worded as on POSIX systems.
  switch (os_error) {
    case WSAECONNREFUSED:
      return "Connection refused";
    case WSAETIMEDOUT:
      return "Connection timed out";
    case WSAECONNRESET:
      return "Connection reset by peer";
    case WSAEHOSTUNREACH:
      return "No route to host";
    case WSAENETUNREACH:
      return "Network is unreachable";
    case WSAEINPROGRESS:
    case WSAEWOULDBLOCK:
      return "Operation now in progress";
    case WSAEMFILE:
      return "Too many open files";
    default:
      return SystemMessage(static_cast<DWORD>(os_error));
  }
}

struct Cp866Fallback::System {};

Cp866Fallback::Cp866Fallback() : system_(std::make_unique<System>()) {}
Cp866Fallback::~Cp866Fallback() = default;

bool Cp866Fallback::ok() const { return IsValidCodePage(kCp866); }

size_t Cp866Fallback::Convert(const char* text, size_t length, char* out) const {
  size_t i = 0, o = 0;
  while (i < length) {
    unsigned c = 0;
    size_t n = DecodeUtf8(std::string_view(text + i, length - i), &c);
    int byte = n ? ToCodePage(kCp866, c) : -1;
    if (byte < 0) break;
    out[o++] = static_cast<char>(byte);
    i += n;
  }
  return o;
}

void SetBinaryMode(FILE* stream) { _setmode(_fileno(stream), _O_BINARY); }

namespace {

bool Failed(std::string* error) {
  *error = std::strerror(errno);
  return false;
}

bool FailedWith(DWORD code, std::string* error) {
  errno = ErrnoOf(code);
  return Failed(error);
}

void StatusOf(const struct _stat64& info, FileStatus* status) {
  status->exists = true;
  status->regular = (info.st_mode & _S_IFMT) == _S_IFREG;
  status->mode = info.st_mode & 0777;
  status->size = static_cast<unsigned long long>(info.st_size);
}

}  // namespace

bool StatPath(const std::string& path, FileStatus* status, std::string* error) {
  *status = FileStatus();
  struct _stat64 info;
  if (_wstat64(WideOfUtf8(path).c_str(), &info) == 0) {
    StatusOf(info, status);
    return true;
  }
  return errno == ENOENT || Failed(error);
}

bool StatOpenFile(FILE* file, FileStatus* status, std::string* error) {
  *status = FileStatus();
  struct _stat64 info;
  if (_fstat64(_fileno(file), &info) != 0) return Failed(error);
  StatusOf(info, status);
  return true;
}

bool OpenFile(const std::string& path, const char* mode, FilePtr* file,
              std::string* error) {
  file->reset(_wfopen(WideOfUtf8(path).c_str(), WideOfUtf8(mode).c_str()));
  return *file || Failed(error);
}

unsigned NewFileMode() {
  // Files carry access lists, not mode bits: a new file gets its folder's.
  return 0666;
}

bool OpenToWriteThrough(const std::string& path, int* fd, std::string* error) {
  *fd = _wopen(WideOfUtf8(path).c_str(), _O_WRONLY | _O_BINARY | _O_NOINHERIT);
  return *fd >= 0 || Failed(error);
}

bool CreateTemporaryFile(std::string* name_template, int* fd, std::string* error) {
  // _wmktemp_s picks a name; _O_EXCL makes taking it fail if another
  // process took it first, so the name is tried again.
  const std::wstring pattern = WideOfUtf8(*name_template);
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::wstring name = pattern;
    errno_t made = _wmktemp_s(name.data(), name.size() + 1);
    if (made != 0) {
      errno = made;
      return Failed(error);
    }
    errno_t opened = _wsopen_s(fd, name.c_str(),
                               _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT,
                               _SH_DENYNO, _S_IREAD | _S_IWRITE);
    if (opened == 0) {
      *name_template = Utf8OfWide(name.c_str());
      return true;
    }
    if (opened != EEXIST) {
      errno = opened;
      return Failed(error);
    }
  }
  errno = EEXIST;
  return Failed(error);
}

bool SetFileMode(int, unsigned, std::string*) {
  // Windows files carry access lists, not mode bits: a new file gets its
  // folder's, as the file it replaces had.
  return true;
}

bool WriteToFile(int fd, std::string_view data, std::string* error) {
  size_t done = 0;
  while (done < data.size()) {
    // _write takes an unsigned count: at most a gigabyte at a time.
    unsigned piece =
        static_cast<unsigned>(std::min<size_t>(data.size() - done, 1u << 30));
    int n = _write(fd, data.data() + done, piece);
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return Failed(error);
    }
    done += n;
  }
  return true;
}

bool WriteAndClose(int fd, std::string_view data, std::string* error) {
  if (!WriteToFile(fd, data, error)) {
    _close(fd);
    return false;
  }
  return _close(fd) == 0 || Failed(error);
}

bool RenameOver(const std::string& from, const std::string& to, std::string* error) {
  if (MoveFileExW(WideOfUtf8(from).c_str(), WideOfUtf8(to).c_str(),
                  MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    return true;
  return FailedWith(GetLastError(), error);
}

void RemoveFile(const std::string& path) { _wunlink(WideOfUtf8(path).c_str()); }

bool ResolvedPath(const std::string& path, std::string* resolved, std::string* error) {
  wchar_t* full = _wfullpath(nullptr, WideOfUtf8(path).c_str(), 0);
  if (!full) return Failed(error);
  *resolved = Utf8OfWide(full);
  std::free(full);
  return true;
}

}  // namespace qsn
