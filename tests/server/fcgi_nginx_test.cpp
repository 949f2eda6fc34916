// nginx in front of isapi-fcgi, configured with the example site from
// examples/nginx (nginx_test::Nginx: a loopback socket the test binds and
// nginx inherits, its own configuration and files in a temporary
// directory). Skipped when nginx is not installed.
#include <signal.h>

#include <gtest/gtest.h>

#include <stdexcept>

#include "tests/server/fcgi_test_support.h"
#include "tests/server/nginx_test_support.h"

namespace {

using fcgi_test::FcgiServer;
using nginx_test::Nginx;
using nginx_test::WithoutDates;

const std::string kPage = std::string("<html>\r\n\x93\xe0\x95\x94 nginx\x00</html>\n", 25);

std::string ReplaceOnce(std::string text, const std::string& from, const std::string& to) {
  size_t at = text.find(from);
  if (at == std::string::npos) throw std::runtime_error("example lacks \"" + from + "\"");
  return text.replace(at, from.size(), to);
}

// The example site, its upstream pointed at `fcgi_socket`.
nginx_test::Config ExampleSite(const std::string& fcgi_socket) {
  std::string site = fcgi_test::ReadFile(NGINX_SITE_EXAMPLE);
  site = ReplaceOnce(site, "listen 8081;", "listen LISTEN;");
  site = ReplaceOnce(site, "server unix:/run/orvane/isapi-fcgi.sock;",
                     "server unix:" + fcgi_socket + ";");
  nginx_test::Config config;
  config.http = site;
  return config;
}

class FcgiNginxTest : public ::testing::Test {
 protected:
  void SetUp() override {
    nginx_path_ = nginx_test::FindNginx();
    if (nginx_path_.empty()) GTEST_SKIP() << "nginx is not installed; apt-get install nginx";
  }

  std::string nginx_path_;
};

TEST_F(FcgiNginxTest, NoticePageArrivesByteForByteAndHeadGetsTheSameHeaders) {
  FcgiServer fcgi(ORVANEHP_PATH, kPage);
  Nginx nginx(nginx_path_, ExampleSite(fcgi.socket_path()));
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
    EXPECT_EQ(WithoutDates(nginx.Exchange("GET /orvanehp.dll" + rest)), kHead + kPage)
        << version << nginx.log();
    EXPECT_EQ(WithoutDates(nginx.Exchange("HEAD /orvanehp.dll?x=1" + rest)), kHead)
        << version << nginx.log();
  }
}

TEST_F(FcgiNginxTest, ModuleSeesTheClientRequestThroughTheExampleConfiguration) {
  FcgiServer fcgi(PROBE_MODULE_PATH, kPage);
  Nginx nginx(nginx_path_, ExampleSite(fcgi.socket_path()));
  std::string answer = nginx.Exchange(
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
  answer = nginx.Exchange("POST /orvanehp.dll/echo HTTP/1.0\r\nHost: x\r\nContent-Length: " +
                     std::to_string(body.size()) + "\r\n\r\n" + body);
  EXPECT_EQ(answer.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << answer;
  EXPECT_EQ(answer.substr(answer.size() - body.size()), body) << answer;

  // A body's length and type reach the module as nginx passes them on.
  answer = nginx.Exchange("POST /orvanehp.dll/vars HTTP/1.0\r\nHost: x\r\n"
                          "Content-Type: text/plain\r\nContent-Length: 4\r\n\r\ndata");
  for (const char* line :
       {"\nREQUEST_METHOD=POST\n", "\nCONTENT_LENGTH=4\n", "\nCONTENT_TYPE=text/plain\n"}) {
    EXPECT_NE(answer.find(line), std::string::npos) << line << " in\n" << answer;
  }

  answer = nginx.Exchange("GET /orvanehp.dll/nothing HTTP/1.0\r\nHost: x\r\n\r\n");
  EXPECT_EQ(answer.rfind("HTTP/1.1 500 Internal Server Error\r\n", 0), 0u) << answer;
}

TEST_F(FcgiNginxTest, CutShortAnswerIsNotPassedOnAsComplete) {
  FcgiServer fcgi(PROBE_MODULE_PATH, kPage, {"--hold-limit", "0"});
  Nginx nginx(nginx_path_, ExampleSite(fcgi.socket_path()));
  std::string answer =
      nginx.Exchange("GET /orvanehp.dll/short HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
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
  EXPECT_EQ(nginx.Exchange("GET /orvanehp.dll/page HTTP/1.0\r\n\r\n").rfind("HTTP/1.1 200 OK", 0), 0u);
}

TEST_F(FcgiNginxTest, StoppedFastCgiServerGives502AndNginxKeepsRunning) {
  FcgiServer fcgi(ORVANEHP_PATH, kPage);
  Nginx nginx(nginx_path_, ExampleSite(fcgi.socket_path()));
  ASSERT_EQ(nginx.Exchange("GET /orvanehp.dll HTTP/1.0\r\n\r\n").rfind("HTTP/1.1 200 OK", 0), 0u);
  fcgi.child().Signal(SIGTERM);
  ASSERT_EQ(fcgi.child().WaitExit(), 0) << fcgi.log();
  EXPECT_EQ(nginx.Exchange("GET /orvanehp.dll HTTP/1.0\r\n\r\n").rfind("HTTP/1.1 502 Bad Gateway", 0),
            0u);
}

}  // namespace
