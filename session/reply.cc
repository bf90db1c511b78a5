// The reply parser.
#include "session/reply.h"

#include <climits>
#include <cstring>

#include "log/log.h"
#include "session/error_code.h"
#include "session/texts.h"

namespace qsn {

namespace {

// Tcl_SplitList puts a pointer for every element it may find (one per run
// of blanks, and two more) and a copy of the list into one block whose
// size it passes to Tcl's allocator as an unsigned int: a list past that
// would get a block too small for it. Counting every blank, not every run,
// errs on the safe side.
bool SplitFits(const char* body, size_t length) {
  constexpr unsigned long long kMaxBlock = UINT_MAX - (1u << 20);
  if (length > INT_MAX) return false;
  unsigned long long blanks = 0;
  for (size_t i = 0; i < length; ++i) {
    unsigned char c = body[i];
    blanks += c == ' ' || (c >= '\t' && c <= '\r');
  }
  return (blanks + 2) * sizeof(char*) + length + 1 <= kMaxBlock;
}

// The options the host reads, each the last value given; other options are
// skipped. Pointers into the split list.
struct Options {
  const char* changeurl = nullptr;
  const char* error = nullptr;
  const char* errormsg = nullptr;
  const char* errorinfo = nullptr;
  const char* qsnreply = nullptr;
};

Options FindOptions(int largc, const char** largv) {
  Options found;
  const struct {
    const char* name;
    const char* Options::*field;
  } known[] = {{kOptionChangeurl, &Options::changeurl},
               {kOptionError, &Options::error},
               {kOptionErrormsg, &Options::errormsg},
               {kOptionErrorinfo, &Options::errorinfo},
               {kOptionQsnreply, &Options::qsnreply}};
  for (int i = 0; i + 1 < largc; i += 2) {
    for (const auto& option : known) {
      if (std::strcmp(largv[i], option.name) == 0) found.*option.field = largv[i + 1];
    }
  }
  return found;
}

// A true -error: the message and the trace of the server.
void SetServerError(Tcl_Interp* interp, const Options& options) {
  LogPrintf(1, kLogFoundErrorYes);
  // Whatever the result held (a statistics callback's last result) is no
  // message of the server's.
  Tcl_ResetResult(interp);
  if (options.errorinfo) {
    // The error information starts from this result: the server-error
    // line, the server's trace, then the client's own stack.
    SetResult(interp, kServerErrorHead);
    Tcl_AddErrorInfo(interp, "\n");
    Tcl_AddErrorInfo(interp, options.errorinfo);
    Tcl_AddErrorInfo(interp, kClientStackHead);
  }
  if (options.errormsg) SetResult(interp, options.errormsg);
}

// The reply as a list of pairs: what it makes of the result, and its kind.
ReplyKind ReadPairs(Tcl_Interp* interp, const Options& options) {
  int error = 0;
  if (options.error) {
    LogPrintf(1, kLogFoundError);
    if (Tcl_GetBoolean(interp, options.error, &error) != TCL_OK) {
      // Neither true nor false. With a value to return, the server meant
      // one; without, the reply cannot be taken for a success.
      if (!options.qsnreply) return ReplyKind::kMalformed;
      LogPrintf(1, kLogErrorNotBoolean, options.error);
      SetResult(interp, options.qsnreply);
      return ReplyKind::kValue;
    }
  }
  if (error) {
    SetServerError(interp, options);
    return ReplyKind::kServerError;
  }
  if (options.qsnreply) SetResult(interp, options.qsnreply);
  return options.qsnreply || options.error ? ReplyKind::kValue : ReplyKind::kNoOption;
}

// The elements of a reply split as a Tcl list, freed with it.
class Elements {
 public:
  Elements() = default;
  ~Elements() {
    if (argv_) Tcl_Free(reinterpret_cast<char*>(argv_));
  }
  Elements(const Elements&) = delete;
  Elements& operator=(const Elements&) = delete;

  // Splits `body`; false, with Tcl's message in the result, when it is no
  // list.
  bool Split(Tcl_Interp* interp, const char* body) {
    return Tcl_SplitList(interp, body, &argc_, &argv_) == TCL_OK;
  }
  int argc() const { return argc_; }
  const char** argv() const { return argv_; }

 private:
  int argc_ = 0;
  const char** argv_ = nullptr;
};

// The steps of a parse: the body split as a list, its options found, and
// what they make of the result.
ReplyKind ReadReply(Tcl_Interp* interp, const char* body, size_t length,
                    std::optional<std::string>* changeurl) {
  if (!SplitFits(body, length)) {
    SetResult(interp, kTooManyElements);
    return ReplyKind::kTooLarge;
  }
  Elements elements;
  if (!elements.Split(interp, body)) return ReplyKind::kMalformed;
  if (elements.argc() % 2 != 0) {
    SetResult(interp, kOddCount);
    return ReplyKind::kMalformed;
  }
  Options options = FindOptions(elements.argc(), elements.argv());
  if (options.changeurl) *changeurl = options.changeurl;
  return ReadPairs(interp, options);
}

}  // namespace

int ParseReply(Tcl_Interp* interp, const char* body, size_t length,
               ReplyOutcome* outcome) {
  outcome->changeurl.reset();
  outcome->kind = ReadReply(interp, body, length, &outcome->changeurl);
  bool failed = outcome->kind == ReplyKind::kMalformed ||
                outcome->kind == ReplyKind::kServerError ||
                outcome->kind == ReplyKind::kTooLarge;
  if (failed) LogPrintf(1, kLogParserError);
  return failed ? TCL_ERROR : TCL_OK;
}

}  // namespace qsn
