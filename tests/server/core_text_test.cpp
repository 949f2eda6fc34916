// The helpers every front end shares: HTTP text, the command line, signal
// blocking and the descriptor limit (server/core).
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <string.h>
#include <arpa/inet.h>
#include <sys/resource.h>
#include <sys/un.h>

#include <set>
#include <string>
#include <vector>

#include "server/core/address_text.h"
#include "server/standalone/descriptor_limit.h"
#include "server/core/http_text.h"
#include "server/standalone/options.h"
#include "server/standalone/signals.h"

namespace {

TEST(HttpTextTest, TokensAreTcharOnly) {
  const struct {
    const char* text;
    bool token;
  } cases[] = {
      {"Content-Length", true}, {"X_Y.z~!#$%&'*+^`|", true}, {"0", true},
      {"", false},              {"Host ", false},            {" Host", false},
      {"a:b", false},           {"a\tb", false},             {"\"q\"", false},
      {"a(b)", false},          {"a/b", false},              {"a@b", false},
      {"\x7f", false},          {"caf\xc3\xa9", false},      {"[x]", false},
      {"{x}", false},           {"a,b", false},              {"a;b=c", false},
  };
  for (const auto& c : cases) EXPECT_EQ(isapi::IsToken(c.text), c.token) << c.text;
  EXPECT_FALSE(isapi::IsToken(std::string_view("a\0b", 3)));
  EXPECT_FALSE(isapi::IsTokenChar('\0'));
}

TEST(AddressTextTest, PeersShowNumericallyAndMappedIpv4AsIpv4) {
  const struct {
    int family;
    const char* address;
    const char* host;
    const char* with_port;
  } cases[] = {
      {AF_INET, "192.0.2.7", "192.0.2.7", "192.0.2.7:8080"},
      {AF_INET6, "2001:db8::1", "2001:db8::1", "[2001:db8::1]:8080"},
      {AF_INET6, "::ffff:192.0.2.7", "192.0.2.7", "192.0.2.7:8080"},
  };
  for (const auto& c : cases) {
    sockaddr_storage storage{};
    if (c.family == AF_INET) {
      auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
      v4->sin_family = AF_INET;
      v4->sin_port = htons(8080);
      inet_pton(AF_INET, c.address, &v4->sin_addr);
    } else {
      auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
      v6->sin6_family = AF_INET6;
      v6->sin6_port = htons(8080);
      inet_pton(AF_INET6, c.address, &v6->sin6_addr);
    }
    std::string host;
    uint16_t port = 0;
    const sockaddr* address = reinterpret_cast<const sockaddr*>(&storage);
    ASSERT_TRUE(isapi::AddressText(address, &host, &port)) << c.address;
    EXPECT_EQ(host, c.host);
    EXPECT_EQ(port, 8080);
    EXPECT_EQ(isapi::AddressWithPort(address), c.with_port);
  }
  sockaddr_un unix_address{};
  unix_address.sun_family = AF_UNIX;
  strcpy(unix_address.sun_path, "/run/x.sock");
  EXPECT_EQ(isapi::AddressWithPort(reinterpret_cast<sockaddr*>(&unix_address)),
            "unix:/run/x.sock");
  std::string host = "unchanged";
  uint16_t port = 1;
  EXPECT_FALSE(isapi::AddressText(reinterpret_cast<sockaddr*>(&unix_address), &host, &port));
  EXPECT_EQ(host, "unchanged");
}

TEST(AddressTextTest, ServerNameIsTheHostsHostPartElseTheLocalAddress) {
  const struct {
    std::vector<isapi::HeaderField> headers;
    const char* server_name;
  } cases[] = {
      {{{"Host", "example.com:8080"}}, "example.com"},
      {{{"host", "Example.COM:80"}}, "Example.COM"},
      {{{"host", "[::1]:80"}}, "[::1]"},
      {{{"Host", "[2001:db8::1]"}}, "[2001:db8::1]"},
      {{{"Accept", "*/*"}, {"HOST", "a.example"}}, "a.example"},
      {{}, "10.0.0.1"},
      {{{"X-Host", "other"}}, "10.0.0.1"},
      {{{"Host", ""}}, "10.0.0.1"},
      {{{"Host", ":80"}}, "10.0.0.1"},
      {{{"Host", "a:b:c"}}, "10.0.0.1"},
  };
  for (const auto& c : cases) EXPECT_EQ(isapi::ServerName(c.headers, "10.0.0.1"), c.server_name);
}

TEST(HttpTextTest, EqualsIgnoreCaseFoldsAsciiLettersOnly) {
  const struct {
    const char* a;
    const char* b;
    bool equal;
  } cases[] = {
      {"Content-Length", "content-LENGTH", true},
      {"", "", true},
      {"Host", "Hos", false},
      {"Host", "Hosu", false},
      {"a-b", "a_b", false},
      {"@", "`", false},  // differ in the 0x20 bit, but are not letters
      {"[", "{", false},
      {"\xc3\xa9", "\xc3\x89", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(isapi::EqualsIgnoreCase(c.a, c.b), c.equal) << c.a << " " << c.b;
    EXPECT_EQ(isapi::EqualsIgnoreCase(c.b, c.a), c.equal) << c.b << " " << c.a;
  }
}

TEST(HttpTextTest, ParseDecimalTakesDigitsOnlyUpToTheLimit) {
  const struct {
    const char* text;
    uint64_t max;
    bool ok;
    uint64_t value;
  } cases[] = {
      {"0", 10, true, 0},
      {"007", 10, true, 7},
      {"10", 10, true, 10},
      {"11", 10, false, 0},
      {"65535", 65535, true, 65535},
      {"65536", 65535, false, 0},
      {"9", 5, false, 0},
      {"18446744073709551615", UINT64_MAX, true, UINT64_MAX},
      {"18446744073709551616", UINT64_MAX, false, 0},
      {"99999999999999999999999", UINT64_MAX, false, 0},
      {"000000000000000000000000001", UINT64_MAX, true, 1},
      {"", 10, false, 0},
      {"-1", UINT64_MAX, false, 0},
      {"+1", UINT64_MAX, false, 0},
      {" 1", UINT64_MAX, false, 0},
      {"1 ", UINT64_MAX, false, 0},
      {"0x10", UINT64_MAX, false, 0},
      {"1e3", UINT64_MAX, false, 0},
      {"١", UINT64_MAX, false, 0},  // an Arabic-Indic digit is not a digit here
  };
  for (const auto& c : cases) {
    uint64_t value = 12345;
    EXPECT_EQ(isapi::ParseDecimal(c.text, c.max, &value), c.ok) << c.text;
    EXPECT_EQ(value, c.ok ? c.value : 12345u) << c.text;
  }
}

// Every Host value is split; `valid` says whether it may stand as a Host
// field or an absolute-form authority.
TEST(HttpTextTest, SplitHostPortKnowsIpv6LiteralsAndIsValidHostChecksBoth) {
  const struct {
    const char* text;
    bool ok;
    const char* host;
    const char* port;
    bool valid;
  } cases[] = {
      {"example.com", true, "example.com", "", true},
      {"example.com:8080", true, "example.com", "8080", true},
      {"example.com:", true, "example.com", "", true},
      {"example.com.", true, "example.com.", "", true},
      {"a-b_c~d!$&'()*+,;=", true, "a-b_c~d!$&'()*+,;=", "", true},
      {":8080", true, "", "8080", false},
      {"", true, "", "", true},
      {"127.0.0.1:80", true, "127.0.0.1", "80", true},
      {"[::1]", true, "[::1]", "", true},
      {"[::1]:80", true, "[::1]", "80", true},
      {"[::]:0", true, "[::]", "0", true},
      {"[fe80::1%eth0]:443", true, "[fe80::1%eth0]", "443", false},
      {"[]", true, "[]", "", false},
      // The port is SplitHostPort's caller's to check.
      {"host:x", true, "host", "x", false},
      {"a b", true, "a b", "", false},
      {"../x", true, "../x", "", false},
      {"..", true, "..", "", false},
      {".a", true, ".a", "", false},
      {"a..b", true, "a..b", "", false},
      {"a\\b", true, "a\\b", "", false},
      {"user@a", true, "user@a", "", false},
      {"a%2e", true, "a%2e", "", false},
      {"caf\xc3\xa9", true, "caf\xc3\xa9", "", false},
      {"::1", false, "", "", false},
      {"a:b:c", false, "", "", false},
      {"[::1", false, "", "", false},
      {"[::1]80", false, "", "", false},
      {"[::1]x:80", false, "", "", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(isapi::IsValidHost(c.text), c.valid) << c.text;
    std::string_view host = "unset", port = "unset";
    EXPECT_EQ(isapi::SplitHostPort(c.text, &host, &port), c.ok) << c.text;
    if (!c.ok) continue;
    EXPECT_EQ(host, c.host) << c.text;
    EXPECT_EQ(port, c.port) << c.text;
  }
  EXPECT_FALSE(isapi::IsValidHost(std::string_view("a\0b", 3)));
}

TEST(HttpTextTest, CloseAnywhereInAnyConnectionListEndsTheConnection) {
  const struct {
    const char* protocol;
    std::vector<isapi::HeaderField> headers;
    bool keep;
  } cases[] = {
      {"HTTP/1.1", {}, true},
      {"HTTP/1.0", {}, false},
      {"HTTP/1.1", {{"Connection", "close"}}, false},
      {"HTTP/1.1", {{"connection", " Close "}}, false},
      {"HTTP/1.0", {{"Connection", "keep-alive"}}, true},
      {"HTTP/1.0", {{"Connection", "Upgrade, Keep-Alive"}}, true},
      {"HTTP/1.1", {{"Connection", "keep-alive, close"}}, false},
      {"HTTP/1.1", {{"Connection", "foo,close"}}, false},
      {"HTTP/1.1", {{"Connection", "keep-alive"}, {"Connection", "close"}}, false},
      {"HTTP/1.0", {{"Connection", "keep-alive"}, {"Connection", "x, close"}}, false},
      {"HTTP/1.1", {{"Connection", "closed, unclose"}}, true},
      {"HTTP/1.1", {{"X-Connection", "close"}}, true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(isapi::ClientAllowsKeepAlive(c.protocol, c.headers), c.keep)
        << c.protocol << " " << (c.headers.empty() ? "" : c.headers.back().value);
  }
}

struct CommandLineCase {
  std::vector<const char*> args;
  const char* error;  // nullptr: accepted
  const char* module;  // expected --module when accepted, nullptr: absent
  bool help;
  unsigned threads;  // expected --threads when accepted (99 when absent)
};

TEST(OptionsTest, AcceptsBothValueFormsAndRefusesEverythingElse) {
  const CommandLineCase cases[] = {
      {{}, nullptr, nullptr, false, 99},
      {{"--module", "m.so"}, nullptr, "m.so", false, 99},
      {{"--module=m.so"}, nullptr, "m.so", false, 99},
      {{"--module=a=b"}, nullptr, "a=b", false, 99},
      {{"--module="}, nullptr, "", false, 99},
      {{"--module", "-"}, nullptr, "-", false, 99},
      {{"--help", "--module", "m"}, nullptr, "m", true, 99},
      {{"--threads", "1"}, nullptr, nullptr, false, 1},
      {{"--threads=64"}, nullptr, nullptr, false, 64},
      {{"--threads", "0"}, "--threads must be a number in 1..64: 0", nullptr, false, 0},
      {{"--threads", "65"}, "--threads must be a number in 1..64: 65", nullptr, false, 0},
      {{"--threads="}, "--threads must be a number in 1..64: ", nullptr, false, 0},
      {{"--threads", "4x"}, "--threads must be a number in 1..64: 4x", nullptr, false, 0},
      {{"--threads", "-1"}, "--threads must be a number in 1..64: -1", nullptr, false, 0},
      {{"--threads", "99999999999999999999999"},
       "--threads must be a number in 1..64: 99999999999999999999999", nullptr, false, 0},
      {{"--module"}, "missing value for --module", nullptr, false, 0},
      {{"--module", "a", "--module", "b"}, "--module given twice", nullptr, false, 0},
      {{"--module=a", "--module", "b"}, "--module given twice", nullptr, false, 0},
      {{"--help", "--help"}, "--help given twice", nullptr, false, 0},
      {{"--help=yes"}, "--help takes no value", nullptr, false, 0},
      {{"--verbose"}, "unknown option: --verbose", nullptr, false, 0},
      {{"--modul", "m"}, "unknown option: --modul", nullptr, false, 0},
      {{"-h"}, "unexpected argument: -h", nullptr, false, 0},
      {{"m.so"}, "unexpected argument: m.so", nullptr, false, 0},
      {{"--module", "m", "extra"}, "unexpected argument: extra", nullptr, false, 0},
  };
  for (const CommandLineCase& c : cases) {
    std::vector<const char*> argv = {"prog"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    std::string label;
    for (const char* arg : c.args) label += std::string(arg) + " ";
    std::string module;
    unsigned threads = 99;
    bool help = false;
    const isapi::OptionTable table = {{"module", "PATH", &module, ""},
                                      {"threads", "N", &threads, "", 1, 64},
                                      {"help", nullptr, &help, ""}};
    std::set<std::string> given;
    std::string error;
    bool ok = isapi::ParseCommandLine(static_cast<int>(argv.size()), argv.data(), table, &given,
                                      &error);
    if (c.error != nullptr) {
      EXPECT_FALSE(ok) << label;
      EXPECT_EQ(error, c.error) << label;
      continue;
    }
    ASSERT_TRUE(ok) << label << ": " << error;
    EXPECT_EQ(given.count("--module"), c.module != nullptr ? 1u : 0u) << label;
    if (c.module != nullptr) {
      EXPECT_EQ(module, c.module) << label;
    }
    EXPECT_EQ(help, c.help) << label;
    EXPECT_EQ(threads, c.threads) << label;
  }
}

TEST(SignalsTest, BlockedSignalIsTakenByWaitForSignal) {
  sigset_t before;
  pthread_sigmask(SIG_SETMASK, nullptr, &before);
  sigset_t set = isapi::BlockSignals({SIGUSR1});
  EXPECT_EQ(isapi::WaitForSignal(set, 0), 0);
  // Without the block, SIGUSR1's default action would end this process.
  pthread_kill(pthread_self(), SIGUSR1);
  EXPECT_EQ(isapi::WaitForSignal(set, 1000), SIGUSR1);
  EXPECT_EQ(isapi::WaitForSignal(set, 0), 0);
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

TEST(DescriptorLimitTest, SoftLimitIsRaisedToTheHardOne) {
  rlimit original;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &original), 0);
  if (original.rlim_max < 128) GTEST_SKIP() << "hard descriptor limit below 128";
  rlimit lowered = {64, original.rlim_max};
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);
  EXPECT_EQ(isapi::RaiseDescriptorLimit(), original.rlim_max);
  rlimit now;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &now), 0);
  EXPECT_EQ(now.rlim_cur, original.rlim_max);
  setrlimit(RLIMIT_NOFILE, &original);
}

}  // namespace
