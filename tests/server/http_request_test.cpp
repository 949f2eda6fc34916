// isapi-server without a socket: its command line, the mapping from a
// parsed request to the host core's Request, the refusals before the
// module, and the access log's escaping.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "server/core/address_text.h"
#include "server/http/access_log.h"
#include "server/http/http_options.h"
#include "server/http/http_request.h"
#include "server/standalone/listen_socket.h"

namespace {

using Headers = std::vector<isapi::HeaderField>;

TEST(HttpRequestTest, RefuseRequestNamesTheStatus) {
  const struct {
    const char* label;
    const char* method;
    std::string target;
    const char* version;
    Headers headers;
    int status;
  } cases[] = {
      {"plain", "GET", "/", "HTTP/1.1", {{"Host", "a"}, {"Accept", "*/*"}}, 0},
      {"other method", "M-SEARCH", "/", "HTTP/1.0", {}, 0},
      {"escape in method", "G\x1bT", "/", "HTTP/1.0", {}, 400},
      {"empty method", "", "/", "HTTP/1.0", {}, 400},
      {"1.0 without host", "GET", "/", "HTTP/1.0", {}, 0},
      {"1.1 without host", "GET", "/", "HTTP/1.1", {{"Accept", "*/*"}}, 400},
      {"blank in target", "GET", "/a b", "HTTP/1.0", {}, 400},
      {"tab in target", "GET", "/a\tb", "HTTP/1.0", {}, 400},
      {"escape in target", "GET", "/a\x1b[0m", "HTTP/1.0", {}, 400},
      {"DEL in target", "GET", "/a\x7f", "HTTP/1.0", {}, 400},
      {"NUL in target", "GET", std::string("/a\0b", 4), "HTTP/1.0", {}, 400},
      {"UTF-8 in target", "GET", "/caf\xc3\xa9", "HTTP/1.0", {}, 0},
      {"body within bound", "GET", "/", "HTTP/1.0", {{"Content-Length", "1048576"}}, 0},
      {"leading zeros", "GET", "/", "HTTP/1.0", {{"content-length", "007"}}, 0},
      {"body over bound", "GET", "/", "HTTP/1.0", {{"Content-Length", "1048577"}}, 413},
      {"huge length", "GET", "/", "HTTP/1.0",
       {{"Content-Length", "99999999999999999999999"}}, 400},
      {"signed length", "GET", "/", "HTTP/1.0", {{"Content-Length", "-1"}}, 400},
      {"plus length", "GET", "/", "HTTP/1.0", {{"Content-Length", "+1"}}, 400},
      {"blank in length", "GET", "/", "HTTP/1.0", {{"Content-Length", "1 2"}}, 400},
      {"empty length", "GET", "/", "HTTP/1.0", {{"Content-Length", ""}}, 400},
      {"two lengths", "GET", "/", "HTTP/1.0",
       {{"Content-Length", "1"}, {"Content-Length", "2"}}, 400},
      {"two equal lengths", "GET", "/", "HTTP/1.0",
       {{"Content-Length", "1"}, {"content-length", "1"}}, 400},
      {"length and encoding", "GET", "/", "HTTP/1.0",
       {{"Content-Length", "1"}, {"Transfer-Encoding", "chunked"}}, 400},
      {"chunked alone", "GET", "/", "HTTP/1.1",
       {{"Host", "a"}, {"Transfer-Encoding", "Chunked"}}, 0},
      {"other encoding", "GET", "/", "HTTP/1.1",
       {{"Host", "a"}, {"Transfer-Encoding", "gzip"}}, 501},
      {"two encodings", "GET", "/", "HTTP/1.1",
       {{"Host", "a"}, {"Transfer-Encoding", "chunked"}, {"Transfer-Encoding", "gzip"}}, 501},
      {"1.0 with an encoding", "GET", "/", "HTTP/1.0", {{"Transfer-Encoding", "chunked"}}, 400},
      {"empty name", "GET", "/", "HTTP/1.0", {{"", "x"}}, 400},
      {"name with blank", "GET", "/", "HTTP/1.1", {{"Host ", "x"}}, 400},
      {"name with colon", "GET", "/", "HTTP/1.0", {{"a:b", "x"}}, 400},
      {"name with control", "GET", "/", "HTTP/1.0", {{"a\x01", "x"}}, 400},
      {"bare CR in value", "GET", "/", "HTTP/1.0", {{"X-A", "a\rb"}}, 400},
      {"DEL in value", "GET", "/", "HTTP/1.0", {{"X-A", "a\x7f"}}, 400},
      {"tab in value", "GET", "/", "HTTP/1.0", {{"X-A", "a\tb"}}, 0},
      {"two hosts", "GET", "/", "HTTP/1.1", {{"Host", "a"}, {"Host", "b"}}, 400},
      {"malformed host", "GET", "/", "HTTP/1.1", {{"Host", "a:b:c"}}, 400},
      {"unclosed literal", "GET", "/", "HTTP/1.1", {{"Host", "[::1"}}, 400},
      {"blank in host", "GET", "/", "HTTP/1.1", {{"Host", "a b"}}, 400},
      {"path in host", "GET", "/", "HTTP/1.1", {{"Host", "../x"}}, 400},
      {"1.0 with a bad host", "GET", "/", "HTTP/1.0", {{"Host", "a/b"}}, 400},
      {"ipv6 host", "GET", "/", "HTTP/1.1", {{"Host", "[::1]:8080"}}, 0},
      {"empty host", "GET", "/", "HTTP/1.1", {{"Host", ""}}, 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(isapi_http::RefuseRequest(c.method, c.target, c.version, c.headers, 1048576),
              c.status)
        << c.label;
  }
}

isapi_http::ConnectionAddresses Addresses() {
  isapi_http::ConnectionAddresses addresses;
  addresses.remote_addr = "192.0.2.7";
  addresses.remote_port = 50123;
  addresses.local_addr = "192.0.2.1";
  addresses.local_port = 8080;
  return addresses;
}

// With "Host: t": the path and query the module sees, and the host an
// absolute-form target names instead.
TEST(HttpRequestTest, TargetsMapToAPlainPathOrAreRefused) {
  const struct {
    const char* target;
    int status;
    const char* path;
    const char* query;
    const char* server_name;
  } cases[] = {
      {"/", 0, "/", "", "t"},
      {"/a?", 0, "/a", "", "t"},
      {"/a?b?c", 0, "/a", "b?c", "t"},
      {"/%7e%7E", 0, "/~~", "", "t"},
      {"/a%20b/c?x=%41&y", 0, "/a b/c", "x=%41&y", "t"},
      {"/a%2", 400, "", "", ""},
      {"/a%zz", 400, "", "", ""},
      {"/a%00b", 400, "", "", ""},
      {"*", 400, "", "", ""},
      {"", 400, "", "", ""},
      {"a/b", 400, "", "", ""},
      // Dot segments, plain or escaped, merge before the module sees them.
      {"/a/./b/../c?x=/../", 0, "/a/c", "x=/../", "t"},
      {"/a/%2e%2E/b", 0, "/b", "", "t"},
      {"/a/..%2fb", 0, "/b", "", "t"},
      {"/a/.", 0, "/a/", "", "t"},
      {"/a/..", 0, "/", "", "t"},
      {"/a//..", 0, "/a/", "", "t"},
      {"/.well-known/..x/.../a.", 0, "/.well-known/..x/.../a.", "", "t"},
      {"/..", 400, "", "", ""},
      {"/%2e%2e/%2e%2e/etc/passwd", 400, "", "", ""},
      {"/..%2f..%2fx", 400, "", "", ""},
      // The absolute form: its authority wins over Host.
      {"http://host/a", 0, "/a", "", "host"},
      {"HTTPS://h.example:8443/a/../b?q", 0, "/b", "q", "h.example"},
      {"http://[::1]:80?q", 0, "/", "q", "[::1]"},
      {"http://h", 0, "/", "", "h"},
      {"http:///a", 400, "", "", ""},
      {"http://user@h/", 400, "", "", ""},
      {"http://h/../x", 400, "", "", ""},
  };
  for (const auto& c : cases) {
    isapi::Request request;
    request.headers = {{"Host", "t"}};
    EXPECT_EQ(isapi_http::MapRequest("GET", c.target, "HTTP/1.1", Addresses(), &request),
              c.status)
        << c.target;
    if (c.status != 0) continue;
    EXPECT_EQ(request.path, c.path) << c.target;
    EXPECT_EQ(request.query, c.query) << c.target;
    EXPECT_EQ(request.server_name, c.server_name) << c.target;
    ASSERT_EQ(request.headers.size(), 1u);
    EXPECT_EQ(isapi::ServerName(request.headers, ""), c.server_name) << c.target;
  }
  // Without a host in either, the local address names the server.
  isapi::Request request;
  ASSERT_EQ(isapi_http::MapRequest("GET", "/", "HTTP/1.0", Addresses(), &request), 0);
  EXPECT_EQ(request.server_name, Addresses().local_addr);
}

TEST(AccessLogTest, EveryClientByteOutsidePrintableAsciiIsEscaped) {
  const struct {
    std::string text;
    const char* logged;
  } cases[] = {
      {"GET", "GET"},
      {"/a b?c=d", "/a b?c=d"},
      {"\x1b[31mRED", "\\x1b[31mRED"},
      {"a\"b\\c", "a\\x22b\\x5cc"},
      {"line\r\nbreak", "line\\x0d\\x0abreak"},
      {std::string("nul\0x", 5), "nul\\x00x"},
      {"\x7f\x80\xff", "\\x7f\\x80\\xff"},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(isapi_http::EscapeLogField(c.text), c.logged);
}

TEST(HttpOptionsTest, ListenAddressesOfBothFamiliesAndNames) {
  const struct {
    const char* text;
    bool ok;
    const char* host;
    uint16_t port;
    const char* bound;  // prefix of the bound socket's name; nullptr: not opened
  } cases[] = {
      {"127.0.0.1:8080", true, "127.0.0.1", 8080, nullptr},
      {"0.0.0.0:0", true, "0.0.0.0", 0, nullptr},
      {"[::1]:80", true, "::1", 80, nullptr},
      {"[::]:65535", true, "::", 65535, nullptr},
      {"[2001:db8::1]:443", true, "2001:db8::1", 443, nullptr},
      {"localhost:80", true, "localhost", 80, nullptr},
      {":80", true, "", 80, nullptr},
      {"127.0.0.1:0", true, "127.0.0.1", 0, "127.0.0.1:"},
      {"[::1]:0", true, "::1", 0, "[::1]:"},
      {":0", true, "", 0, ""},
      {"127.0.0.1", false, "", 0, nullptr},
      {"127.0.0.1:", false, "", 0, nullptr},
      {"127.0.0.1:65536", false, "", 0, nullptr},
      {"127.0.0.1:-1", false, "", 0, nullptr},
      {"::1:80", false, "", 0, nullptr},
      {"[::1]", false, "", 0, nullptr},
      {"[127.0.0.1]:80", false, "", 0, nullptr},
      {"[::1:80", false, "", 0, nullptr},
  };
  for (const auto& c : cases) {
    std::string host;
    uint16_t port = 0;
    EXPECT_EQ(isapi::ParseListenAddress(c.text, &host, &port), c.ok) << c.text;
    if (!c.ok) continue;
    EXPECT_EQ(host, c.host) << c.text;
    EXPECT_EQ(port, c.port) << c.text;
    if (c.bound == nullptr) continue;
    std::string error;
    int fd = isapi::OpenListenSocket(c.text, &error);
    ASSERT_GE(fd, 0) << c.text << ": " << error;
    std::string name = isapi::ListenSocketName(fd);
    close(fd);
    EXPECT_EQ(name.rfind(c.bound, 0), 0u) << c.text << ": " << name;
    EXPECT_NE(name.substr(name.rfind(':')), ":0") << c.text << ": " << name;
  }
}

TEST(HttpOptionsTest, CommandLine) {
  const struct {
    std::vector<const char*> args;
    const char* error;  // nullptr: accepted
  } cases[] = {
      {{"--module", "m.so"}, nullptr},
      {{"--module=m.so", "--threads=3", "--listen=[::]:0", "--access-log", "-"}, nullptr},
      {{"--module", "m.so", "--listen", "localhost:8080"}, nullptr},
      {{"--module", "m.so", "--listen", ":8080"}, nullptr},
      {{"--module", "m.so", "--listen", "127.0.0.1"},
       "--listen must be HOST:PORT with a port in 0..65535: 127.0.0.1"},
      {{"--module", "m", "--workers", "0", "--request-terminate-timeout", "5"},
       "--request-terminate-timeout needs --workers 1 or more"},
      {{"--module", "m.so", "--thread-per-connection"}, "unknown option: --thread-per-connection"},
      {{}, "--module PATH is required"},
      {{"--module", ""}, "--module PATH is required"},
      {{"--module", "m", "--threads", "65"}, "--threads must be a number in 1..64: 65"},
      {{"--module", "m", "--listen", "a:1", "--listen", "b:1"}, "--listen given twice"},
      {{"--module", "m", "--max-request-body", "4294967294"}, nullptr},
      {{"--module", "m", "--max-request-body", "4294967295"},
       "--max-request-body must be a number in 0..4294967294: 4294967295"},
  };
  for (const auto& c : cases) {
    std::vector<const char*> argv = {"isapi-server"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    isapi_http::Options options;
    std::string error;
    bool ok = isapi_http::ParseOptions(static_cast<int>(argv.size()), argv.data(), &options,
                                       &error);
    EXPECT_EQ(ok, c.error == nullptr) << error;
    if (c.error != nullptr) {
      EXPECT_EQ(error, c.error);
    }
  }
  const char* argv[] = {"isapi-server", "--module=m.so", "--listen", "[::1]:81", "--threads",
                        "3"};
  isapi_http::Options options;
  std::string error;
  ASSERT_TRUE(isapi_http::ParseOptions(6, argv, &options, &error)) << error;
  EXPECT_EQ(options.module_path, "m.so");
  EXPECT_EQ(options.listen, "[::1]:81");
  EXPECT_EQ(options.threads, 3u);
  EXPECT_EQ(options.serve.max_request_body, 30000000u);
  EXPECT_FALSE(options.help);
}

}  // namespace
