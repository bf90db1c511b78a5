// The server's command line: what it accepts, and what it refuses.
#include "server/options.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <vector>

namespace qsn {

namespace {

Invocation Parse(std::initializer_list<const char*> args, Options* options) {
  std::vector<const char*> argv = {"qsnserver"};
  argv.insert(argv.end(), args);
  return ParseOptions(static_cast<int>(argv.size()), argv.data(), options);
}

Invocation Parse(std::initializer_list<const char*> args) {
  Options options;
  return Parse(args, &options);
}

TEST(ParseOptions, ListenTakesHostAndPortIPv6InBrackets) {
  Options options;
  ASSERT_EQ(Parse({"--listen", "0.0.0.0:0", "app.tcl"}, &options), Invocation::kServe);
  EXPECT_EQ(options.host, "0.0.0.0");
  EXPECT_EQ(options.port, 0);
  EXPECT_EQ(options.app, "app.tcl");
  Options ipv6;
  ASSERT_EQ(Parse({"--listen", "[::1]:65535", "app.tcl"}, &ipv6), Invocation::kServe);
  EXPECT_EQ(ipv6.host, "::1");
  EXPECT_EQ(ipv6.port, 65535);
}

TEST(ParseOptions, ListenRefusesAMissingHostOrPort) {
  for (const char* listen :
       {"8080", ":8080", "[]:8080", "host:", "host:65536", "host:http", "[::1]"})
    EXPECT_EQ(Parse({"--listen", listen, "app.tcl"}), Invocation::kMisuse) << listen;
}

TEST(ParseOptions, CountsAreDigitsOnlyWithinTheirRange) {
  Options options;
  ASSERT_EQ(Parse({"--max-body", "5", "--call-timeout", "0", "--head-timeout", "3600",
                   "--max-arguments", "10000000", "app.tcl"},
                  &options),
            Invocation::kServe);
  EXPECT_EQ(options.max_body, 5u);
  EXPECT_EQ(options.max_arguments, 10000000);
  EXPECT_EQ(options.call_timeout, 0);
  EXPECT_EQ(options.head_timeout.count(), 3600);
  for (const char* count : {"+5", "-5", " 5", "5 ", "0x10", "", "99999999999999999999"}) {
    EXPECT_EQ(Parse({"--max-body", count, "app.tcl"}), Invocation::kMisuse) << count;
    EXPECT_EQ(Parse({"--listen", (std::string("h:") + count).c_str(), "app.tcl"}),
              Invocation::kMisuse)
        << count;
  }
  EXPECT_EQ(Parse({"--max-body", "0", "app.tcl"}), Invocation::kMisuse);
  EXPECT_EQ(Parse({"--call-timeout", "86401", "app.tcl"}), Invocation::kMisuse);
  EXPECT_EQ(Parse({"--head-timeout", "0", "app.tcl"}), Invocation::kMisuse);
  EXPECT_EQ(Parse({"--head-timeout", "3601", "app.tcl"}), Invocation::kMisuse);
  EXPECT_EQ(Parse({"--max-arguments", "0", "app.tcl"}), Invocation::kMisuse);
  EXPECT_EQ(Parse({"--max-arguments", "10000001", "app.tcl"}), Invocation::kMisuse);
}

TEST(ParseOptions, CertificateAndKeyComeTogether) {
  EXPECT_EQ(Parse({"--tls-cert", "c.pem", "app.tcl"}), Invocation::kMisuse);
  EXPECT_EQ(Parse({"--tls-key", "k.pem", "app.tcl"}), Invocation::kMisuse);
  Options options;
  ASSERT_EQ(Parse({"--tls-cert", "c.pem", "--tls-key", "k.pem", "app.tcl"}, &options),
            Invocation::kServe);
  EXPECT_EQ(options.cert, "c.pem");
  EXPECT_EQ(options.key, "k.pem");
}

TEST(ParseOptions, OneScriptAndKnownOptionsWithTheirValues) {
  EXPECT_EQ(Parse({}), Invocation::kMisuse);
  EXPECT_EQ(Parse({"a.tcl", "b.tcl"}), Invocation::kMisuse);
  EXPECT_EQ(Parse({"--verbose", "app.tcl"}), Invocation::kMisuse);
  EXPECT_EQ(Parse({"app.tcl", "--listen"}), Invocation::kMisuse);
}

TEST(ParseOptions, HelpOnlyAlone) {
  EXPECT_EQ(Parse({"--help"}), Invocation::kHelp);
  EXPECT_EQ(Parse({"-h"}), Invocation::kHelp);
  EXPECT_EQ(Parse({"--help", "app.tcl"}), Invocation::kMisuse);
}

TEST(WorkerCount, HalfOfTheThreadsAllowedWithin8To1024) {
  EXPECT_EQ(WorkerCount(100), 50u);
  EXPECT_EQ(WorkerCount(3), 8u);
  EXPECT_EQ(WorkerCount(~0ull), 1024u);
}

}  // namespace

}  // namespace qsn
