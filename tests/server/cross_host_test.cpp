// The answer rule (docs/linux.md, "One answer on every host") against the
// three real hosts: isapi-server over HTTP/1.0 and 1.1, and nginx with the
// module and nginx in front of isapi-fcgi over HTTP/1.0, 1.1, HTTP/2
// without TLS (prior knowledge) and HTTP/2 over TLS, and the module over
// HTTP/3 where nginx and libcurl speak it. Every host runs the probe
// module with the same hold limit; each row must give the same
// client-visible result everywhere. Without nginx (or its module, or
// openssl) only the isapi-server rows run.
// Beside it, Apache, lighttpd and Caddy in front of isapi-fcgi with their
// example configurations.
#include <sys/stat.h>
#include <unistd.h>

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tests/server/fcgi_test_support.h"
#include "tests/server/nginx_test_support.h"
#include "tests/server/server_process.h"
#include "tests/support/loopback_listener.h"
#include "tests/support/wait.h"

namespace {

constexpr char kHoldLimit[] = "65536";

// How one request reaches a host.
struct Route {
  std::string name;
  std::string base;         // URL up to the module's path: "http://127.0.0.1:80/probe.dll"
  std::string unix_socket;  // "" for TCP
  long http_version;        // CURL_HTTP_VERSION_*
};

struct Answer {
  long status = 0;
  CURLcode code = CURLE_OK;
  std::multimap<std::string, std::string> headers;  // names in lower case
  std::string body;
};

size_t Collect(char* data, size_t size, size_t count, void* out) {
  static_cast<std::string*>(out)->append(data, size * count);
  return size * count;
}

size_t CollectHeader(char* data, size_t size, size_t count, void* out) {
  std::string line(data, size * count);
  size_t colon = line.find(':');
  if (colon != std::string::npos) {
    std::string name = line.substr(0, colon);
    for (char& c : name) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    size_t start = line.find_first_not_of(' ', colon + 1);
    size_t end = line.find_last_not_of("\r\n ");
    static_cast<Answer*>(out)->headers.emplace(
        name, start == std::string::npos || end < start ? "" : line.substr(start, end - start + 1));
  }
  return size * count;
}

// A GET (HEAD with `head`), or a POST of `body` when given, chunked with
// `chunked`.
Answer Fetch(const Route& route, const std::string& path, bool head,
             const std::string* body = nullptr, bool chunked = false) {
  Answer answer;
  CURL* curl = curl_easy_init();
  curl_slist* headers = nullptr;
  if (body != nullptr) {
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body->data());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body->size()));
    if (chunked) headers = curl_slist_append(headers, "Transfer-Encoding: chunked");
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  }
  std::string url = route.base + path;
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  if (!route.unix_socket.empty()) {
    curl_easy_setopt(curl, CURLOPT_UNIX_SOCKET_PATH, route.unix_socket.c_str());
  }
  curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, route.http_version);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 0L);
  curl_easy_setopt(curl, CURLOPT_NOBODY, head ? 1L : 0L);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, 20L);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Collect);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer.body);
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, CollectHeader);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &answer);
  answer.code = curl_easy_perform(curl);
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &answer.status);
  curl_easy_cleanup(curl);
  curl_slist_free_all(headers);
  return answer;
}

// The three hosts, set up once for every row.
class CrossHostTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    server_ = new server_test::ServerProcess(
        {"--module", PROBE_MODULE_PATH, "--workers", "0", "--hold-limit", kHoldLimit});
#ifdef NGINX_MODULE_PATH
    std::string nginx_path = nginx_test::FindNginx();
    if (nginx_path.empty()) return;
    std::string build;
    nginx_test::RunOnce(nginx_path, {}, &build, {"-V"});
    nginx_http3_ = build.find("--with-http_v3_module") != std::string::npos;
    dir_ = new fcgi_test::TempDir();
    std::string key = dir_->path() + "/key.pem", certificate = dir_->path() + "/cert.pem";
    test_support::Child openssl({"/usr/bin/openssl", "req", "-x509", "-newkey", "rsa:2048",
                                 "-nodes", "-subj", "/CN=localhost", "-days", "1", "-keyout",
                                 key, "-out", certificate},
                                {}, dir_->path() + "/openssl.log");
    if (openssl.WaitExit() != 0) return;
    fcgi_ = new fcgi_test::FcgiServer(PROBE_MODULE_PATH, "",
                                      {"--workers", "0", "--hold-limit", kHoldLimit});
    h2c_socket_ = dir_->path() + "/h2c.sock";
    tls_socket_ = dir_->path() + "/tls.sock";
    nginx_test::Config config;
    config.quic = nginx_http3_;
    config.main = "load_module " NGINX_MODULE_PATH ";\n";
    config.http = std::string("isapi_hold_limit ") + kHoldLimit + ";\n" +
                  "upstream isapi_fcgi {\n  server unix:" + fcgi_->socket_path() +
                  ";\n  keepalive 2;\n}\n"
                  "server {\n  listen LISTEN;\n"
                  "  listen unix:" + h2c_socket_ + " http2;\n"
                  "  listen unix:" + tls_socket_ + " ssl http2;\n" +
                  (nginx_http3_ ? "  listen QUIC_ADDRESS quic;\n  http3 on;\n" : "") +
                  "  ssl_certificate " + certificate + ";\n"
                  "  ssl_certificate_key " + key + ";\n"
                  "  location /probe.dll { isapi " PROBE_MODULE_PATH "; }\n"
                  "  location /pool.dll { isapi " PROBE_MODULE_PATH
                  "; isapi_thread_pool default; }\n"
                  "  location ~ ^/fcgi\\.dll(/|$) {\n"
                  "    fastcgi_pass isapi_fcgi;\n    fastcgi_keep_conn on;\n"
                  "    fastcgi_split_path_info ^(/fcgi\\.dll)(/.*)$;\n"
                  "    fastcgi_param REQUEST_METHOD $request_method;\n"
                  "    fastcgi_param REQUEST_URI $request_uri;\n"
                  "    fastcgi_param QUERY_STRING $query_string;\n"
                  "    fastcgi_param SCRIPT_NAME $fastcgi_script_name;\n"
                  "    fastcgi_param PATH_INFO $fastcgi_path_info;\n"
                  "    fastcgi_param SERVER_PROTOCOL $server_protocol;\n"
                  "  }\n}\n";
    nginx_ = new nginx_test::Nginx(nginx_path, config);
#endif
  }

  static void TearDownTestSuite() {
    delete nginx_;
    delete fcgi_;
    delete server_;
    delete dir_;
    nginx_ = nullptr;
  }

  void SetUp() override {
    ASSERT_TRUE(server_->started());
    std::string server = "http://127.0.0.1:" + std::to_string(server_->port());
    server_routes_.push_back({"isapi-server HTTP/1.0", server, "", CURL_HTTP_VERSION_1_0});
    server_routes_.push_back({"isapi-server HTTP/1.1", server, "", CURL_HTTP_VERSION_1_1});
    if (nginx_ == nullptr) return;
    std::string nginx = "http://127.0.0.1:" + std::to_string(nginx_->port());
    // Over TCP first: once nginx answers there, it listens on its Unix
    // sockets too (the master opens them all before the first worker).
    ASSERT_EQ(Fetch({"", nginx, "", CURL_HTTP_VERSION_1_1}, "/probe.dll/page", false).status,
              200)
        << nginx_->log();
    const std::pair<const char*, const char*> nginx_routes[] = {
        {"/probe.dll", "nginx module"},
        {"/pool.dll", "nginx module, thread pool"},
        {"/fcgi.dll", "nginx > isapi-fcgi"}};
    for (const auto& [host, name_text] : nginx_routes) {
      std::string name = name_text;
      nginx_routes_.push_back({name + " HTTP/1.0", nginx + host, "", CURL_HTTP_VERSION_1_0});
      nginx_routes_.push_back({name + " HTTP/1.1", nginx + host, "", CURL_HTTP_VERSION_1_1});
      nginx_routes_.push_back({name + " h2c", std::string("http://localhost") + host,
                               h2c_socket_, CURL_HTTP_VERSION_2_PRIOR_KNOWLEDGE});
      nginx_routes_.push_back({name + " h2 TLS", std::string("https://localhost") + host,
                               tls_socket_, CURL_HTTP_VERSION_2TLS});
    }
    if (nginx_http3_) {
      std::string quic = "https://127.0.0.1:" + std::to_string(nginx_->quic_port());
      http3_routes_.push_back({"nginx module HTTP/3", quic + "/probe.dll", "",
                               CURL_HTTP_VERSION_3ONLY});
      http3_routes_.push_back({"nginx module, thread pool HTTP/3", quic + "/pool.dll", "",
                               CURL_HTTP_VERSION_3ONLY});
    }
  }

  static fcgi_test::TempDir* dir_;
  static server_test::ServerProcess* server_;
  static fcgi_test::FcgiServer* fcgi_;
  static nginx_test::Nginx* nginx_;
  static std::string h2c_socket_, tls_socket_;
  static bool nginx_http3_;
  std::vector<Route> server_routes_, nginx_routes_, http3_routes_;
};

fcgi_test::TempDir* CrossHostTest::dir_ = nullptr;
server_test::ServerProcess* CrossHostTest::server_ = nullptr;
fcgi_test::FcgiServer* CrossHostTest::fcgi_ = nullptr;
nginx_test::Nginx* CrossHostTest::nginx_ = nullptr;
std::string CrossHostTest::h2c_socket_, CrossHostTest::tls_socket_;
bool CrossHostTest::nginx_http3_ = false;

const std::string kNone = "<none>";

struct Row {
  const char* path;
  bool head;
  long status;
  std::string content_type;  // the module's line, kNone when it sends none
  std::string length;        // Content-Length announced, kNone for none
  std::string body;          // all of it, or what precedes the cut
  bool cut;                  // the client sees the answer end early
};

const std::vector<Row>& EveryAnswer() {
  static const std::vector<Row> rows = {
      {"/page", false, 200, "text/plain", "10", "page body\n", false},
      {"/page", true, 200, "text/plain", "10", "", false},
      {"/stream", false, 200, "text/plain", "14", "one two three\n", false},
      {"/stream", true, 200, "text/plain", "14", "", false},
      {"/chunked", false, 200, kNone, "11", "hello world", false},
      {"/chunked", true, 200, kNone, "11", "", false},
      {"/big", false, 200, "application/octet-stream", kNone, std::string(256 * 1024, 'b'), false},
      {"/nothing", false, 500, kNone, "0", "", false},
      {"/bad-header", false, 500, kNone, "0", "", false},
      {"/short", false, 500, kNone, "0", "", false},
      {"/chunked-bad", false, 500, kNone, "0", "", false},
      {"/chunked-unended", false, 500, kNone, "0", "", false},
      {"/answer?500", false, 500, kNone, "12", "twelve bytes", false},
      {"/long-short", false, 200, kNone, "300000", std::string(200000, 'l'), true},
      {"/long-chunked-unended", false, 200, kNone, kNone, std::string(200000, 'c'), true},
  };
  return rows;
}

// Every row on every route.
void ExpectTheSameResults(const std::vector<Route>& routes, const std::vector<Row>& rows) {
  for (const Route& route : routes) {
    for (const auto& row : rows) {
      SCOPED_TRACE(route.name + (row.head ? " HEAD " : " GET ") + row.path);
      Answer answer = Fetch(route, row.path, row.head);
      // nginx cuts an HTTP/3 answer by resetting its stream, and QUIC
      // then drops what it has not delivered yet, which may be all of it:
      // the client sees only the error.
      if (row.cut && route.http_version == CURL_HTTP_VERSION_3ONLY && answer.status == 0) {
        EXPECT_NE(answer.code, CURLE_OK);
        EXPECT_EQ(answer.body, "");
        continue;
      }
      EXPECT_EQ(answer.status, row.status);
      for (const auto& [name, value] : answer.headers) {
        EXPECT_EQ(answer.headers.count(name), 1u) << name << " twice";
      }
      auto header = [&](const char* name) {
        auto found = answer.headers.find(name);
        return found == answer.headers.end() ? kNone : found->second;
      };
      EXPECT_EQ(header("content-type"), row.content_type);
      bool http10 = route.http_version == CURL_HTTP_VERSION_1_0;
      if (route.http_version == CURL_HTTP_VERSION_1_1 && row.length == kNone && !row.head) {
        EXPECT_EQ(header("transfer-encoding"), "chunked");
      } else {
        EXPECT_EQ(header("transfer-encoding"), kNone);
      }
      EXPECT_EQ(header("content-length"), row.length);
      if (row.cut) {
        EXPECT_EQ(answer.body, row.body.substr(0, answer.body.size()));
        // Over HTTP/1.0 an answer without a length ends with the
        // connection either way: the client cannot tell.
        if (!(http10 && row.length == kNone)) {
          EXPECT_NE(answer.code, CURLE_OK);
        }
      } else {
        EXPECT_EQ(answer.code, CURLE_OK) << curl_easy_strerror(answer.code);
        EXPECT_TRUE(answer.body == row.body) << answer.body.size() << " bytes";
      }
    }
  }
}

TEST_F(CrossHostTest, EachModuleAnswerGivesTheSameResultOnIsapiServer) {
  ExpectTheSameResults(server_routes_, EveryAnswer());
}

TEST_F(CrossHostTest, EachModuleAnswerGivesTheSameResultThroughNginx) {
  if (nginx_ == nullptr) GTEST_SKIP() << "nginx, its module or openssl is not available";
  ExpectTheSameResults(nginx_routes_, EveryAnswer());
}

TEST_F(CrossHostTest, EachModuleAnswerGivesTheSameResultOverHttp3) {
  if (nginx_ == nullptr) GTEST_SKIP() << "nginx, its module or openssl is not available";
  if (!nginx_http3_) GTEST_SKIP() << "this nginx is built without http_v3_module";
  if ((curl_version_info(CURLVERSION_NOW)->features & CURL_VERSION_HTTP3) == 0) {
    GTEST_SKIP() << "this libcurl speaks no HTTP/3";
  }
  ExpectTheSameResults(http3_routes_, EveryAnswer());
  // On the thread pool the module waits for the client, so an answer of
  // any length streams whole (the event loop cuts one past the hold limit).
  const Route& thread_pool = http3_routes_.back();
  ExpectTheSameResults({thread_pool}, {{"/big?4096", false, 200, "application/octet-stream",
                                        kNone, std::string(4096 * 1024, 'b'), false}});
}

// A web server other than nginx in front of isapi-fcgi: its example site
// (examples/SERVER/...) inside a main configuration of the test's own. In
// the texts, {dir} stands for the server's temporary directory, {port} for
// its port, {site} for the example.
struct FrontServer {
  const char* name;
  const char* binary;
  const char* example;       // under examples/
  const char* example_port;  // the example's own address, or ""
  const char* config_file;   // under {dir}
  const char* main_config;
  std::vector<std::string> args;
  std::vector<std::string> env;
  const char* log_file;  // under {dir}: where it tells that it listens
  const char* ready;
};

std::string Expand(std::string text, const std::map<std::string, std::string>& values) {
  for (const auto& [name, value] : values) {
    for (size_t at = text.find(name); at != std::string::npos;
         at = text.find(name, at + value.size())) {
      text.replace(at, name.size(), value);
    }
  }
  return text;
}

const FrontServer kFrontServers[] = {
    {"Apache", "/usr/sbin/apache2", "apache/isapi-fcgi.conf", "", "apache2.conf",
     // Apache serves as root only after dropping to a user of its own.
     "ServerRoot {dir}\nListen 127.0.0.1:{port}\nPidFile {dir}/apache2.pid\n"
     "DefaultRuntimeDir {dir}\nErrorLog {dir}/error.log\nLogLevel notice\n"
     "ServerName localhost\nUser nobody\nGroup nogroup\n"
     "LoadModule mpm_event_module /usr/lib/apache2/modules/mod_mpm_event.so\n"
     "LoadModule authz_core_module /usr/lib/apache2/modules/mod_authz_core.so\n"
     "LoadModule proxy_module /usr/lib/apache2/modules/mod_proxy.so\n"
     "LoadModule proxy_fcgi_module /usr/lib/apache2/modules/mod_proxy_fcgi.so\n"
     "LoadModule setenvif_module /usr/lib/apache2/modules/mod_setenvif.so\n{site}",
     {"-f", "{dir}/apache2.conf", "-DFOREGROUND"}, {}, "error.log",
     "resuming normal operations"},
    {"lighttpd", "/usr/sbin/lighttpd", "lighttpd/isapi-fcgi.conf", "", "lighttpd.conf",
     "server.bind = \"127.0.0.1\"\nserver.port = {port}\nserver.document-root = \"{dir}\"\n"
     "server.errorlog = \"{dir}/error.log\"\nserver.upload-dirs = (\"{dir}\")\n{site}",
     {"-D", "-f", "{dir}/lighttpd.conf"}, {}, "error.log", "server started"},
    {"Caddy", "/usr/bin/caddy", "caddy/Caddyfile", ":8083", "Caddyfile",
     "{\n\tadmin off\n}\n{site}",
     {"run", "--adapter", "caddyfile", "--config", "{dir}/Caddyfile"},
     {"HOME={dir}", "XDG_CONFIG_HOME={dir}", "XDG_DATA_HOME={dir}"}, "stderr.log",
     "serving initial configuration"},
};

void PrintTo(const FrontServer& front, std::ostream* out) { *out << front.name; }

class FrontServerTest : public testing::TestWithParam<FrontServer> {
 protected:
  void SetUp() override {
    const FrontServer& front = GetParam();
    if (access(front.binary, X_OK) != 0) {
      GTEST_SKIP() << front.binary << " is not installed (scripts/install-deps.sh test)";
    }
    // Apache's workers run as nobody when the test runs as root.
    fcgi_ = std::make_unique<fcgi_test::FcgiServer>(
        PROBE_MODULE_PATH, "",
        std::vector<std::string>{"--hold-limit", "65536", "--socket-mode", "0666"});
    std::string fcgi_dir = fcgi_->socket_path().substr(0, fcgi_->socket_path().rfind('/'));
    ASSERT_EQ(chmod(fcgi_dir.c_str(), 0711), 0);

    uint16_t port;
    {
      // Released just before the server binds it: none of these servers
      // takes over a listening socket it inherits.
      test_support::LoopbackListener listener;
      port = listener.port();
    }
    std::string site = fcgi_test::ReadFile(std::string(EXAMPLES_DIR "/") + front.example);
    ASSERT_NE(site.find(kExampleSocket), std::string::npos) << front.example;
    site = Expand(site, {{kExampleSocket, fcgi_->socket_path()}});
    if (*front.example_port != '\0') {
      site = Expand(site, {{front.example_port, "http://127.0.0.1:{port}"}});
    }
    std::string config = Expand(front.main_config, {{"{site}", site}});
    const std::map<std::string, std::string> values = {{"{dir}", dir_.path()},
                                                       {"{port}", std::to_string(port)}};
    dir_.Write(front.config_file, Expand(config, values));
    std::vector<std::string> argv = {front.binary};
    for (const std::string& arg : front.args) argv.push_back(Expand(arg, values));
    std::vector<std::string> env;
    for (const std::string& entry : front.env) env.push_back(Expand(entry, values));
    server_ = std::make_unique<test_support::Child>(argv, env, dir_.path() + "/stderr.log",
                                                 std::vector<std::pair<int, int>>{}, true);
    ASSERT_TRUE(test_support::WaitForWrites(dir_.path(), fcgi_test::kWait, [&] {
      return fcgi_test::ReadFile(dir_.path() + "/" + front.log_file).find(front.ready) !=
             std::string::npos;
    })) << log();
    route_ = {front.name, "http://127.0.0.1:" + std::to_string(port) + "/orvanehp.dll", "",
              CURL_HTTP_VERSION_1_1};
  }

  std::string log() const {
    return fcgi_test::ReadFile(dir_.path() + "/error.log") +
           fcgi_test::ReadFile(dir_.path() + "/stderr.log");
  }

  static constexpr char kExampleSocket[] = "/run/orvane/isapi-fcgi.sock";
  fcgi_test::TempDir dir_;
  std::unique_ptr<fcgi_test::FcgiServer> fcgi_;
  std::unique_ptr<test_support::Child> server_;
  Route route_;
};

TEST_P(FrontServerTest, PageBodyAndStreamedAnswerPassThrough) {
  std::string body(200000, '\0');
  for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(i * 7 % 251);
  const struct {
    const char* path;
    const std::string* post;
    bool chunked;
    long status;
    std::string body;                // all of it, unless `lines` are given
    std::vector<const char*> lines;  // lines the body contains
  } rows[] = {
      {"/page", nullptr, false, 200, "page body\n", {}},
      {"/status-only", nullptr, false, 404, "missing", {}},
      // The example's split, as through nginx.
      {"/vars?q=1", nullptr, false, 200, "",
       {"\nSCRIPT_NAME=/orvanehp.dll\n", "\nPATH_INFO=/vars\n", "\nURL=/orvanehp.dll/vars\n"}},
      {"/echo", &body, false, 200, body, {}},
      // Past the hold limit: streamed.
      {"/big?1024", nullptr, false, 200, std::string(1024 * 1024, 'b'), {}},
      // Caddy sends CONTENT_LENGTH=-1 for it.
      {"/vars", &body, true, 200, "", {"\nCONTENT_LENGTH=200000\n"}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.path) + (row.chunked ? " chunked" : ""));
    Answer answer = Fetch(route_, row.path, false, row.post, row.chunked);
    EXPECT_EQ(answer.code, CURLE_OK) << curl_easy_strerror(answer.code) << log();
    EXPECT_EQ(answer.status, row.status) << log();
    EXPECT_EQ(answer.headers.count("status"), 0u);
    if (row.lines.empty()) {
      EXPECT_TRUE(answer.body == row.body) << answer.body.size() << " bytes";
    }
    for (const char* line : row.lines) {
      EXPECT_NE(answer.body.find(line), std::string::npos) << line << " in\n" << answer.body;
    }
    EXPECT_EQ(answer.body.find("Content-Length: -"), std::string::npos) << answer.body;
  }
}

INSTANTIATE_TEST_SUITE_P(Fronts, FrontServerTest, testing::ValuesIn(kFrontServers),
                         [](const testing::TestParamInfo<FrontServer>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
