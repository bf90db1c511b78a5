// Fuzzes the reply parser with what a server might send: any bytes as the
// body, parsed as a waited request does, with the outcome checked against
// Tcl's own list parser.
#include <tcl.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <optional>
#include <string>

#include "base/owners.h"
#include "base/tcl_text.h"
#include "log/log.h"
#include "session/reply.h"
#include "tests/fuzz/fuzz_util.h"

namespace {

constexpr char kOddCount[] = "Нечётное число элементов в ответе";
constexpr char kServerError[] = "Ошибка на сервере:";
constexpr char kMarker[] = "result before the reply";

Tcl_Interp* interp = nullptr;

std::string Result() { return Tcl_GetStringResult(interp); }

std::string ObjString(Tcl_Obj* obj) {
  int length = 0;
  const char* bytes = Tcl_GetStringFromObj(obj, &length);
  return std::string(bytes, length);
}

// What the reply should do, worked out with the list object parser rather
// than Tcl_SplitList.
struct Expected {
  bool well_formed = false;
  bool odd = false;
  std::map<std::string, std::string> options;  // the last value of each

  const std::string* Find(const std::string& name) const {
    auto it = options.find(name);
    return it == options.end() ? nullptr : &it->second;
  }
};

Expected Model(const char* body) {
  Expected e;
  qsn::ObjRef list(Tcl_NewStringObj(body, -1));
  int count = 0;
  Tcl_Obj** elements = nullptr;
  if (Tcl_ListObjGetElements(nullptr, list.get(), &count, &elements) != TCL_OK) return e;
  e.well_formed = true;
  e.odd = count % 2 != 0;
  if (e.odd) return e;
  for (int i = 0; i < count; i += 2)
    e.options[ObjString(elements[i])] = ObjString(elements[i + 1]);
  return e;
}

// Parses `body`, starting from a known result and error state and a
// -changeurl left by an earlier parse, and checks the outcome against `e`.
void ParseAndCheck(const char* body, const Expected& e) {
  qsn::ReplyOutcome outcome;
  outcome.changeurl = "left from before";
  Tcl_ResetResult(interp);
  Tcl_SetObjResult(interp, Tcl_NewStringObj(kMarker, -1));

  // As a waited request does it: the body and the result go to the log at
  // level 4 around the parse.
  qsn::LogPrintf(4, "preresult=%s\n", body);
  int code = qsn::ParseReply(interp, body, std::strlen(body), &outcome);
  const std::optional<std::string>& changeurl = outcome.changeurl;
  const std::string result = Result();
  qsn::LogPrintf(4, "postresult=%s\n", result.c_str());
  const char* info_var = Tcl_GetVar(interp, "errorInfo", TCL_GLOBAL_ONLY);
  const std::string info = info_var ? info_var : "";

  FUZZ_CHECK(code == TCL_OK || code == TCL_ERROR, "code %d", code);
  const std::string* path = e.well_formed && !e.odd ? e.Find("-changeurl") : nullptr;
  if (path) {
    FUZZ_CHECK(changeurl == *path, "-changeurl '%s', given back '%s'", path->c_str(),
               changeurl ? changeurl->c_str() : "(none)");
  } else {
    FUZZ_CHECK(!changeurl, "no -changeurl, given back '%s'", changeurl->c_str());
  }

  if (!e.well_formed) {
    FUZZ_CHECK(code == TCL_ERROR, "a body that is no list parsed");
    FUZZ_CHECK(result != kMarker && !result.empty(), "no message for a bad list");
    return;
  }
  if (e.odd) {
    FUZZ_CHECK(code == TCL_ERROR && result == kOddCount, "odd count: %d '%s'", code,
               result.c_str());
    return;
  }

  const std::string* flag = e.Find("-error");
  int error = 0;
  const std::string* message = e.Find("-errormsg");
  const std::string* trace = e.Find("-errorinfo");
  const std::string* reply = e.Find("-qsnreply");
  if (flag && Tcl_GetBoolean(nullptr, flag->c_str(), &error) != TCL_OK) {
    if (reply) {
      FUZZ_CHECK(code == TCL_OK && result == *reply,
                 "a non-boolean -error beside -qsnreply: %d '%s'", code, result.c_str());
      return;
    }
    FUZZ_CHECK(code == TCL_ERROR, "a non-boolean -error returned %d", code);
    FUZZ_CHECK(result.rfind("expected boolean value but got", 0) == 0,
               "non-boolean -error: '%s'", result.c_str());
    return;
  }

  if (error) {
    FUZZ_CHECK(code == TCL_ERROR, "a true -error returned %d", code);
    const std::string want = message ? *message : trace ? kServerError : "";
    FUZZ_CHECK(result == want, "error result '%s', want '%s'", result.c_str(),
               want.c_str());
    if (trace) {
      const std::string want_info =
          std::string(kServerError) + "\n" + *trace + "\nСтек клиента:";
      FUZZ_CHECK(info == want_info, "errorInfo '%s', want '%s'", info.c_str(),
                 want_info.c_str());
    }
    return;
  }
  FUZZ_CHECK(code == TCL_OK, "a reply without a true -error returned %d", code);
  if (reply) {
    FUZZ_CHECK(result == *reply, "result '%s', -qsnreply '%s'", result.c_str(),
               reply->c_str());
  } else {
    FUZZ_CHECK(result == kMarker, "result '%s' set without -qsnreply", result.c_str());
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  qsn::fuzz::OpenScratchLog();
  interp = Tcl_CreateInterp();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The body is read by its length, as a waited request reads the response
  // buffer, and turned into a Tcl string where it needs to be.
  const std::string body(reinterpret_cast<const char*>(data), size);
  std::string scratch, error;
  const char* text = nullptr;
  size_t length;
  bool converted =
      qsn::FromWireText(body.c_str(), size, &scratch, &text, &length, &error);
  FUZZ_CHECK(converted, "the body was not converted: %s", error.c_str());
  const Expected e = Model(text);

  ParseAndCheck(text, e);

  qsn::fuzz::TrimLog(1000);
  return 0;
}
