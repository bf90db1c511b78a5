// The reply parser.
#include "session/reply.h"

#include <cstring>

#include "log/log.h"

namespace {

const char* Option(Tcl_HashTable* table, const char* name) {
  Tcl_HashEntry* entry = Tcl_FindHashEntry(table, name);
  return entry ? static_cast<const char*>(Tcl_GetHashValue(entry)) : nullptr;
}

void SetResult(Tcl_Interp* interp, const char* text) {
  Tcl_SetObjResult(interp, Tcl_NewStringObj(text, -1));
}

}  // namespace

int ParseReply(Tcl_Interp* interp, const char* body,
               std::optional<std::string>* changeurl, bool* malformed) {
  changeurl->reset();
  bool ignored;
  if (!malformed) malformed = &ignored;
  *malformed = true;
  int largc;
  const char** largv;
  if (Tcl_SplitList(interp, body, &largc, &largv) != TCL_OK) {
    LogPrintf(1, "parser returns TCL_ERROR\n");
    return TCL_ERROR;
  }
  int code = TCL_OK;
  if (largc % 2 != 0) {
    SetResult(interp, "Нечётное число элементов в ответе");
    code = TCL_ERROR;
  } else {
    *malformed = false;
    // The values point into largv; a repeated option keeps its last value.
    Tcl_HashTable arghash;
    Tcl_InitHashTable(&arghash, TCL_STRING_KEYS);
    for (int i = 0; i < largc; i += 2) {
      int isnew;
      Tcl_HashEntry* entry = Tcl_CreateHashEntry(&arghash, largv[i], &isnew);
      Tcl_SetHashValue(entry, const_cast<char*>(largv[i + 1]));
    }

    if (const char* path = Option(&arghash, "-changeurl")) *changeurl = path;

    int error = 0;
    const char* flag = Option(&arghash, "-error");
    if (flag) LogPrintf(1, "found -error\n");
    if (flag && Tcl_GetBoolean(interp, flag, &error) != TCL_OK) {
      // A flag that is neither true nor false cannot be taken for success:
      // the reply fails with the interpreter's message about it, and is no
      // well-formed reply.
      *malformed = true;
      code = TCL_ERROR;
    } else if (error) {
      LogPrintf(1, "found -error yes\n");
      // Whatever the result held (a statistics callback's last result) is
      // no message of the server's.
      Tcl_ResetResult(interp);
      if (const char* info = Option(&arghash, "-errorinfo")) {
        // The error information starts from this result: the server-error
        // line, the server's trace, then the client's own stack.
        SetResult(interp, "Ошибка на сервере:");
        Tcl_AddErrorInfo(interp, "\n");
        Tcl_AddErrorInfo(interp, info);
        Tcl_AddErrorInfo(interp, "\nСтек клиента:");
      }
      if (const char* message = Option(&arghash, "-errormsg")) SetResult(interp, message);
      code = TCL_ERROR;
    } else if (const char* reply = Option(&arghash, "-qsnreply")) {
      SetResult(interp, reply);
    }
    Tcl_DeleteHashTable(&arghash);
  }
  Tcl_Free(reinterpret_cast<char*>(largv));
  if (code == TCL_ERROR) LogPrintf(1, "parser returns TCL_ERROR\n");
  return code;
}
