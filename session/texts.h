// The texts of sessions that others rely on: the messages scripts get, the
// errorCode words they tell failures apart by, and the lines the log gets.
//
// They are a contract, kept byte for byte: scripts match messages such as
// "Сервер умер", deployed tools read the log, and the tests pin them:
//   tests/script/commands.test    messages, usage texts, errorCode words
//                                 (commands-10.1), "error code=" lines
//   tests/script/faults.test      the host's own transport messages and
//                                 their errorCode
//   tests/script/log.test         every log line of a request, in order
//   tests/script/callback.test    the statistics names, messages after a
//                                 statistics callback
//   tests/script/send.test        sendQSN's usage text, "session closed"
//                                 and QSN CLOSED
//   session/reply_test.cc, tests/fuzz/fuzz_reply.cc   the reply parser's
//   tests/torture/torture.sh      the messages a failing call may leave
//   tests/script/configure.test   configureQSNsession's usage and messages
// The Russian texts are UTF-8 here; the log writes them in CP866.
#pragma once

namespace qsn {

// --- The wire: the form's two fields, and the options of a reply.
inline constexpr char kFieldCommand[] = "command";
inline constexpr char kFieldArglist[] = "arglist";
inline constexpr char kOptionChangeurl[] = "-changeurl";
inline constexpr char kOptionError[] = "-error";
inline constexpr char kOptionErrormsg[] = "-errormsg";
inline constexpr char kOptionErrorinfo[] = "-errorinfo";
inline constexpr char kOptionQsnreply[] = "-qsnreply";

// --- The names a statistics callback is called with, in this order.
inline constexpr char kStatReceivedTotal[] = "artotal";
inline constexpr char kStatSentTotal[] = "astotal";
inline constexpr char kStatReceived[] = "rtotal";
inline constexpr char kStatSent[] = "stotal";
inline constexpr char kStatSpeed[] = "rspeed";

// --- Usage texts, as Tcl_WrongNumArgs puts them after the command's name.
// requestQSN's marks command and arglist optional though both are
// required, shows nowait with its default in one pair of question marks,
// and leaves the statistics callback out: it is the historical text, which
// scripts and tests (commands.test) match as it is, so it is not corrected.
inline constexpr char kRequestUsage[] = "<session id> ?command? ?arglist? ?nowait no?";
inline constexpr char kCreateUsage[] = "<url> ?proxy?";
inline constexpr char kCloseUsage[] = "<session id>";
inline constexpr char kSendUsage[] =
    "<session id> command arglist doneCommand ?statisticsCallback?";

// --- Messages a script gets.
inline constexpr char kWrongSessionId[] = "Wrong session id";
// A queued sendQSN request whose session was closed before it ended, and a
// requestQSN whose session a done command closed while it waited its turn.
inline constexpr char kSessionClosed[] = "session closed";
// sendQSN with an empty done command, which would fail only when called.
inline constexpr char kEmptyDoneCommand[] = "doneCommand is empty";
inline constexpr char kServerDied[] = "Сервер умер";  // HTTP 404
inline constexpr char kUnknownError[] = "Неопределённая ошибка";
inline constexpr char kOddCount[] = "Нечётное число элементов в ответе";
// A reply's -errorinfo is framed by these in errorInfo.
inline constexpr char kServerErrorHead[] = "Ошибка на сервере:";
inline constexpr char kClientStackHead[] = "\nСтек клиента:";
inline constexpr char kNoHandle[] = "cannot create a transfer handle";
// What errorInfo says of a failing sendQSN done command, as Tcl says
// ("after" script) of a failing `after` script.
inline constexpr char kDoneCommandContext[] = "\n    (\"sendQSN\" done command)";
inline constexpr char kNoRequestMemory[] = "out of memory for the request";
inline constexpr char kNoForm[] = "cannot build the request form";
inline constexpr char kRequestNotUtf8[] = "cannot convert the request to UTF-8: ";
inline constexpr char kReplyNotUtf8[] = "cannot convert the reply from UTF-8: ";
inline constexpr char kLastNoWaitFailed[] =
    "the no-wait request before this one did not complete: ";
inline constexpr char kReplyOverLimit[] = "the reply is over the limit of %zu bytes";
inline constexpr char kNoReplyMemory[] = "out of memory for the reply";
inline constexpr char kNoSocket[] = "cannot open a socket: ";
inline constexpr char kNoReply[] = "no reply";
inline constexpr char kStatusSuffix[] = " (HTTP %ld)";
inline constexpr char kTooManyElements[] =
    "the reply has more elements than the host can split";

// --- errorCode: QSN, then one of these words, then a detail where named.
//   SERVER              the reply's -error is true
//   HTTP <status>       HTTP 404, or another status other than 2xx whose
//                       body is no reply
//   REPLY               a body that is not a well-formed reply
//   TRANSPORT <name>    the transfer did not complete; <name> is libcurl's,
//                       such as CURLE_COULDNT_CONNECT
//   LIMIT               a reply over what the host takes
//   USAGE               wrong arguments, an unknown session id
//   CLOSED              the session was closed before the request ended
inline constexpr char kErrorHead[] = "QSN";
inline constexpr char kErrorServer[] = "SERVER";
inline constexpr char kErrorHttp[] = "HTTP";
inline constexpr char kErrorReply[] = "REPLY";
inline constexpr char kErrorTransport[] = "TRANSPORT";
inline constexpr char kErrorLimit[] = "LIMIT";
inline constexpr char kErrorUsage[] = "USAGE";
inline constexpr char kErrorClosed[] = "CLOSED";

// --- configureQSNsession: its usage, and what a refused value is told
// with: the value (left out for a secret), the option, what it must be.
// The options' names are in its table, session/configure.cc.
inline constexpr char kConfigureUsage[] = "<session id> ?-option value ...?";
inline constexpr char kBadValue[] = "bad value \"%s\" for %s: must be %s";
inline constexpr char kBadSecretValue[] = "bad value for %s: must be %s";
// A file that cannot serve says why after that: " (cannot read it: no such
// file or directory)".
inline constexpr char kValueReason[] = " (%s)";
inline constexpr char kCannotRead[] = "cannot read it: ";
inline constexpr char kFileEmpty[] = "it is empty";
inline constexpr char kMustBePinnedKey[] =
    "sha256// and the base64 of a SHA-256 hash, several joined by \";\", the name "
    "of a PEM or DER public key file, or empty";
inline constexpr char kMustBeBoolean[] = "a boolean";
inline constexpr char kMustBeCaFile[] =
    "the name of a PEM file of CA certificates, or empty";
inline constexpr char kMustBeMilliseconds[] =
    "a number of milliseconds from 0 (the default) to 2147483647";
inline constexpr char kMustBeProxyUser[] = "user:password, or empty";

// --- Log lines (LogPrintf formats), with their levels.
// Level 1
inline constexpr char kLogErrbuf[] = "errbuf=%s\n";
inline constexpr char kLogOsError[] = "error code=%ld\n";
inline constexpr char kLogFoundError[] = "found -error\n";
inline constexpr char kLogFoundErrorYes[] = "found -error yes\n";
inline constexpr char kLogParserError[] = "parser returns TCL_ERROR\n";
inline constexpr char kLogErrorNotBoolean[] =
    "-error \"%s\" is no boolean: -qsnreply is returned\n";
inline constexpr char kLogNowaitNotBoolean[] =
    "nowait \"%s\" is no boolean: the request is waited for\n";
inline constexpr char kLogChangeurlIgnored[] =
    "-changeurl %s ignored: libcurl cannot use it\n";
inline constexpr char kLogCurlInit[] = "curl_global_init: %s\n";
// Level 2
inline constexpr char kLogNowaitEmpty[] = "NOWAIT empty result\n";
inline constexpr char kLogEmptyResult[] = "empty result\n";
// Level 3, in the order a request writes them.
inline constexpr char kLogReinit[] =
    "Переинициализируем curl из-за ошибки %ld (Operation in progress)\n";
inline constexpr char kLogUrl[] = "url='%s'\n";
inline constexpr char kLogField[] = "%s=%s\n";  // command=..., arglist=...
inline constexpr char kLogPerformAndWait[] = "perform and wait\n";
inline constexpr char kLogPerformNoWait[] = "perform with no wait\n";
inline constexpr char kLogWaiting[] = "Waiting for perform finish...\n";
inline constexpr char kLogReplyUrl[] = "reply from url=%s\n";
inline constexpr char kLogResponseCode[] = "response code=%ld\n";
inline constexpr char kLogSentHead[] = "отправлено байт запроса=%ld\n";
inline constexpr char kLogSentBody[] = "заслано байт=%g\n";
inline constexpr char kLogSentTotal[] = "отправлено байт всего=%g\n";
inline constexpr char kLogReceivedHead[] = "получено байт заголовка=%ld\n";
inline constexpr char kLogReceivedBody[] = "получено байт=%g\n";
inline constexpr char kLogReceivedTotal[] = "получено байт всего=%g\n";
inline constexpr char kLogSpeed[] = "скорость заполучения=%g\n";
inline constexpr char kLogDuration[] = "Длительность выполнения запроса=%g\n";
// Level 4
inline constexpr char kLogPreresult[] = "preresult=%s\n";
inline constexpr char kLogPostresult[] = "postresult=%s\n";

}  // namespace qsn
