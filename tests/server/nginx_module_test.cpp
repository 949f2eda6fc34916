// The nginx module (ngx_http_isapi_module.so) loaded into the installed
// Debian nginx, with the extension module and the probe module behind it.
// Skipped when nginx is not installed.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tests/server/nginx_test_support.h"
#include "tests/server/probe_digest.h"
#include "tests/server/server_process.h"
#include "tests/support/wait.h"

namespace {

using nginx_test::Config;
using nginx_test::Nginx;
using nginx_test::WithoutDates;

// The module's header block as IIS sends it; nginx adds its own lines
// before it.
const char kModuleHeaderLines[] =
    "Content-type: text/html\r\nCache-Control: no-cache\r\nPragma: no-cache\r\n"
    "TrResult: -1\r\n\r\n";

// The built-in page, in Shift_JIS.
const std::string kFallbackPage =
    "<html><head></head><body bgcolor=#FFFFFF link=#0000CC><center><table><tr><td><center><p><p><b>\x93\xe0\x95\x94\x83G\x83\x89\x81[\x82\xaa\x94\xad\x90\xb6\x82\xb5\x82\xdc\x82\xb5\x82\xbd\x81" "B</b><p>\x8f\xe3\x8bL\x97\x9d\x97R\x82\xcc\x82\xbd\x82\xdf\x81" "A\x96|\x96\xf3\x82\xcc\x8e\xc0\x8ds\x82\xf0\x92\x86\x8e~\x82\xb5\x82\xdc\x82\xb5\x82\xbd\x81" "B</center></td></tr></table></center></body></html>";

const std::string kPage = std::string("<html>\r\n\x93\xe0\x95\x94 nginx module\x00</html>\n", 32);

// The module CMake built, or ORVANE_NGINX_MODULE's: one from nginx's own
// addon build (.ci/nginx-addon-build.sh).
std::string LoadModule() {
  const char* other = getenv("ORVANE_NGINX_MODULE");
  return "load_module " + std::string(other != nullptr ? other : NGINX_MODULE_PATH) + ";\n";
}

// A server whose locations serve through the modules: /orvanehp.dll
// through the extension module, /probe.dll and /pool.dll (thread pool)
// through the probe module.
std::string Site(const std::string& extra = "") {
  return "server {\n  listen LISTEN;\n"
         "  location /orvanehp.dll { isapi " ORVANEHP_PATH "; }\n"
         "  location /probe.dll { isapi " PROBE_MODULE_PATH "; }\n"
         "  location /pool.dll { isapi " PROBE_MODULE_PATH "; isapi_thread_pool default; }\n" +
         extra + "}\n";
}

// An installation whose notice page is `page`, for ORVANE_INSDIR.
std::string WriteInstallation(const fcgi_test::TempDir& dir, const std::string& page) {
  dir.Write("data/dremgate_j.ini",
            "[Template]\r\nerr=" + dir.path() + "\\template\\dremerror.html\r\n");
  dir.Write("template/dremerror.html", "<html>template</html>");
  dir.Write("help/nohp.html", page);
  return dir.path();
}

std::string Head(const std::string& status, const std::string& length,
                 const std::string& connection) {
  return "HTTP/1.1 " + status + "\r\nServer: nginx\r\nDate: <now>\r\nContent-Length: " + length +
         "\r\nConnection: " + connection + "\r\n";
}

// Whether `fd` has something to read (or was closed) right now.
bool Readable(int fd) {
  pollfd ready = {fd, POLLIN, 0};
  return poll(&ready, 1, 0) > 0;
}

size_t Occurrences(const std::string& text, const std::string& part) {
  size_t found = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++found;
  return found;
}

// Waits (at most 10 s) until nginx's log holds `count` lines with `text`.
bool WaitForLog(const Nginx& nginx, const std::string& text, size_t count) {
  return test_support::WaitForWrites(nginx.dir(), std::chrono::seconds(10), [&] {
    return Occurrences(nginx.log(), text) >= count;
  });
}

std::string Body(const std::string& answer) {
  size_t end = answer.find("\r\n\r\n");
  return end == std::string::npos ? "<no head>" : answer.substr(end + 4);
}

class NginxModuleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    nginx_path_ = nginx_test::FindNginx();
    if (nginx_path_.empty()) GTEST_SKIP() << "nginx is not installed; apt-get install nginx";
  }

  std::unique_ptr<Nginx> Start(const std::string& main, const std::string& http = Site(),
                               int workers = 1, const std::vector<std::string>& env = {}) {
    return std::make_unique<Nginx>(nginx_path_, Config{LoadModule() + main, http, workers}, env);
  }

  std::string nginx_path_;
};

TEST_F(NginxModuleTest, NoticePageAndFallbackArriveByteForByte) {
  fcgi_test::TempDir installation, empty;
  WriteInstallation(installation, kPage);
  struct Row {
    std::string insdir;
    std::string page;
  };
  for (const Row& row : {Row{installation.path(), kPage}, Row{empty.path(), kFallbackPage}}) {
    auto nginx = Start("env ORVANE_INSDIR=" + row.insdir + ";\n");
    std::string length = std::to_string(row.page.size());
    std::string head = Head("200 OK", length, "close") + kModuleHeaderLines;
    EXPECT_EQ(WithoutDates(nginx->Exchange("GET /orvanehp.dll HTTP/1.1\r\nHost: x\r\n"
                                           "Connection: close\r\n\r\n")),
              head + row.page)
        << nginx->log();
    EXPECT_EQ(WithoutDates(nginx->Exchange("HEAD /orvanehp.dll/x?y HTTP/1.1\r\nHost: x\r\n"
                                           "Connection: close\r\n\r\n")),
              head);
    EXPECT_EQ(WithoutDates(nginx->Exchange("GET /orvanehp.dll HTTP/1.0\r\n\r\n")),
              head + row.page);
  }
}

std::string ReplaceAll(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

// examples/nginx/isapi-module.conf as its comment says to set it up, with
// the example installation reached through drive C:.
TEST_F(NginxModuleTest, ExampleSiteServesTheExampleInstallation) {
  std::string site = fcgi_test::ReadFile(EXAMPLE_SITE);
  ASSERT_NE(site.find("listen 8082;"), std::string::npos);
  site = ReplaceAll(site, "listen 8082;", "listen LISTEN;");
  site = ReplaceAll(site, "/usr/lib/x86_64-linux-gnu/orvane/orvanehp.so", ORVANEHP_PATH);
  fcgi_test::TempDir drive_c;
  drive_c.Write("Program Files/.keep", "");
  ASSERT_EQ(symlink(EXAMPLE_INSTALLATION, (drive_c.path() + "/Program Files/Orvane").c_str()), 0);
  auto nginx = Start("env ORVANE_INSDIR=" EXAMPLE_INSTALLATION ";\nenv WIN32_DRIVE_C=" +
                         drive_c.path() + ";\n",
                     site);
  std::string page = fcgi_test::ReadFile(EXAMPLE_INSTALLATION "/help/nohp.html");
  ASSERT_FALSE(page.empty());
  std::string expected = Head("200 OK", std::to_string(page.size()), "close") +
                         kModuleHeaderLines + page;
  for (const char* path : {"/orvanehp.dll", "/orvanehp.dll/extra/path?x=1"}) {
    EXPECT_EQ(WithoutDates(nginx->Exchange(std::string("GET ") + path + " HTTP/1.0\r\n\r\n")),
              expected)
        << path << nginx->log();
  }
  EXPECT_EQ(nginx->Exchange("GET /orvanehp.dllx HTTP/1.0\r\n\r\n").rfind("HTTP/1.1 404 ", 0), 0u);
}

// nginx's gzip filter compresses by the module's Content-Type, and the
// module's line stays the only Content-Type line.
TEST_F(NginxModuleTest, GzipCompressesByTheModulesContentType) {
  fcgi_test::TempDir installation;
  auto nginx = Start("env ORVANE_INSDIR=" + WriteInstallation(installation, kPage) + ";\n",
                     "gzip on;\ngzip_min_length 1;\n" + Site());
  std::string answer = nginx->Exchange(
      "GET /orvanehp.dll HTTP/1.1\r\nHost: x\r\nAccept-Encoding: gzip\r\n"
      "Connection: close\r\n\r\n");
  std::string head = answer.substr(0, answer.find("\r\n\r\n") + 2);
  EXPECT_NE(head.find("\r\nContent-Encoding: gzip\r\n"), std::string::npos) << head;
  EXPECT_NE(head.find("\r\nContent-type: text/html\r\n"), std::string::npos) << head;
  EXPECT_EQ(head.find("Content-Type"), std::string::npos) << head;
  EXPECT_NE(Body(answer).find("\x1f\x8b"), std::string::npos) << answer;
  // Without Accept-Encoding the page goes out as it is.
  answer = nginx->Exchange("GET /orvanehp.dll HTTP/1.0\r\n\r\n");
  EXPECT_EQ(Body(answer), kPage) << answer;
}

TEST_F(NginxModuleTest, KeepAliveAndPipelinedRequestsOnOneConnection) {
  auto nginx = Start("");
  std::string answers = nginx->Exchange(
      "GET /probe.dll/page HTTP/1.1\r\nHost: x\r\n\r\n"
      "HEAD /probe.dll/page HTTP/1.1\r\nHost: x\r\n\r\n"
      "GET /probe.dll/stream HTTP/1.1\r\nHost: x\r\n\r\n"
      "HEAD /probe.dll/stream HTTP/1.1\r\nHost: x\r\n\r\n"
      "GET /probe.dll/ex-close HTTP/1.1\r\nHost: x\r\n\r\n"
      "GET /probe.dll/page HTTP/1.1\r\nHost: x\r\n\r\n");
  // Each answer: its status line, the header lines that matter, its body.
  // The module's Content-Length is its own; without one the held body is
  // counted, for HEAD too. HEADER_EX with fKeepConn FALSE closes, so the
  // last request is not answered.
  struct Row {
    std::string status;
    std::string length;
    std::string connection;
    std::string body;
  };
  const Row rows[] = {{"HTTP/1.1 200 OK", "10", "keep-alive", "page body\n"},
                      {"HTTP/1.1 200 OK", "10", "keep-alive", ""},
                      {"HTTP/1.1 200 OK", "14", "keep-alive", "one two three\n"},
                      {"HTTP/1.1 200 OK", "14", "keep-alive", ""},
                      {"HTTP/1.1 201 Created", "2", "close", "ok"}};
  size_t at = 0;
  for (const Row& row : rows) {
    size_t end = answers.find("\r\n\r\n", at);
    ASSERT_NE(end, std::string::npos) << answers.substr(at);
    std::string head = answers.substr(at, end + 2 - at);
    EXPECT_EQ(head.rfind(row.status + "\r\n", 0), 0u) << head;
    EXPECT_NE(head.find("\r\nContent-Length: " + row.length + "\r\n"), std::string::npos) << head;
    EXPECT_NE(head.find("\r\nConnection: " + row.connection + "\r\n"), std::string::npos) << head;
    EXPECT_EQ(answers.substr(end + 4, row.body.size()), row.body) << head;
    at = end + 4 + row.body.size();
  }
  EXPECT_EQ(answers.substr(at), "") << nginx->log();
}

// The module's own chunks arrive decoded and measured, and the connection
// serves on.
TEST_F(NginxModuleTest, ModulesOwnChunkingArrivesDecoded) {
  auto nginx = Start("");
  std::string answer = nginx->Exchange(
      "GET /probe.dll/chunked HTTP/1.1\r\nHost: x\r\n\r\n"
      "GET /probe.dll/page HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
  EXPECT_NE(answer.find("Content-Length: 11\r\n"), std::string::npos) << answer;
  EXPECT_NE(answer.find("\r\n\r\nhello worldHTTP/1.1 200 OK"), std::string::npos) << answer;
  EXPECT_EQ(answer.find("Transfer-"), std::string::npos) << answer;
  EXPECT_NE(answer.find("page body\n"), std::string::npos) << answer;
}

// Each with one line in the error log that says why; a 500 the module
// sends as its own answer has none.
TEST_F(NginxModuleTest, AnswersWithoutAValidHeaderAre500) {
  auto nginx = Start("");
  const struct {
    const char* path;
    bool logged;
  } rows[] = {
      {"/nothing", true},
      {"/bad-header", true},
      {"/bad-status", true},
      {"/short", true},
      {"/answer?500", false},
      {"/answer?500%20Internal%20Server%20Error|Content-Length:%200", false},
  };
  size_t logged = 0;
  for (const auto& row : rows) {
    std::string answer =
        nginx->Exchange(std::string("GET /probe.dll") + row.path + " HTTP/1.0\r\n\r\n");
    EXPECT_EQ(answer.rfind("HTTP/1.1 500 Internal Server Error\r\n", 0), 0u) << row.path
                                                                             << answer;
    EXPECT_EQ(answer.find("must not appear"), std::string::npos) << answer;
    logged += row.logged;
    EXPECT_EQ(Occurrences(nginx->log(), "[error]"), logged) << row.path << nginx->log();
  }
}

// The module's header lines reach nginx's fields, so that its filters and
// directives act on them as on a proxied answer's, and hop-by-hop lines
// stay behind. /probe.dll/answer?STATUS|LINE... answers with the query's
// status and lines and a 12-byte body.
TEST_F(NginxModuleTest, ModuleHeadersGoThroughNginxsFields) {
  struct Row {
    std::string config;   // in the server block
    std::string request;  // method and target
    std::vector<std::string> present;
    std::vector<std::string> absent;
    bool kept_alive;  // the next request on the connection is answered
  };
  const std::string page = "GET /probe.dll/answer?200%20OK|Content-Length:%2012";
  for (const Row& row : std::vector<Row>{
           {"", page + "|Connection:%20close", {"\r\nConnection: close\r\n"}, {"keep-alive"},
            false},
           {"", page + "|Keep-Alive:%20timeout=5|Upgrade:%20h2c", {}, {"Keep-Alive:", "Upgrade:"},
            true},
           {"charset utf-8;\n", page + "|Content-Type:%20text/html",
            {"\r\nContent-Type: text/html; charset=utf-8\r\n"}, {}, true},
           {"", page + "|Content-Type:%20text/html|Content-Type:%20text/plain",
            {"\r\nContent-Type: text/html\r\n"}, {"text/plain"}, true},
           {"charset utf-8;\n", page + "|Content-Type:%20text/html;%20charset=Shift_JIS",
            {"\r\nContent-Type: text/html; charset=Shift_JIS\r\n"}, {"utf-8"}, true},
           {"gzip on;\ngzip_min_length 1;\n",
            page + "|Content-Type:%20text/html|Content-Encoding:%20gzip",
            {"\r\nContent-Encoding: gzip\r\n\r\ntwelve bytes"}, {"Content-Encoding: gzip\r\nC"},
            true},
           {"expires 1h;\n", page + "|Cache-Control:%20no-cache",
            {"\r\nCache-Control: max-age=3600\r\n"}, {"no-cache"}, true},
           {"", "GET /probe.dll/answer?302%20Found|Location:%20/elsewhere",
            {"HTTP/1.1 302 Found\r\n", "\r\nLocation: /elsewhere\r\n"}, {}, true},
           {"", "GET /probe.dll/answer?204%20No%20Content|Content-Length:%200",
            {"HTTP/1.1 204 No Content\r\n"}, {"Content-Length", "twelve"}, true},
           {"", "GET /probe.dll/answer?304%20Not%20Modified", {"HTTP/1.1 304 "},
            {"Content-Length"}, true},
           {"", "GET /probe.dll/answer?200|Content-Length:%2012", {"HTTP/1.1 200 OK\r\n"}, {},
            true},
           {"", "GET /probe.dll/answer?200%20Fine|Content-Length:%2012",
            {"HTTP/1.1 200 Fine\r\n"}, {}, true},
           {"", "HEAD /probe.dll/answer?200%20OK|Content-Type:%20text/plain", {},
            {"Content-Length"}, true},
       }) {
    auto nginx = Start("", Site(row.config));
    std::string answers = nginx->Exchange(row.request + " HTTP/1.1\r\nHost: x\r\n"
                                          "Accept-Encoding: gzip\r\n\r\n"
                                          "GET /probe.dll/page HTTP/1.1\r\nHost: x\r\n"
                                          "Connection: close\r\n\r\n");
    size_t next = answers.find("HTTP/1.1 ", 1);
    std::string answer = answers.substr(0, next);
    for (const std::string& text : row.present) {
      EXPECT_NE(answer.find(text), std::string::npos) << row.request << ": " << text << " in\n"
                                                      << answers;
    }
    for (const std::string& text : row.absent) {
      EXPECT_EQ(answer.find(text), std::string::npos) << row.request << ": " << text << " in\n"
                                                      << answers;
    }
    EXPECT_EQ(next != std::string::npos, row.kept_alive) << row.request << answers;
  }
}

// Subrequests and debug logging on the thread pool: an SSI page whose
// first include, an empty 404, is done on the pool while the next include
// still runs, on kept-alive connections under allocator poisoning (and the
// sanitizer in its build).
TEST_F(NginxModuleTest, ThreadPoolSurvivesSubrequestsAndDebugLogging) {
  fcgi_test::TempDir root;
  root.Write("ssi/page.html",
             "[<!--# include virtual=\"/pool.dll/missing\" -->]"
             "[<!--# include virtual=\"/pool.dll/stream\" -->]\n");
  struct Row {
    std::string main;
    std::string path;
    std::string body;
  };
  for (const Row& row : {Row{"", "/ssi/page.html", "three\n"},
                         Row{"error_log " + root.path() + "/debug.log debug;\n", "/pool.dll/page",
                             "page body\n"}}) {
    auto nginx = Start(row.main, Site("location /ssi/ { ssi on; root " + root.path() + "; }\n"), 1,
                       {"MALLOC_PERTURB_=85"});
    std::string request = "GET " + row.path + " HTTP/1.1\r\nHost: x\r\n\r\n";
    for (int i = 0; i < 10; ++i) {
      std::string answer = nginx->Exchange(request + request + request +
                                           "GET /probe.dll/ex-close HTTP/1.1\r\nHost: x\r\n\r\n");
      ASSERT_EQ(Occurrences(answer, row.body), 3u) << row.path << answer << nginx->log();
    }
    EXPECT_EQ(nginx->log().find("exited on signal"), std::string::npos) << nginx->log();
  }
}

// Answers beyond the hold limit go out as the module writes them, through
// a few buffers and then a temporary file, as nginx keeps a backend's: 40
// clients that do not read leave the thread pool free. Past
// isapi_max_temp_file_size the module on the pool waits for a slow client;
// in the event loop, where it cannot, the client has its connection
// closed, logged at info as nginx logs a client's faults.
TEST_F(NginxModuleTest, LongAnswersStreamThroughBoundedBuffers) {
  // Small socket buffers on both sides, so that little of an answer
  // leaves the worker while its client does not read.
  auto nginx = Start("", "isapi_max_temp_file_size 4m;\n" +
                             ReplaceAll(Site(), "listen LISTEN;", "listen LISTEN sndbuf=64k;"));
  std::vector<int> idle;
  for (int i = 0; i < 40; ++i) {
    idle.push_back(nginx->Connect());
    int window = 65536;
    setsockopt(idle.back(), SOL_SOCKET, SO_RCVBUF, &window, sizeof window);
    ASSERT_TRUE(fcgi_test::SendAll(idle.back(), "GET /pool.dll/big?1024 HTTP/1.0\r\n\r\n"));
  }
  for (const char* location : {"/pool.dll", "/probe.dll"}) {
    std::string answer =
        nginx->Exchange(std::string("GET ") + location + "/big?2048 HTTP/1.0\r\n\r\n");
    EXPECT_EQ(answer.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << location;
    EXPECT_EQ(Body(answer), std::string(2048 * 1024, 'b')) << location;
  }
  for (int fd : idle) {
    bool closed = false;
    std::string body = Body(fcgi_test::ReadUntilClosed(fd, &closed));
    EXPECT_TRUE(body == std::string(1024 * 1024, 'b')) << body.size() << " bytes";
    close(fd);
  }
  EXPECT_NE(nginx->log().find("an isapi answer is buffered to a temporary file"),
            std::string::npos);
  int cut_off = nginx->Connect();
  ASSERT_TRUE(fcgi_test::SendAll(cut_off, "GET /probe.dll/big?65536 HTTP/1.0\r\n\r\n"));
  bool closed = false;
  std::string cut = fcgi_test::ReadUntilClosed(cut_off, &closed);
  EXPECT_TRUE(closed);
  EXPECT_LT(Body(cut).size(), 65536u * 1024) << cut.substr(0, 200);
  close(cut_off);
  EXPECT_EQ(nginx->log().find("[error]"), std::string::npos) << nginx->log();
}

// A self-signed certificate and its key in `dir`, made with openssl, as
// the lines of an nginx server block; "" when openssl failed.
std::string MakeCertificate(const fcgi_test::TempDir& dir) {
  std::string key = dir.path() + "/key.pem", certificate = dir.path() + "/cert.pem";
  test_support::Child openssl({"/usr/bin/openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes",
                            "-subj", "/CN=localhost", "-days", "1", "-keyout", key, "-out",
                            certificate},
                           {}, dir.path() + "/openssl.log");
  if (openssl.WaitExit() != 0) return "";
  return "ssl_certificate " + certificate + ";\n  ssl_certificate_key " + key + ";\n";
}

// Every byte the module writes arrives once and in order, to clients that
// take the answer through a small window: HTTP/1 with a small receive
// buffer, h2c with a 64 KiB stream window (nghttp). On the thread pool the
// module's writes are gathered and handed over while nginx sends earlier
// ones, and the pool thread writes the temporary file itself; past a
// small one (/capped.dll) its writes go through memory again, and without
// one (/unspooled.dll) what the call gathered last waits for the client
// after the call has ended; in the event loop what the client cannot take
// yet goes to a temporary file.
TEST_F(NginxModuleTest, EveryWrittenByteArrivesOnceAndInOrder) {
  const std::string nghttp = "/usr/bin/nghttp";
  if (access(nghttp.c_str(), X_OK) != 0) GTEST_SKIP() << "apt-get install nghttp2-client";
  fcgi_test::TempDir dir;
  std::string certificate = MakeCertificate(dir);
  ASSERT_FALSE(certificate.empty()) << fcgi_test::ReadFile(dir.path() + "/openssl.log");
  struct Protocol {
    std::string name;
    std::string listen;  // what follows "listen LISTEN"
    std::string tls;     // the certificate's lines, when over TLS
    std::string scheme;  // for nghttp; "" for HTTP/1 on a socket of the test's
  };
  struct Row {
    std::string location;
    long kib;
  };
  const Row rows[] = {
      {"/pool.dll", 3072}, {"/capped.dll", 3072}, {"/unspooled.dll", 3072}, {"/probe.dll", 3072}};
  for (const Protocol& protocol :
       {Protocol{"HTTP/1", "", "", ""}, Protocol{"h2c", " http2", "", "http"},
        Protocol{"h2 TLS", " ssl http2", certificate, "https"}}) {
    auto nginx = Start("", ReplaceAll(Site("  location /unspooled.dll { isapi " PROBE_MODULE_PATH
                                           "; isapi_thread_pool default;"
                                           " isapi_max_temp_file_size 0; }\n"
                                           "  location /capped.dll { isapi " PROBE_MODULE_PATH
                                           "; isapi_thread_pool default;"
                                           " isapi_max_temp_file_size 1m; }\n"),
                                      "listen LISTEN;",
                                      "listen LISTEN" + protocol.listen + ";\n  " + protocol.tls));
    for (const Row& row : rows) {
      std::string path = row.location + "/numbered?" + std::to_string(row.kib);
      for (int i = 0; i < 10; ++i) {
        std::string body;
        if (!protocol.scheme.empty()) {
          std::string out = dir.path() + "/body";
          int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
          test_support::Child client({nghttp, "-w", "16",
                                   protocol.scheme + "://127.0.0.1:" +
                                       std::to_string(nginx->port()) + path},
                                  {}, dir.path() + "/nghttp.log", {{fd, 1}});
          close(fd);
          EXPECT_EQ(client.WaitExit(), 0) << fcgi_test::ReadFile(dir.path() + "/nghttp.log");
          body = fcgi_test::ReadFile(out);
        } else {
          int fd = nginx->Connect();
          int window = 65536;
          setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &window, sizeof window);
          bool closed = false;
          if (fcgi_test::SendAll(fd, "GET " + path + " HTTP/1.0\r\n\r\n")) {
            body = Body(fcgi_test::ReadUntilClosed(fd, &closed));
          }
          close(fd);
        }
        ASSERT_EQ(probe::FirstMisplacedWrite(body, row.kib), -1)
            << protocol.name << " " << path << ": " << body.size() << " bytes" << nginx->log();
      }
    }
  }
}

// limit_rate and send_timeout hold for a module's answer as for nginx's
// own: a client that reads gets all of it at the rate, from the pool and
// from the event loop; one that stops reading is cut after send_timeout,
// and the pool call's writes past isapi_max_temp_file_size fail then, so
// that it returns.
TEST_F(NginxModuleTest, AnswersKeepNginxsSendLimits) {
  struct Row {
    std::string path;
    bool reads;
  };
  for (const Row& row : {Row{"/rated.dll/numbered?2048", true},
                         Row{"/rated-loop.dll/numbered?2048", true},
                         Row{"/rated.dll/big?65536", false}, Row{"/timed.dll/big?65536", false}}) {
    server_test::ProbeEvents events;
    auto nginx = Start("env " + events.Environment() + ";\n",
                       Site("  isapi_max_temp_file_size 1m;\n"
                            "  location /rated.dll { isapi " PROBE_MODULE_PATH
                            "; isapi_thread_pool default; limit_rate 2m; send_timeout 300ms; }\n"
                            "  location /rated-loop.dll { isapi " PROBE_MODULE_PATH
                            "; limit_rate 2m; isapi_max_temp_file_size 4m; }\n"
                            "  location /timed.dll { isapi " PROBE_MODULE_PATH
                            "; isapi_thread_pool default; send_timeout 300ms; }\n"));
    int fd = nginx->Connect();
    int window = 65536;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &window, sizeof window);
    ASSERT_TRUE(fcgi_test::SendAll(fd, "GET " + row.path + " HTTP/1.0\r\n\r\n"));
    if (!row.reads) {
      ASSERT_TRUE(events.WaitFor("leave /big")) << row.path << nginx->log();
    }
    bool closed = false;
    std::string body = Body(fcgi_test::ReadUntilClosed(fd, &closed));
    close(fd);
    EXPECT_TRUE(closed) << row.path;
    if (row.reads) {
      EXPECT_EQ(probe::FirstMisplacedWrite(body, 2048), -1) << body.size() << " bytes";
    } else {
      EXPECT_LT(body.size(), 65536u * 1024) << row.path;
    }
  }
}

TEST_F(NginxModuleTest, ConcurrentClientsGetIdenticalAnswers) {
  fcgi_test::TempDir installation;
  auto nginx = Start("env ORVANE_INSDIR=" + WriteInstallation(installation, kPage) + ";\n",
                     Site(), 2);
  const int kClients = 8, kRequests = 25;
  std::string request = "GET /orvanehp.dll HTTP/1.1\r\nHost: x\r\n\r\n";
  std::string pipelined;
  for (int i = 1; i < kRequests; ++i) pipelined += request;
  pipelined += "GET /orvanehp.dll HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
  std::vector<std::string> answers(kClients);
  std::vector<std::thread> clients;
  for (int i = 0; i < kClients; ++i) {
    clients.emplace_back([&, i] { answers[i] = WithoutDates(nginx->Exchange(pipelined)); });
  }
  for (std::thread& client : clients) client.join();
  std::string one = Head("200 OK", std::to_string(kPage.size()), "keep-alive") +
                    kModuleHeaderLines + kPage;
  std::string expected;
  for (int i = 1; i < kRequests; ++i) expected += one;
  expected += Head("200 OK", std::to_string(kPage.size()), "close") + kModuleHeaderLines + kPage;
  for (const std::string& answer : answers) EXPECT_EQ(answer, expected);
}

TEST_F(NginxModuleTest, ServerVariablesComeFromNginxsRequest) {
  auto nginx = Start("");
  std::string answer = nginx->Exchange(
      "GET /probe.dll/vars?q=%41 HTTP/1.1\r\nHost: example.test:8080\r\nX-Probe: yes\r\n"
      "Cookie: a=1\r\nCookie: b=2\r\nConnection: close\r\n\r\n");
  std::string port = std::to_string(nginx->port());
  for (std::string line :
       {"\nREQUEST_METHOD=GET\n", "\nQUERY_STRING=q=%41\n", "\nPATH_INFO=/vars\n",
        "\nSCRIPT_NAME=/probe.dll\n", "\nURL=/probe.dll/vars\n", "\nSERVER_NAME=example.test\n",
        "\nSERVER_PROTOCOL=HTTP/1.1\n", "\nSERVER_SOFTWARE=nginx/1.", "\nREMOTE_ADDR=127.0.0.1\n",
        "\nHTTPS=off\n", "\nHTTP_HOST=example.test:8080\n", "\nHTTP_X_PROBE=yes\n",
        "\nHTTP_COOKIE=a=1; b=2\n", "\nALL_HTTP=HTTP_HOST:example.test:8080\nHTTP_X_PROBE:yes\n",
        "\nALL_RAW=Host: example.test:8080\r\nX-Probe: yes\r\n"}) {
    EXPECT_NE(answer.find(line), std::string::npos) << line << " in\n" << answer;
  }
  EXPECT_NE(answer.find("\nSERVER_PORT=" + port + "\n"), std::string::npos) << answer;
}

// Over TLS the module sees HTTPS "on". nginx itself is the TLS client: a
// plain location proxies to a TLS server on a Unix socket, so no second
// port is needed; the certificate is made for the test with openssl.
TEST_F(NginxModuleTest, HttpsIsOnOverTls) {
  fcgi_test::TempDir tls;
  std::string certificate = MakeCertificate(tls);
  ASSERT_FALSE(certificate.empty()) << fcgi_test::ReadFile(tls.path() + "/openssl.log");
  std::string socket = tls.path() + "/tls.sock";
  auto nginx = Start("", Site("  location /tls/ { proxy_pass https://unix:" + socket +
                              ":/probe.dll/; }\n") +
                             "server {\n  listen unix:" + socket + " ssl;\n  " + certificate +
                             "  location /probe.dll { isapi " PROBE_MODULE_PATH "; }\n}\n");
  std::string answer = nginx->Exchange("GET /tls/vars HTTP/1.0\r\n\r\n");
  EXPECT_NE(answer.find("\nHTTPS=on\n"), std::string::npos) << answer << nginx->log();
  EXPECT_NE(answer.find("\nPATH_INFO=/vars\n"), std::string::npos) << answer;
}

// Bodies up to the buffer stay in memory, larger ones nginx spools to a
// temporary file; both reach the module whole. Beyond client_max_body_size
// nginx answers 413 itself.
TEST_F(NginxModuleTest, RequestBodiesReachTheModuleWithinTheLimit) {
  auto nginx = Start("", "client_body_buffer_size 1k;\nclient_max_body_size 200k;\n" + Site());
  std::string small = "posted\r\nbytes";
  std::string large;
  for (int i = 0; large.size() < 150000; ++i) large += std::to_string(i) + ",";
  // The large one reaches lpbData in part and ReadClient for the rest.
  for (const char* location : {"/probe.dll", "/pool.dll"}) {
    for (const std::string& body : {small, large}) {
      std::string answer = nginx->Exchange(
          std::string("POST ") + location + "/echo HTTP/1.1\r\nHost: x\r\nConnection: close\r\n"
          "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
      EXPECT_EQ(answer.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << answer.substr(0, 200);
      EXPECT_TRUE(Body(answer) == body) << location << " " << body.size() << " bytes, got "
                                        << Body(answer).size();
    }
  }
  EXPECT_NE(nginx->log().find("a client request body is buffered to a temporary file"),
            std::string::npos);
  std::string chunked = nginx->Exchange(
      "POST /pool.dll/echo HTTP/1.1\r\nHost: x\r\nConnection: close\r\n"
      "Transfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n6\r\n world\r\n0\r\n\r\n");
  EXPECT_EQ(Body(chunked), "hello world") << chunked;
  std::string too_large(210 * 1024, 'x');
  std::string answer = nginx->Exchange(
      "POST /probe.dll/echo HTTP/1.1\r\nHost: x\r\nConnection: close\r\nContent-Length: " +
      std::to_string(too_large.size()) + "\r\n\r\n" + too_large);
  EXPECT_EQ(answer.rfind("HTTP/1.1 413 ", 0), 0u) << answer.substr(0, 200);
}

// Malformed requests: nginx answers 400 and closes, and the next client is
// served.
TEST_F(NginxModuleTest, MalformedRequestsGet400AndTheNextRequestIsServed) {
  auto nginx = Start("");
  for (const char* request :
       {"GET\r\n\r\n", "GET /probe.dll/page HTTP/1.1\r\nHost: x\r\n: empty\r\n\r\n",
        "POST /probe.dll/echo HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\n"
        "Transfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n"}) {
    std::string answer = nginx->Exchange(request);
    EXPECT_EQ(answer.rfind("HTTP/1.1 400 Bad Request\r\n", 0), 0u) << request << "\n" << answer;
    EXPECT_EQ(answer.find("page body"), std::string::npos) << answer;
    EXPECT_EQ(answer.find("<not closed>"), std::string::npos) << answer;
    std::string next = nginx->Exchange("GET /probe.dll/page HTTP/1.0\r\n\r\n");
    EXPECT_EQ(Body(next), "page body\n") << next;
  }
}

// One worker; requests wait inside the module until a gate opens (at most
// 10 s). On the thread pool the worker serves the others meanwhile, with
// one connection slot for each waiting request; in the event loop it
// stalls, so the gate stays shut until the module gives up.
TEST_F(NginxModuleTest, BlockingModuleOnTheThreadPoolLeavesTheWorkerFree) {
  server_test::ProbeGate gate;
  // 30 of the default pool's 32 threads wait, in 40 connection slots
  auto nginx = std::make_unique<Nginx>(
      nginx_path_, Config{LoadModule() + "env " + gate.Environment() + ";\n", Site(), 1, 40});
  std::vector<int> blocked;
  for (int i = 0; i < 30; ++i) {
    blocked.push_back(nginx->Connect());
    ASSERT_TRUE(fcgi_test::SendAll(blocked.back(), "GET /pool.dll/gate HTTP/1.0\r\n\r\n"));
  }
  EXPECT_EQ(Body(nginx->Exchange("GET /pool.dll/page HTTP/1.0\r\n\r\n")), "page body\n");
  EXPECT_EQ(Body(nginx->Exchange("GET /probe.dll/page HTTP/1.0\r\n\r\n")), "page body\n");
  for (int fd : blocked) EXPECT_FALSE(Readable(fd)) << "a waiting request was answered early";
  gate.Open();
  for (int fd : blocked) {
    bool closed = false;
    EXPECT_EQ(Body(fcgi_test::ReadUntilClosed(fd, &closed)), "opened\n") << nginx->log();
    close(fd);
  }
}

TEST_F(NginxModuleTest, BlockingModuleInTheEventLoopStallsTheWorker) {
  auto nginx = Start("");
  int blocked = nginx->Connect();
  ASSERT_TRUE(fcgi_test::SendAll(blocked, "GET /probe.dll/block HTTP/1.0\r\n\r\n"));
  int release = nginx->Connect();
  ASSERT_TRUE(fcgi_test::SendAll(release, "GET /probe.dll/release HTTP/1.0\r\n\r\n"));
  bool closed = false;
  std::chrono::seconds longer_than_the_block(20);
  EXPECT_EQ(Body(fcgi_test::ReadUntilClosed(blocked, &closed, longer_than_the_block)),
            "timed out\n");
  EXPECT_EQ(Body(fcgi_test::ReadUntilClosed(release, &closed, longer_than_the_block)), "open\n");
  close(blocked);
  close(release);
}

// The check loads each module as a worker would: with the worker's user
// and `env` environment.
TEST_F(NginxModuleTest, ConfigurationTestNamesAModuleThatCannotServe) {
  fcgi_test::TempDir private_dir, state;
  std::string unreadable = private_dir.path() + "/probe.so";
  private_dir.Write("probe.so", fcgi_test::ReadFile(PROBE_MODULE_PATH));
  state.Write("loaded", "");
  struct Row {
    std::string main;
    std::string module;
    std::string reason;
  };
  std::vector<Row> rows = {
      {"", "/nonexistent/module.so", "cannot open shared object file"},
      {"", VERSIONLESS_MODULE_PATH, "does not export GetExtensionVersion"},
      {"", REFUSING_MODULE_PATH, "GetExtensionVersion failed (error 5)"},
      {"", HANGING_MODULE_PATH, "GetExtensionVersion did not return within"},
      {"env PROBE_LOAD_ONCE=" + state.path() + "/loaded;\n", PROBE_MODULE_PATH,
       "GetExtensionVersion failed (error 5)"}};
  // The module's directory is private to root, who starts nginx.
  if (geteuid() == 0) rows.push_back({"\nuser nobody nogroup;\n", unreadable, "Permission denied"});
  for (const Row& row : rows) {
    std::string output;
    Config config{LoadModule() + row.main,
                  "server { listen LISTEN; location / { isapi " + row.module + "; } }"};
    EXPECT_EQ(nginx_test::RunOnce(nginx_path_, config, &output), 1) << output;
    size_t emerg = output.find("[emerg] isapi: ");
    if (emerg == std::string::npos) {
      ADD_FAILURE() << row.module << ": no [emerg] line in\n" << output;
      continue;
    }
    std::string line = output.substr(emerg, output.find('\n', emerg) - emerg);
    EXPECT_NE(line.find(row.module), std::string::npos) << line;
    EXPECT_NE(line.find(row.reason), std::string::npos) << line;
    EXPECT_EQ(output.find("[emerg]", emerg + 1), std::string::npos) << output;
  }
  std::string output;
  Config good{LoadModule(), "isapi_thread_pool default;\n" +
                                Site("  location /inline.dll { isapi " PROBE_MODULE_PATH
                                     "; isapi_thread_pool off; }\n")};
  EXPECT_EQ(nginx_test::RunOnce(nginx_path_, good, &output), 0) << output;
  // nginx -s only signals the master: it loads no module.
  std::string marker = state.path() + "/signaller";
  Config signalled{LoadModule(), Site()};
  nginx_test::RunOnce(nginx_path_, signalled, &output, {"-s", "reopen"},
                      {"PROBE_LOAD_ONCE=" + marker});
  EXPECT_NE(access(marker.c_str(), F_OK), 0) << output;
}

// A worker that cannot load a module still serves: that module's
// locations answer 503, after one line in the log.
TEST_F(NginxModuleTest, WorkerThatCannotLoadAModuleServesTheRest) {
  fcgi_test::TempDir state;
  auto nginx = Start("env PROBE_LOAD_ONCE=" + state.path() + "/loaded;\n");
  EXPECT_EQ(nginx->Exchange("GET /probe.dll/page HTTP/1.0\r\n\r\n").rfind("HTTP/1.1 503 ", 0),
            0u);
  EXPECT_EQ(nginx->Exchange("GET /orvanehp.dll HTTP/1.0\r\n\r\n").rfind("HTTP/1.1 200 OK", 0),
            0u)
      << nginx->log();
  std::string log = nginx->log();
  EXPECT_EQ(Occurrences(log, "isapi: "), 1u) << log;
  EXPECT_NE(log.find(PROBE_MODULE_PATH ": GetExtensionVersion failed"), std::string::npos) << log;
}


// A call on the thread pool can outlive its request: isapi_timeout answers
// 504, worker_shutdown_timeout closes the client's connection when the
// worker quits or is replaced, and an include cut short by isapi_timeout
// ends the page around another one. Each time the module returns only
// after the request has gone (held at a gate), under allocator poisoning
// (and the sanitizer in its build): its writes fail at once, and the
// worker must neither touch the request's memory then nor answer the late
// call.
TEST_F(NginxModuleTest, ThreadPoolCallsOutliveTheirRequestsSafely) {
  fcgi_test::TempDir root;
  root.Write("ssi/page.html",
             "[<!--# include virtual=\"/pool.dll/gate\" -->]"
             "[<!--# include virtual=\"/limited.dll/big?1048576\" -->]\n");
  struct Row {
    std::string name;
    std::string path;
    int signal;          // sent once the call is inside the module
    std::string answer;  // how the client's answer starts
    std::string logged;
  };
  for (const Row& row : {Row{"isapi_timeout", "/limited.dll/gate", 0, "HTTP/1.1 504 ",
                             "isapi: the module did not finish within isapi_timeout"},
                         Row{"quit", "/pool.dll/gate", SIGQUIT, "", "gracefully shutting down"},
                         Row{"reload", "/pool.dll/gate", SIGHUP, "", "gracefully shutting down"},
                         Row{"include cut short", "/ssi/page.html", 0, "",
                             "isapi: the module did not finish within isapi_timeout"}}) {
    server_test::ProbeEvents events;
    server_test::ProbeGate gate;
    auto nginx = Start("worker_shutdown_timeout 200ms;\nenv " + events.Environment() +
                           ";\nenv " + gate.Environment() + ";\n",
                       Site("  location /limited.dll { isapi " PROBE_MODULE_PATH
                                "; isapi_thread_pool default; isapi_timeout 100ms; }\n"
                                "  location /ssi/ { ssi on; root " + root.path() + "; }\n"),
                       1, {"MALLOC_PERTURB_=85"});
    int client = nginx->Connect();
    ASSERT_TRUE(fcgi_test::SendAll(client, "GET " + row.path + " HTTP/1.0\r\n\r\n"));
    ASSERT_TRUE(events.WaitFor("enter /gate")) << row.name << nginx->log();
    if (row.signal) nginx->process().Signal(row.signal);
    bool closed = false;
    std::string answer = fcgi_test::ReadUntilClosed(client, &closed);
    close(client);
    EXPECT_TRUE(closed) << row.name;
    EXPECT_EQ(answer.substr(0, row.answer.size()), row.answer) << row.name << answer;
    EXPECT_EQ(answer.find("opened"), std::string::npos) << row.name << answer;
    EXPECT_NE(nginx->log().find(row.logged), std::string::npos) << row.name << nginx->log();
    gate.Open();
    EXPECT_TRUE(events.WaitFor("write failed /gate")) << row.name << events.seen();
    ASSERT_TRUE(events.WaitFor("leave /gate")) << row.name << nginx->log();
    EXPECT_EQ(nginx->Quit(), 0) << row.name << nginx->log();
    EXPECT_EQ(nginx->log().find("exited on signal"), std::string::npos) << row.name
                                                                       << nginx->log();
  }
}

// A graceful quit lets the request inside the module (held at a gate on
// the thread pool) finish and be answered before the worker calls
// TerminateExtension, once.
TEST_F(NginxModuleTest, GracefulQuitAnswersTheRequestInsideTheModuleThenTerminatesOnce) {
  fcgi_test::TempDir logs;
  std::string terminate_log = logs.path() + "/terminate.log";
  server_test::ProbeEvents events;
  server_test::ProbeGate gate;
  auto nginx = Start("env PROBE_TERMINATE_LOG=" + terminate_log + ";\nenv " +
                     events.Environment() + ";\nenv " + gate.Environment() + ";\n");
  int waiting = nginx->Connect();
  ASSERT_TRUE(fcgi_test::SendAll(waiting, "GET /pool.dll/gate HTTP/1.0\r\n\r\n"));
  ASSERT_TRUE(events.WaitFor("enter /gate")) << nginx->log();
  EXPECT_EQ(Body(nginx->Exchange("GET /probe.dll/page HTTP/1.0\r\n\r\n")), "page body\n");
  nginx->process().Signal(SIGQUIT);
  ASSERT_TRUE(WaitForLog(*nginx, "gracefully shutting down", 1)) << nginx->log();
  EXPECT_EQ(fcgi_test::ReadFile(terminate_log), "");
  gate.Open();
  bool closed = false;
  EXPECT_EQ(Body(fcgi_test::ReadUntilClosed(waiting, &closed)), "opened\n") << nginx->log();
  close(waiting);
  EXPECT_EQ(nginx->Quit(), 0) << nginx->log();
  EXPECT_EQ(fcgi_test::ReadFile(terminate_log), "terminate 2\n") << nginx->log();
}

// A reload replaces the worker: the old one terminates the module as it
// goes, the new one loads it afresh and terminates it at the quit.
TEST_F(NginxModuleTest, ReloadTerminatesTheModuleOnceInEachWorker) {
  fcgi_test::TempDir logs;
  std::string terminate_log = logs.path() + "/terminate.log";
  auto nginx = Start("env PROBE_TERMINATE_LOG=" + terminate_log + ";\n");
  EXPECT_EQ(Body(nginx->Exchange("GET /probe.dll/page HTTP/1.0\r\n\r\n")), "page body\n");
  nginx->process().Signal(SIGHUP);
  // The trailing space leaves out the master's "start worker processes".
  ASSERT_TRUE(WaitForLog(*nginx, "start worker process ", 2)) << nginx->log();
  EXPECT_EQ(Body(nginx->Exchange("GET /probe.dll/page HTTP/1.0\r\n\r\n")), "page body\n");
  EXPECT_EQ(nginx->Quit(), 0) << nginx->log();
  EXPECT_EQ(fcgi_test::ReadFile(terminate_log), "terminate 2\nterminate 2\n") << nginx->log();
}

// Once per start, however many workers there are.
TEST_F(NginxModuleTest, WarnsAboutInstallationVariablesWorkersDoNotGet) {
  auto nginx = Start("env ORVANE_INSDIR;\n", Site(), 2,
                     {"ORVANE_INSDIR=/srv/orvane", "WIN32_DRIVE_C=/srv/c"});
  EXPECT_EQ(Body(nginx->Exchange("GET /probe.dll/page HTTP/1.0\r\n\r\n")), "page body\n");
  // Every worker has started by the time all have quit.
  EXPECT_EQ(nginx->Quit(), 0);
  std::string log = nginx->log();
  std::string warning = "isapi: WIN32_DRIVE_C is set in nginx's environment but worker processes "
                        "do not get it; add \"env WIN32_DRIVE_C;\"";
  size_t first = log.find(warning);
  EXPECT_NE(first, std::string::npos) << log;
  EXPECT_EQ(log.find(warning, first + 1), std::string::npos) << log;
  EXPECT_EQ(log.find("ORVANE_INSDIR is set"), std::string::npos) << log;
}

}  // namespace
