// The FastCGI parameter mapping, the head of an answer and the command
// line of isapi-fcgi.
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "server/fcgi/fcgi_answer.h"
#include "server/fcgi/fcgi_options.h"
#include "server/fcgi/fcgi_request.h"
#include "tests/server/fcgi_test_support.h"

namespace {

// The tables write each parameter as "NAME=value"; the first '=' splits.
isapi::Request FromParams(const std::vector<std::string>& entries, bool* valid_host = nullptr) {
  isapi_fcgi::Params params;
  for (const std::string& entry : entries) {
    size_t equals = entry.find('=');
    params.emplace_back(entry.substr(0, equals),
                        equals == std::string::npos ? "" : entry.substr(equals + 1));
  }
  isapi::Request request;
  bool valid = isapi_fcgi::RequestFromParams(params, &request);
  if (valid_host != nullptr) *valid_host = valid;
  return request;
}

std::string Headers(const isapi::Request& request) {
  std::string text;
  for (const isapi::HeaderField& field : request.headers) {
    text += field.name + ": " + field.value + "\n";
  }
  return text;
}

// The parameters nginx sends for "GET /app/orvanehp.dll?a=%41&b HTTP/1.1"
// with the example site configuration.
const std::vector<std::string> kNginxParams = {
    "REQUEST_METHOD=GET",
    "QUERY_STRING=a=%41&b",
    "CONTENT_TYPE=",
    "CONTENT_LENGTH=",
    "REQUEST_URI=/app/orvanehp.dll?a=%41&b",
    "SCRIPT_NAME=/app/orvanehp.dll",
    "PATH_INFO=",
    "SERVER_PROTOCOL=HTTP/1.1",
    "GATEWAY_INTERFACE=CGI/1.1",
    "SERVER_SOFTWARE=nginx/1.22.1",
    "REMOTE_ADDR=192.0.2.7",
    "REMOTE_PORT=50123",
    "SERVER_ADDR=192.0.2.1",
    "SERVER_PORT=8080",
    "SERVER_NAME=www.example.test",
    "HTTP_HOST=www.example.test:8080",
    "HTTP_USER_AGENT=probe/1.0",
    "HTTP_COOKIE=a=1",
    "HTTP_COOKIE=orvane-color=blue",
};

TEST(FcgiRequestTest, NginxParametersFillEveryField) {
  isapi::Request request = FromParams(kNginxParams);
  EXPECT_EQ(request.method, "GET");
  EXPECT_EQ(request.target, "/app/orvanehp.dll?a=%41&b");
  EXPECT_EQ(request.path, "/app/orvanehp.dll");
  EXPECT_EQ(request.query, "a=%41&b");
  EXPECT_EQ(request.script_name, "/app/orvanehp.dll");
  EXPECT_EQ(request.protocol, "HTTP/1.1");
  EXPECT_EQ(request.server_software, "nginx/1.22.1");
  EXPECT_EQ(request.remote_addr, "192.0.2.7");
  EXPECT_EQ(request.remote_port, 50123);
  EXPECT_EQ(request.local_addr, "192.0.2.1");
  EXPECT_EQ(request.local_port, 8080);
  EXPECT_EQ(request.server_name, "www.example.test");
  EXPECT_FALSE(request.https);
  // Repeated headers stay separate, in order; empty CONTENT_* add nothing.
  EXPECT_EQ(Headers(request),
            "Host: www.example.test:8080\nUser-Agent: probe/1.0\nCookie: a=1\n"
            "Cookie: orvane-color=blue\n");
  EXPECT_TRUE(request.body.empty());
}

struct PathCase {
  const char* label;
  std::vector<std::string> params;
  const char* script_name;
  const char* path;
  const char* target;
};

TEST(FcgiRequestTest, PathComesFromScriptNameAndPathInfoThenDocumentUriThenRequestUri) {
  const PathCase cases[] = {
      {"script name and path info", {"SCRIPT_NAME=/x.dll", "PATH_INFO=/more", "DOCUMENT_URI=/no"},
       "/x.dll", "/x.dll/more", "/x.dll/more"},
      {"path info alone", {"PATH_INFO=/only"}, "", "/only", "/only"},
      {"document uri", {"DOCUMENT_URI=/a b", "REQUEST_URI=/a%20b?q"}, "", "/a b", "/a%20b?q"},
      {"decoded request uri", {"REQUEST_URI=/a%20b?q=1"}, "", "/a b", "/a%20b?q=1"},
      {"undecodable request uri", {"REQUEST_URI=/a%zz"}, "", "", "/a%zz"},
      {"no request uri: target rebuilt", {"SCRIPT_NAME=/s", "QUERY_STRING=k=v"}, "/s", "/s",
       "/s?k=v"},
      {"nothing at all", {}, "", "", ""},
      // Apache's mod_proxy_fcgi without proxy-fcgi-pathinfo.
      {"script name holding the path info", {"SCRIPT_NAME=/app/X.DLL/a/b.dll/c"}, "/app/X.DLL",
       "/app/X.DLL/a/b.dll/c", "/app/X.DLL/a/b.dll/c"},
      {"empty path info", {"SCRIPT_NAME=/x.dll/a", "PATH_INFO="}, "/x.dll", "/x.dll/a",
       "/x.dll/a"},
      {"path info given", {"SCRIPT_NAME=/x.dll/a", "PATH_INFO=/b"}, "/x.dll/a", "/x.dll/a/b",
       "/x.dll/a/b"},
      {"no segment named .dll", {"SCRIPT_NAME=/x.dllx/a/dll/b"}, "/x.dllx/a/dll/b",
       "/x.dllx/a/dll/b", "/x.dllx/a/dll/b"},
      {"script name ending in .dll/", {"SCRIPT_NAME=/x.dll/"}, "/x.dll", "/x.dll/", "/x.dll/"},
      {"dot segments in request uri", {"REQUEST_URI=/a/../b%2f..%2fc?q"}, "", "/c",
       "/a/../b%2f..%2fc?q"},
      {"request uri above the root", {"REQUEST_URI=/a/../../c"}, "", "", "/a/../../c"},
  };
  for (const PathCase& c : cases) {
    isapi::Request request = FromParams(c.params);
    EXPECT_EQ(request.script_name, c.script_name) << c.label;
    EXPECT_EQ(request.path, c.path) << c.label;
    EXPECT_EQ(request.target, c.target) << c.label;
  }
}

struct DerivedCase {
  const char* label;
  std::vector<std::string> params;
  const char* server_name;
  bool https;
  uint16_t remote_port;
  bool valid_host = true;
};

TEST(FcgiRequestTest, ServerNameHttpsAndPortsFromIncompleteParameters) {
  const DerivedCase cases[] = {
      {"host header without port", {"HTTP_HOST=example.test:81"}, "example.test", false, 0},
      {"bracketed IPv6 host", {"HTTP_HOST=[2001:db8::1]:81"}, "[2001:db8::1]", false, 0},
      {"IPv6 host without port", {"HTTP_HOST=[2001:db8::1]"}, "[2001:db8::1]", false, 0},
      {"local address last", {"SERVER_ADDR=10.0.0.1"}, "10.0.0.1", false, 0},
      {"https on", {"HTTPS=on", "SERVER_NAME=s"}, "s", true, 0},
      {"https off", {"HTTPS=OFF", "SERVER_NAME=s"}, "s", false, 0},
      {"https empty", {"HTTPS=", "SERVER_NAME=s"}, "s", false, 0},
      {"port too large", {"REMOTE_PORT=65536"}, "", false, 0},
      {"port with sign", {"REMOTE_PORT=+80"}, "", false, 0},
      {"highest port", {"REMOTE_PORT=65535"}, "", false, 65535},
      // The Host rule of isapi-server: refused, whatever SERVER_NAME says.
      {"blank in host", {"SERVER_NAME=s", "HTTP_HOST=a b"}, "s", false, 0, false},
      {"path in host", {"HTTP_HOST=../x"}, "../x", false, 0, false},
      {"empty host", {"SERVER_NAME=s", "HTTP_HOST="}, "s", false, 0, true},
  };
  for (const DerivedCase& c : cases) {
    bool valid_host = false;
    isapi::Request request = FromParams(c.params, &valid_host);
    EXPECT_EQ(valid_host, c.valid_host) << c.label;
    EXPECT_EQ(request.server_name, c.server_name) << c.label;
    EXPECT_EQ(request.https, c.https) << c.label;
    EXPECT_EQ(request.remote_port, c.remote_port) << c.label;
  }
}

TEST(FcgiRequestTest, ContentParametersBecomeHeadersOnlyWhenHttpOnesAreMissing) {
  const std::pair<std::vector<std::string>, const char*> cases[] = {
      {{"CONTENT_TYPE=text/plain", "CONTENT_LENGTH=5"},
       "Content-Type: text/plain\nContent-Length: 5\n"},
      {{"HTTP_CONTENT_TYPE=a/b", "CONTENT_TYPE=a/b", "HTTP_CONTENT_LENGTH=5", "CONTENT_LENGTH=5"},
       "Content-Type: a/b\nContent-Length: 5\n"},
      {{"CONTENT_LENGTH=-1"}, ""},  // Caddy's, for a chunked body
      {{"CONTENT_LENGTH=5x"}, ""},
      {{"CONTENT_LENGTH= 5"}, ""},
      {{"CONTENT_LENGTH=99999999999999999999"}, ""},
  };
  for (const auto& [params, headers] : cases) {
    EXPECT_EQ(Headers(FromParams(params)), headers) << params.back();
  }
}

// What a web server reads of an answer's head.
class CapturedRecords : public isapi_fcgi::RecordOutput {
 public:
  bool Send(std::string_view bytes) override {
    sent.append(bytes);
    return true;
  }
  std::string sent;
};

TEST(FcgiAnswerTest, StatusLineIsLeftOutOnlyForAPlain200) {
  const struct {
    int status;
    const char* status_text;
    const char* out;
  } cases[] = {
      {200, "200 OK", "X: 1\r\n\r\n"},  // CGI's default
      {200, "200 Fine", "Status: 200 Fine\r\nX: 1\r\n\r\n"},
      {404, "404 Not Found", "Status: 404 Not Found\r\nX: 1\r\n\r\n"},
  };
  for (const auto& c : cases) {
    isapi::ResponseHead head;
    head.status = c.status;
    head.status_text = c.status_text;
    head.header_block = "X: 1\r\n";
    CapturedRecords records;
    isapi_fcgi::FcgiResponseSink sink(1, false, &records);
    sink.SendHead(head);
    sink.Finish(true);
    EXPECT_EQ(fcgi_test::ParseReply(records.sent, false).out, c.out) << c.status_text;
  }
}

TEST(FcgiRequestTest, MalformedEntriesAreSkipped) {
  isapi::Request request =
      FromParams({"NOEQUALS", "HTTP_=x", "=", "REQUEST_METHOD=POST", "REQUEST_METHOD=GET",
                  "HTTP_X=a=b"});
  EXPECT_EQ(request.method, "POST");  // the first of repeated parameters counts
  EXPECT_EQ(Headers(request), "X: a=b\n");
}

TEST(FcgiRequestTest, HeaderNamesAreRebuiltFromParameterNames) {
  const std::pair<const char*, const char*> cases[] = {
      {"HOST", "Host"},
      {"USER_AGENT", "User-Agent"},
      {"X_FORWARDED_FOR", "X-Forwarded-For"},
      {"DNT", "Dnt"},
      {"A__B", "A--B"},
  };
  for (const auto& [suffix, name] : cases) {
    EXPECT_EQ(isapi_fcgi::HeaderNameFromParam(suffix), name) << suffix;
  }
}

struct OptionsCase {
  std::vector<const char*> args;
  const char* error;  // nullptr: accepted
};

TEST(FcgiOptionsTest, AcceptsTheDocumentedFormsAndRefusesTheRest) {
  const OptionsCase cases[] = {
      {{"--module", "m.so", "--socket", "unix:/run/s.sock"}, nullptr},
      {{"--module=m.so", "--socket=127.0.0.1:9000", "--threads=3"}, nullptr},
      {{"--socket", ":9000", "--module", "m.so", "--threads", "64"}, nullptr},
      {{"--socket", "unix:/s"}, "--module PATH is required"},
      {{"--module", "m.so"}, nullptr},  // the socket is then standard input
      {{"--module", "m", "--max-params", "1024", "--request-timeout=3600"}, nullptr},
      {{"--module", "m", "--max-params", "1023"}, "--max-params must be"},
      {{"--module", "m", "--max-params", "16777217"}, "--max-params must be"},
      {{"--module", "m", "--request-timeout", "0"}, "--request-timeout must be"},
      {{"--module", "m", "--request-timeout", "3601"}, "--request-timeout must be"},
      {{"--module", "m", "--request-timeout", "1", "--request-timeout", "1"},
       "--request-timeout given twice"},
      {{"--module", "m.so", "--socket"}, "missing value for --socket"},
      {{"--module", "", "--socket", ":1"}, "--module PATH is required"},
      {{"--module", "m", "--module", "n", "--socket", ":1"}, "--module given twice"},
      {{"--module", "m", "--socket", "unix:"}, "--socket unix: needs a path"},
      {{"--module", "m", "--socket", "host"}, "--socket must be"},
      {{"--module", "m", "--socket", "host:0"}, nullptr},
      {{"--module", "m", "--socket", "[127.0.0.1]:9000"}, "--socket must be"},
      {{"--module", "m", "--socket", "host:65536"}, "--socket must be"},
      {{"--module", "m", "--socket", ":1", "--threads", "0"}, "--threads must be"},
      {{"--module", "m", "--socket", ":1", "--threads", "65"},
       "--threads must be a number in 1..64: 65"},
      {{"--module", "m", "--socket", ":1", "--threads", "4x"}, "--threads must be"},
      {{"--module", "m", "--socket", ":1", "--verbose", "1"}, "unknown option: --verbose"},
      {{"--module", "m", "--idle-timeout", "0"}, "--idle-timeout must be"},
      {{"--module", "m", "--workers", "0", "--drain-timeout", "0", "--idle-timeout", "3600"},
       nullptr},
      {{"--module", "m", "--workers", "65"}, "--workers must be a number in 0..64"},
      {{"--module", "m", "--request-terminate-timeout", "5"}, nullptr},
      {{"--module", "m", "--workers", "0", "--request-terminate-timeout", "5"},
       "--request-terminate-timeout needs --workers 1 or more"},
      {{"--help"}, nullptr},
      {{"--module", "m", "--socket", "unix:/s", "--socket-mode", "0660", "--socket-group",
        "www-data"},
       nullptr},
      {{"--module", "m", "--socket", ":1", "--socket-mode", "0660"},
       "--socket-mode and --socket-group need --socket unix:PATH"},
      {{"--module", "m", "--socket-group", "www-data"},
       "--socket-mode and --socket-group need --socket unix:PATH"},
      {{"--module", "m", "--socket", "unix:/s", "--socket-mode", "0680"}, "--socket-mode must be"},
      {{"--module", "m", "--socket", "unix:/s", "--socket-mode", "1777"}, "--socket-mode must be"},
      {{"--module", "m", "--socket", "unix:/s", "--socket-mode", ""}, "--socket-mode must be"},
      {{"--module", "m", "--socket", "unix:/s", "--socket-group="}, "--socket-group needs a group"},
  };
  for (const OptionsCase& c : cases) {
    std::vector<const char*> argv = {"isapi-fcgi"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    isapi_fcgi::Options options;
    std::string error;
    bool ok = isapi_fcgi::ParseOptions(static_cast<int>(argv.size()), argv.data(), &options,
                                       &error);
    std::string label = argv.size() > 2 ? std::string(argv[1]) + " " + argv[2] : "";
    if (c.error == nullptr) {
      EXPECT_TRUE(ok) << label << ": " << error;
    } else {
      EXPECT_FALSE(ok) << label;
      EXPECT_EQ(error.rfind(c.error, 0), 0u) << label << ": " << error;
    }
  }
}

TEST(FcgiOptionsTest, SocketFormsAndDefaults) {
  const char* argv[] = {"isapi-fcgi", "--module", "m.so", "--socket", "unix:/run/a:b.sock"};
  isapi_fcgi::Options options;
  std::string error;
  ASSERT_TRUE(isapi_fcgi::ParseOptions(5, argv, &options, &error)) << error;
  EXPECT_TRUE(options.unix_socket);
  EXPECT_EQ(options.bind_address, "/run/a:b.sock");
  EXPECT_EQ(options.threads, static_cast<unsigned>(sysconf(_SC_NPROCESSORS_ONLN)));
  EXPECT_EQ(options.max_params, 65536u);
  EXPECT_EQ(options.request_timeout_seconds, 30u);
  EXPECT_EQ(options.module_path, "m.so");

  argv[4] = "localhost:9000";
  options = isapi_fcgi::Options();
  ASSERT_TRUE(isapi_fcgi::ParseOptions(5, argv, &options, &error)) << error;
  EXPECT_FALSE(options.unix_socket);
  EXPECT_EQ(options.bind_address, "localhost:9000");
}

// Each number's --help line shows the range that the parse checks.
TEST(FcgiOptionsTest, HelpShowsTheRangesTheParseChecks) {
  const struct {
    const char* option;  // as its --help line starts
    const char* shown;
    const char* refused;  // a value just outside, and the error it gets
    const char* error;
  } cases[] = {
      {"--threads N", "(1-64, default: one per CPU)", "--threads=65",
       "--threads must be a number in 1..64: 65"},
      {"--max-params BYTES", "(1024-16777216, default 65536)", "--max-params=1023",
       "--max-params must be a number in 1024..16777216: 1023"},
      {"--request-terminate-timeout S", "(1-3600, default: no limit)",
       "--request-terminate-timeout=3601",
       "--request-terminate-timeout must be a number in 1..3600: 3601"},
      {"--workers N", "(0-64, default 1)", "--workers=65",
       "--workers must be a number in 0..64: 65"},
  };
  const std::string& usage = isapi_fcgi::Usage();
  for (const auto& c : cases) {
    size_t start = usage.find(std::string("\n  ") + c.option);
    ASSERT_NE(start, std::string::npos) << c.option;
    std::string line = usage.substr(start + 1, usage.find("\n  --", start + 1) - start - 1);
    std::string flat;
    for (char ch : line) {
      if (ch == '\n') ch = ' ';
      if (ch != ' ' || flat.empty() || flat.back() != ' ') flat += ch;
    }
    EXPECT_NE(flat.find(c.shown), std::string::npos) << flat;
    const char* argv[] = {"isapi-fcgi", "--module=m", c.refused};
    isapi_fcgi::Options options;
    std::string error;
    EXPECT_FALSE(isapi_fcgi::ParseOptions(3, argv, &options, &error)) << c.refused;
    EXPECT_EQ(error, c.error);
  }
}

}  // namespace
