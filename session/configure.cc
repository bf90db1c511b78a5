// configureQSNsession: the table of a session's options, each with how its
// value is read from the script and shown back, and the command that reads
// and sets them. A value is checked here, when the script sets it, so that
// a mistake shows where it was made rather than at some later request.
#include "session/configure.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>

#include "base/owners.h"
#include "base/tcl_text.h"
#include "session/error_code.h"
#include "session/options.h"
#include "session/session.h"
#include "session/session_table.h"
#include "session/texts.h"

namespace qsn {

namespace {

// Reads one option's value into *options; false, with the reason in *error
// when there is more to say than what the option's values must be, when the
// value is refused.
using Setter = bool (*)(Tcl_Obj* value, SessionOptions* options, std::string* error);
using Getter = Tcl_Obj* (*)(const SessionOptions& options);

struct Option {
  const char* name;  // first, where Tcl_GetIndexFromObjStruct reads it
  Getter get;
  Setter set;
  const char* must_be;
  bool secret;  // a refused value is not repeated in the message
};

std::string_view TextOf(Tcl_Obj* value) {
  int length = 0;
  const char* text = Tcl_GetStringFromObj(value, &length);
  return std::string_view(text, static_cast<size_t>(length));
}

// The name of a file libcurl (or the TLS library under it) will open, as
// Tcl's own `open` would name it: in the system's encoding, relative names
// from the working directory. False when it holds a NUL, which would cut
// it short, or when the file cannot be read or is empty.
bool ReadableFile(Tcl_Obj* value, std::string* native, std::string* error) {
  std::string_view text = TextOf(value);
  DString converted;
  Tcl_UtfToExternalDString(nullptr, text.data(), static_cast<int>(text.size()),
                           converted.get());
  if (std::strlen(converted.value()) != static_cast<size_t>(converted.length()))
    return false;
  FilePtr file(std::fopen(converted.value(), "rb"));
  char byte;
  if (!file || std::fread(&byte, 1, 1, file.get()) != 1) {
    // Opening a folder succeeds on some systems; reading it does not.
    if (file && !std::ferror(file.get()))
      *error = kFileEmpty;
    else
      *error = std::string(kCannotRead) + Tcl_ErrnoMsg(errno);
    return false;
  }
  native->assign(converted.value(), converted.length());
  return true;
}

// Whether `text` is one or more SHA-256 hashes, each "sha256//" and 44
// base64 characters, joined by ";", as libcurl compares them.
bool IsHashList(std::string_view text) {
  constexpr std::string_view kPrefix = "sha256//";
  constexpr size_t kBase64Length = 44;  // 32 bytes: 43 characters and "="
  for (;;) {
    if (text.substr(0, kPrefix.size()) != kPrefix) return false;
    text.remove_prefix(kPrefix.size());
    if (text.size() < kBase64Length) return false;
    for (size_t i = 0; i + 1 < kBase64Length; ++i) {
      char c = text[i];
      bool base64 = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                    (c >= '0' && c <= '9') || c == '+' || c == '/';
      if (!base64) return false;
    }
    if (text[kBase64Length - 1] != '=') return false;
    text.remove_prefix(kBase64Length);
    if (text.empty()) return true;
    if (text[0] != ';') return false;
    text.remove_prefix(1);
  }
}

bool SetPinnedKey(Tcl_Obj* value, SessionOptions* options, std::string* error) {
  TextOption pin;
  pin.script = TextOf(value);
  if (pin.script.rfind("sha256//", 0) == 0) {
    if (!IsHashList(pin.script)) return false;
    pin.curl = pin.script;
  } else if (!pin.script.empty() && !ReadableFile(value, &pin.curl, error)) {
    return false;
  }
  options->pinned_key = std::move(pin);
  return true;
}

bool SetCaFile(Tcl_Obj* value, SessionOptions* options, std::string* error) {
  TextOption file;
  file.script = TextOf(value);
  if (!file.script.empty() && !ReadableFile(value, &file.curl, error)) return false;
  options->ca_file = std::move(file);
  return true;
}

bool SetVerify(Tcl_Obj* value, SessionOptions* options, std::string*) {
  int verify = 0;
  if (Tcl_GetBooleanFromObj(nullptr, value, &verify) != TCL_OK) return false;
  options->verify = verify != 0;
  return true;
}

// Milliseconds that libcurl's long holds on every system (32 bits on Windows).
bool ReadMilliseconds(Tcl_Obj* value, long* ms) {
  Tcl_WideInt number = 0;
  if (Tcl_GetWideIntFromObj(nullptr, value, &number) != TCL_OK || number < 0 ||
      number > INT32_MAX)
    return false;
  *ms = static_cast<long>(number);
  return true;
}

bool SetTimeout(Tcl_Obj* value, SessionOptions* options, std::string*) {
  return ReadMilliseconds(value, &options->timeout_ms);
}

bool SetConnectTimeout(Tcl_Obj* value, SessionOptions* options, std::string*) {
  return ReadMilliseconds(value, &options->connect_timeout_ms);
}

// "user:password" goes to the proxy as UTF-8, as the request's fields go to
// the server; a NUL would cut it short.
bool SetProxyUser(Tcl_Obj* value, SessionOptions* options, std::string* error) {
  TextOption credentials;
  credentials.script = TextOf(value);
  if (!credentials.script.empty()) {
    if (credentials.script.find(':') == std::string::npos) return false;
    DString scratch;
    const char* wire = nullptr;
    int length = 0;
    if (!ToWireText(credentials.script.data(),
                    static_cast<int>(credentials.script.size()), scratch.get(), &wire,
                    &length, error) ||
        std::memchr(wire, '\0', static_cast<size_t>(length)))
      return false;
    credentials.curl.assign(wire, static_cast<size_t>(length));
  }
  options->proxy_user = std::move(credentials);
  return true;
}

Tcl_Obj* Text(const std::string& text) {
  return Tcl_NewStringObj(text.data(), static_cast<int>(text.size()));
}

const Option kOptions[] = {
    {"-pinnedkey", [](const SessionOptions& o) { return Text(o.pinned_key.script); },
     SetPinnedKey, kMustBePinnedKey, false},
    {"-verify", [](const SessionOptions& o) { return Tcl_NewBooleanObj(o.verify); },
     SetVerify, kMustBeBoolean, false},
    {"-cafile", [](const SessionOptions& o) { return Text(o.ca_file.script); }, SetCaFile,
     kMustBeCaFile, false},
    {"-timeout", [](const SessionOptions& o) { return Tcl_NewWideIntObj(o.timeout_ms); },
     SetTimeout, kMustBeMilliseconds, false},
    {"-connecttimeout",
     [](const SessionOptions& o) { return Tcl_NewWideIntObj(o.connect_timeout_ms); },
     SetConnectTimeout, kMustBeMilliseconds, false},
    {"-proxyuser", [](const SessionOptions& o) { return Text(o.proxy_user.script); },
     SetProxyUser, kMustBeProxyUser, true},
    {nullptr, nullptr, nullptr, nullptr, false},
};

int UsageError(Tcl_Interp* interp) {
  SetQsnErrorCode(interp, kErrorUsage);
  return TCL_ERROR;
}

// The option `word` names, exactly; null, with Tcl's message naming every
// option, when it names none.
const Option* LookUp(Tcl_Interp* interp, Tcl_Obj* word) {
  int index = 0;
  if (Tcl_GetIndexFromObjStruct(interp, word, kOptions, sizeof(Option), "option",
                                TCL_EXACT, &index) != TCL_OK) {
    UsageError(interp);
    return nullptr;
  }
  return &kOptions[index];
}

int RefuseValue(Tcl_Interp* interp, const Option& option, Tcl_Obj* value,
                const std::string& why) {
  Tcl_Obj* message =
      option.secret
          ? Tcl_ObjPrintf(kBadSecretValue, option.name, option.must_be)
          : Tcl_ObjPrintf(kBadValue, Tcl_GetString(value), option.name, option.must_be);
  if (!why.empty()) Tcl_AppendPrintfToObj(message, kValueReason, why.c_str());
  Tcl_SetObjResult(interp, message);
  return UsageError(interp);
}

Tcl_Obj* AllOptions(const SessionOptions& options) {
  Tcl_Obj* all = Tcl_NewListObj(0, nullptr);
  for (const Option* option = kOptions; option->name; ++option) {
    Tcl_ListObjAppendElement(nullptr, all, Tcl_NewStringObj(option->name, -1));
    Tcl_ListObjAppendElement(nullptr, all, option->get(options));
  }
  return all;
}

}  // namespace

// configureQSNsession sessionId ?option value ...?
int ConfigureCmd(ClientData, Tcl_Interp* interp, int objc,
                 Tcl_Obj* const objv[]) noexcept {
  if (objc < 2 || (objc > 3 && objc % 2 != 0)) {
    Tcl_WrongNumArgs(interp, 1, objv, kConfigureUsage);
    return UsageError(interp);
  }
  Session* session = FindSession(interp, objv[1]);
  if (!session) return TCL_ERROR;
  if (objc == 2) {
    Tcl_SetObjResult(interp, AllOptions(session->options()));
    return TCL_OK;
  }
  if (objc == 3) {
    const Option* option = LookUp(interp, objv[2]);
    if (!option) return TCL_ERROR;
    Tcl_SetObjResult(interp, option->get(session->options()));
    return TCL_OK;
  }
  // Into a copy, so that a refused value leaves every option as it was.
  SessionOptions options = session->options();
  for (int i = 2; i < objc; i += 2) {
    const Option* option = LookUp(interp, objv[i]);
    if (!option) return TCL_ERROR;
    std::string why;
    if (!option->set(objv[i + 1], &options, &why))
      return RefuseValue(interp, *option, objv[i + 1], why);
  }
  session->set_options(std::move(options));
  Tcl_ResetResult(interp);
  return TCL_OK;
}

}  // namespace qsn
