// nginx in front of isapi-fcgi, configured with the example site from
// examples/nginx: a real nginx on a loopback socket the test made for it,
// its own configuration, pid and temp files in a temporary directory.
// Skipped when nginx is not installed.
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <memory>
#include <regex>

#include "tests/server/fcgi_test_support.h"
#include "tests/support/loopback_listener.h"

namespace {

using fcgi_test::Child;
using fcgi_test::FcgiServer;
using fcgi_test::TempDir;

const std::string kPage = std::string("<html>\r\n\x93\xe0\x95\x94 nginx\x00</html>\n", 25);

std::string FindNginx() {
  for (const char* candidate : {NGINX_PATH, "/usr/sbin/nginx", "/usr/local/sbin/nginx"}) {
    if (*candidate != '\0' && access(candidate, X_OK) == 0) return candidate;
  }
  return "";
}

std::string ReplaceOnce(std::string text, const std::string& from, const std::string& to) {
  size_t at = text.find(from);
  if (at == std::string::npos) throw std::runtime_error("example lacks \"" + from + "\"");
  return text.replace(at, from.size(), to);
}

// One nginx process in the foreground serving the example site on
// 127.0.0.1:port(), its upstream pointed at `fcgi_socket`.
class Nginx {
 public:
  Nginx(const std::string& nginx, const std::string& fcgi_socket) : port_(listener_.port()) {
    std::string site = fcgi_test::ReadFile(NGINX_SITE_EXAMPLE);
    site = ReplaceOnce(site, "listen 80;", "listen 127.0.0.1:" + std::to_string(port_) + ";");
    site = ReplaceOnce(site, "server unix:/run/orvane/isapi-fcgi.sock;",
                       "server unix:" + fcgi_socket + ";");
    dir_.Write("site.conf", site);
    const std::string& d = dir_.path();
    // The master process is needed for the inherited socket. Its worker
    // keeps root, when the test runs as root, to reach the test's socket.
    dir_.Write("nginx.conf",
               std::string(geteuid() == 0 ? "user root;\n" : "") +
               "daemon off;\nworker_processes 1;\n"
               "pid " + d + "/nginx.pid;\nerror_log " + d + "/error.log warn;\n"
               "events { worker_connections 64; }\n"
               "http {\n  access_log off;\n  server_tokens off;\n"
               "  client_body_temp_path " + d + "/client_body;\n"
               "  fastcgi_temp_path " + d + "/fastcgi;\n"
               "  proxy_temp_path " + d + "/proxy;\n"
               "  uwsgi_temp_path " + d + "/uwsgi;\n"
               "  scgi_temp_path " + d + "/scgi;\n"
               "  include " + d + "/site.conf;\n}\n");
    const int kListenFd = 3;
    child_ = std::make_unique<Child>(
        std::vector<std::string>{nginx, "-p", d, "-c", d + "/nginx.conf", "-e", d + "/error.log"},
        std::vector<std::string>{test_support::NginxInheritedSocketEnv(kListenFd)},
        d + "/stderr.log", std::vector<std::pair<int, int>>{{listener_.fd(), kListenFd}});
  }

  ~Nginx() {
    child_->Signal(SIGQUIT);
    child_->WaitExit();
  }

  // Sends `request` on a fresh connection and returns everything nginx
  // answers until it closes the connection.
  std::string Get(const std::string& request) const {
    int fd = fcgi_test::ConnectTcp(port_);
    if (fd < 0) return "<no connection>";
    bool closed = false;
    std::string answer;
    if (fcgi_test::SendAll(fd, request)) answer = fcgi_test::ReadUntilClosed(fd, &closed);
    close(fd);
    return closed ? answer : answer + "<not closed>";
  }

  std::string log() const {
    return fcgi_test::ReadFile(dir_.path() + "/error.log") +
           fcgi_test::ReadFile(dir_.path() + "/stderr.log");
  }

 private:
  test_support::LoopbackListener listener_;
  TempDir dir_;
  uint16_t port_;
  std::unique_ptr<Child> child_;
};

// nginx's own Date header is the only part of an answer that changes from
// run to run; it is replaced by a fixed text before comparing.
std::string WithoutDate(const std::string& answer) {
  static const std::regex date("\r\nDate: [A-Za-z]{3}, \\d\\d [A-Za-z]{3} \\d{4} "
                               "\\d\\d:\\d\\d:\\d\\d GMT\r\n");
  return std::regex_replace(answer, date, "\r\nDate: <now>\r\n",
                            std::regex_constants::format_first_only);
}

class FcgiNginxTest : public ::testing::Test {
 protected:
  void SetUp() override {
    nginx_path_ = FindNginx();
    if (nginx_path_.empty()) GTEST_SKIP() << "nginx is not installed; apt-get install nginx";
  }

  std::string nginx_path_;
};

TEST_F(FcgiNginxTest, NoticePageArrivesByteForByteAndHeadGetsTheSameHeaders) {
  FcgiServer fcgi(ORVANEHP_PATH, kPage);
  Nginx nginx(nginx_path_, fcgi.socket_path());
  const char kHead[] =
      "HTTP/1.1 200 OK\r\n"
      "Server: nginx\r\n"
      "Date: <now>\r\n"
      "Content-Type: text/html\r\n"
      "Content-Length: 25\r\n"
      "Connection: close\r\n"
      "Cache-Control: no-cache\r\n"
      "Pragma: no-cache\r\n"
      "TrResult: -1\r\n"
      "\r\n";
  for (const char* version : {"HTTP/1.0", "HTTP/1.1"}) {
    std::string rest = std::string(" ") + version + "\r\nHost: localhost\r\nConnection: close\r\n\r\n";
    EXPECT_EQ(WithoutDate(nginx.Get("GET /orvanehp.dll" + rest)), kHead + kPage)
        << version << nginx.log();
    EXPECT_EQ(WithoutDate(nginx.Get("HEAD /orvanehp.dll?x=1" + rest)), kHead)
        << version << nginx.log();
  }
}

TEST_F(FcgiNginxTest, ModuleSeesTheClientRequestThroughTheExampleConfiguration) {
  FcgiServer fcgi(PROBE_MODULE_PATH, kPage);
  Nginx nginx(nginx_path_, fcgi.socket_path());
  std::string answer = nginx.Get(
      "GET /orvanehp.dll/vars?q=%41 HTTP/1.0\r\nHost: example.test\r\n"
      "X-Probe: yes\r\nCookie: a=1\r\nCookie: b=2\r\n\r\n");
  ASSERT_EQ(answer.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << answer << nginx.log();
  for (const char* line :
       {"\nREQUEST_METHOD=GET\n", "\nQUERY_STRING=q=%41\n", "\nPATH_INFO=/vars\n",
        "\nSCRIPT_NAME=/orvanehp.dll\n", "\nURL=/orvanehp.dll/vars\n",
        "\nSERVER_NAME=example.test\n", "\nSERVER_PROTOCOL=HTTP/1.0\n",
        "\nREMOTE_ADDR=127.0.0.1\n", "\nHTTPS=off\n", "\nHTTP_HOST=example.test\n",
        "\nHTTP_X_PROBE=yes\n", "\nHTTP_COOKIE=a=1; b=2\n"}) {
    EXPECT_NE(answer.find(line), std::string::npos) << line << " in\n" << answer;
  }

  std::string body = "posted\r\nbytes";
  answer = nginx.Get("POST /orvanehp.dll/echo HTTP/1.0\r\nHost: x\r\nContent-Length: " +
                     std::to_string(body.size()) + "\r\n\r\n" + body);
  EXPECT_EQ(answer.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << answer;
  EXPECT_EQ(answer.substr(answer.size() - body.size()), body) << answer;

  answer = nginx.Get("GET /orvanehp.dll/nothing HTTP/1.0\r\nHost: x\r\n\r\n");
  EXPECT_EQ(answer.rfind("HTTP/1.1 500 Internal Server Error\r\n", 0), 0u) << answer;
}

TEST_F(FcgiNginxTest, CutShortAnswerIsNotPassedOnAsComplete) {
  FcgiServer fcgi(PROBE_MODULE_PATH, kPage);
  Nginx nginx(nginx_path_, fcgi.socket_path());
  std::string answer =
      nginx.Get("GET /orvanehp.dll/short HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
  // nginx answers 502 when the broken answer is all in its buffer, or passes
  // on the start of it and closes the connection early; never a whole 200.
  if (answer.rfind("HTTP/1.1 502 Bad Gateway\r\n", 0) != 0) {
    size_t end = answer.find("\r\n\r\n");
    ASSERT_NE(end, std::string::npos) << answer;
    EXPECT_NE(answer.find("Content-Length: 100\r\n"), std::string::npos) << answer;
    EXPECT_LT(answer.size() - end - 4, 100u) << answer;
  }
  EXPECT_EQ(answer.find("<not closed>"), std::string::npos) << answer;
  // The next request is answered in full.
  EXPECT_EQ(nginx.Get("GET /orvanehp.dll/page HTTP/1.0\r\n\r\n").rfind("HTTP/1.1 200 OK", 0), 0u);
}

TEST_F(FcgiNginxTest, StoppedFastCgiServerGives502AndNginxKeepsRunning) {
  FcgiServer fcgi(ORVANEHP_PATH, kPage);
  Nginx nginx(nginx_path_, fcgi.socket_path());
  ASSERT_EQ(nginx.Get("GET /orvanehp.dll HTTP/1.0\r\n\r\n").rfind("HTTP/1.1 200 OK", 0), 0u);
  fcgi.child().Signal(SIGTERM);
  ASSERT_EQ(fcgi.child().WaitExit(), 0) << fcgi.log();
  EXPECT_EQ(nginx.Get("GET /orvanehp.dll HTTP/1.0\r\n\r\n").rfind("HTTP/1.1 502 Bad Gateway", 0),
            0u);
}

}  // namespace
