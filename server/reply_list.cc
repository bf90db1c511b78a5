// Building the reply lists.
#include "server/reply_list.h"

#include <vector>

#include "base/owners.h"
#include "base/tcl_text.h"

namespace qsn {

namespace {

using Words = std::vector<Tcl_Obj*>;

Tcl_Obj* Word(const char* text) { return Tcl_NewStringObj(text, -1); }

// The words as a list. Fresh objects among them are freed with the list.
std::string ToList(const Words& words) {
  ObjRef list(Tcl_NewListObj(static_cast<int>(words.size()), words.data()));
  return ToUtf8(list.get());
}

void AddChangeUrl(const std::optional<std::string>& changeurl, Words* words) {
  if (!changeurl) return;
  words->push_back(Word("-changeurl"));
  words->push_back(Word(changeurl->c_str()));
}

std::string ErrorReply(Tcl_Obj* message, Tcl_Obj* info,
                       const std::optional<std::string>& changeurl) {
  Words words = {Word("-error"), Tcl_NewIntObj(1), Word("-errormsg"), message};
  if (info) {
    words.push_back(Word("-errorinfo"));
    words.push_back(info);
  }
  AddChangeUrl(changeurl, &words);
  return ToList(words);
}

}  // namespace

std::string CallReply(Tcl_Interp* interp, int code,
                      const std::optional<std::string>& changeurl) {
  if (code == TCL_OK || code == TCL_RETURN) {
    Words words = {Word("-qsnreply"), Tcl_GetObjResult(interp)};
    AddChangeUrl(changeurl, &words);
    return ToList(words);
  }
  bool error = code == TCL_ERROR;
  ObjRef message(error ? Tcl_GetObjResult(interp)
                       : Tcl_NewStringObj("command ended with break or continue", -1));
  Tcl_Obj* info =
      error ? Tcl_GetVar2Ex(interp, "errorInfo", nullptr, TCL_GLOBAL_ONLY) : nullptr;
  return ErrorReply(message.get(), info, changeurl);
}

std::string ProtocolErrorReply(const std::string& message) {
  return ErrorReply(FromUtf8(message), nullptr, std::nullopt);
}

std::string FixedErrorReply(std::string_view message) {
  return "-error 1 -errormsg {" + std::string(message) + "}";
}

}  // namespace qsn
