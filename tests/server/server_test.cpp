// isapi-server end to end: a real server process, real HTTP clients
// (libcurl, and raw sockets for what libcurl will not send), the probe
// module from probe_module.cpp.
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <future>
#include <sstream>
#include <thread>

#include "tests/server/probe_digest.h"
#include "tests/server/server_process.h"
#include "tests/support/wait.h"

namespace server_test {
namespace {

using namespace std::chrono_literals;

size_t CollectBody(char* data, size_t size, size_t count, void* out) {
  static_cast<CurlAnswer*>(out)->body.append(data, size * count);
  return size * count;
}

size_t CollectHeader(char* data, size_t size, size_t count, void* out) {
  auto* answer = static_cast<CurlAnswer*>(out);
  std::string line(data, size * count);
  // A new status line starts a new answer (redirects are not followed).
  if (line.compare(0, 5, "HTTP/") == 0) answer->header_lines.clear();
  answer->header_lines.push_back(line);
  return size * count;
}

// Sends one request on `curl` (reused handles keep their connection).
CurlAnswer Fetch(CURL* curl, const std::string& url,
                 const std::vector<std::string>& headers = {}, bool head = false) {
  CurlAnswer answer;
  curl_slist* list = nullptr;
  for (const std::string& header : headers) list = curl_slist_append(list, header.c_str());
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, list);
  curl_easy_setopt(curl, CURLOPT_NOBODY, head ? 1L : 0L);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, CollectBody);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer);
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, CollectHeader);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &answer);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, 15L);
  answer.curl_code = curl_easy_perform(curl);
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &answer.status);
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, nullptr);
  curl_slist_free_all(list);
  return answer;
}

CurlAnswer Fetch(const std::string& url, const std::vector<std::string>& headers = {},
                 bool head = false) {
  CURL* curl = curl_easy_init();
  CurlAnswer answer = Fetch(curl, url, headers, head);
  curl_easy_cleanup(curl);
  return answer;
}

// The header lines without the status line and the host's Date.
std::string HeaderBlock(const CurlAnswer& answer) {
  std::string block;
  for (size_t i = 1; i < answer.header_lines.size(); ++i) {
    if (answer.header_lines[i].compare(0, 5, "Date:") != 0) block += answer.header_lines[i];
  }
  return block;
}

class ServerTest : public ::testing::Test {
 protected:
  static constexpr size_t kMaxBody = 300000;

  static void SetUpTestSuite() { curl_global_init(CURL_GLOBAL_DEFAULT); }

  void SetUp() override {
    server_ = std::make_unique<ServerProcess>(std::vector<std::string>{
        "--module", PROBE_MODULE, "--max-request-body", std::to_string(kMaxBody)});
    ASSERT_TRUE(server_->started());
  }

  std::string Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(server_->port()) + path;
  }

  // The server still answers an ordinary request.
  void ExpectStillServing() {
    CurlAnswer answer = Fetch(Url("/page"));
    EXPECT_EQ(answer.status, 200);
    EXPECT_EQ(answer.body, "page body\n");
  }

  std::unique_ptr<ServerProcess> server_;
};

struct AnswerCase {
  const char* path;
  long status;
  const char* header_block;  // without Date
  const char* body;
};

TEST_F(ServerTest, AnswersCarryTheModulesHeaderBlockAndBody) {
  const AnswerCase cases[] = {
      {"/page", 200, "Content-Type: text/plain\r\nContent-Length: 10\r\n\r\n", "page body\n"},
      // Without the module's Content-Length the server counts the body.
      {"/stream", 200, "Content-Type: text/plain\r\nContent-Length: 14\r\n\r\n",
       "one two three\n"},
      {"/status-only", 404, "Content-Length: 7\r\n\r\n", "missing"},
      {"/ex-close", 201, "Connection: close\r\nContent-Length: 2\r\n\r\n", "ok"},
      // The module's own chunks arrive decoded, with the length counted.
      {"/chunked", 200, "Content-Length: 11\r\n\r\n", "hello world"},
      // Nothing sent, a bad block or status, a short body: 500, no body.
      {"/nothing", 500, "Content-Length: 0\r\n\r\n", ""},
      {"/short", 500, "Content-Length: 0\r\n\r\n", ""},
      {"/chunked-bad", 500, "Content-Length: 0\r\n\r\n", ""},
      {"/chunked-unended", 500, "Content-Length: 0\r\n\r\n", ""},
      {"/bad-header", 500, "Content-Length: 0\r\n\r\n", ""},
      {"/bad-status", 500, "Content-Length: 0\r\n\r\n", ""},
  };
  for (const AnswerCase& c : cases) {
    SCOPED_TRACE(c.path);
    CurlAnswer answer = Fetch(Url(c.path));
    EXPECT_EQ(answer.curl_code, CURLE_OK);
    EXPECT_EQ(answer.status, c.status);
    EXPECT_EQ(HeaderBlock(answer), c.header_block);
    EXPECT_EQ(answer.body, c.body);
    // HEAD gets the very same headers, Content-Length included.
    CurlAnswer head = Fetch(Url(c.path), {}, true);
    EXPECT_EQ(head.curl_code, CURLE_OK);
    EXPECT_EQ(head.status, c.status);
    EXPECT_EQ(HeaderBlock(head), c.header_block);
    EXPECT_EQ(head.body, "");
  }
}


TEST_F(ServerTest, ServerVariablesDescribeTheRequest) {
  CurlAnswer answer = Fetch(Url("/vars?a=%41&b"), {"X-Probe: one", "Cookie: c=1"});
  ASSERT_EQ(answer.status, 200);
  const std::string port = std::to_string(server_->port());
  const char* expected[] = {
      "REQUEST_METHOD=GET\n",  "QUERY_STRING=a=%41&b\n",       "PATH_INFO=/vars\n",
      "SCRIPT_NAME=\n",        "URL=/vars\n",                  "SERVER_NAME=127.0.0.1\n",
      "SERVER_PROTOCOL=HTTP/1.1\n", "GATEWAY_INTERFACE=CGI/1.1\n", "REMOTE_ADDR=127.0.0.1\n",
      "REMOTE_HOST=127.0.0.1\n", "CONTENT_LENGTH=0\n",         "CONTENT_TYPE=\n",
      "HTTPS=off\n",           "HTTP_X_PROBE=one\n",           "HTTP_COOKIE=c=1\n",
      "SERVER_SOFTWARE=isapi-server/0.0.1\n",
  };
  for (const char* line : expected) EXPECT_NE(answer.body.find(line), std::string::npos) << line;
  EXPECT_NE(answer.body.find("SERVER_PORT=" + port + "\n"), std::string::npos);
  // The client's port: curl's own, some port other than the server's.
  size_t remote_port = answer.body.find("\nREMOTE_PORT=");
  ASSERT_NE(remote_port, std::string::npos) << answer.body;
  int client_port = atoi(answer.body.c_str() + remote_port + 13);
  EXPECT_GT(client_port, 0) << answer.body;
  EXPECT_NE(client_port, server_->port()) << answer.body;
  EXPECT_NE(answer.body.find("HTTP_HOST=127.0.0.1:" + port + "\n"), std::string::npos);
  EXPECT_NE(answer.body.find("ALL_HTTP=HTTP_HOST:127.0.0.1:" + port + "\nHTTP_ACCEPT:*/*\n"
                             "HTTP_X_PROBE:one\nHTTP_COOKIE:c=1\n\n"),
            std::string::npos);
  EXPECT_NE(answer.body.find("ALL_RAW=Host: 127.0.0.1:" + port + "\r\nAccept: */*\r\n"
                             "X-Probe: one\r\nCookie: c=1\r\n\n"),
            std::string::npos);
}

TEST_F(ServerTest, RequestBodyReachesTheModule) {
  CURL* curl = curl_easy_init();
  curl_easy_setopt(curl, CURLOPT_POSTFIELDS, "name=value");
  CurlAnswer answer = Fetch(curl, Url("/echo"));
  curl_easy_cleanup(curl);
  EXPECT_EQ(answer.status, 200);
  EXPECT_EQ(answer.body, "name=value");
}

struct BodyCase {
  const char* path;
  size_t size;
  bool chunked;
  const char* status_line;
};

// "POST path" with `size` bytes of body, sent with Content-Length or in
// chunks of 10000 bytes.
std::string Upload(const BodyCase& c, const std::string& body) {
  std::string request = std::string("POST ") + c.path + " HTTP/1.1\r\nHost: t\r\n";
  if (!c.chunked) return request + "Content-Length: " + std::to_string(c.size) + "\r\n\r\n" + body;
  request += "Transfer-Encoding: chunked\r\n\r\n";
  for (size_t at = 0; at < body.size(); at += 10000) {
    std::string piece = body.substr(at, 10000);
    char size[16];
    snprintf(size, sizeof size, "%zx\r\n", piece.size());
    request += size + piece + "\r\n";
  }
  return request + "0\r\n\r\n";
}

// One connection for all of them: a body is never read as the next request,
// whether the module reads it or not.
TEST_F(ServerTest, RequestBodiesReachTheModuleWholeUpToTheLimit) {
  constexpr size_t kWindow = 48 * 1024;
  const BodyCase cases[] = {
      {"/digest", 0, false, "HTTP/1.1 200 "},
      {"/digest", 10, false, "HTTP/1.1 200 "},
      {"/digest", kWindow - 1, false, "HTTP/1.1 200 "},
      {"/digest", kWindow, false, "HTTP/1.1 200 "},
      {"/digest", kWindow + 1, false, "HTTP/1.1 200 "},
      {"/digest", kMaxBody, false, "HTTP/1.1 200 "},
      {"/digest", 10, true, "HTTP/1.1 200 "},
      {"/digest", kWindow + 1, true, "HTTP/1.1 200 "},
      {"/digest", kMaxBody, true, "HTTP/1.1 200 "},
      {"/page", kMaxBody, false, "HTTP/1.1 200 "},
      {"/page", kMaxBody, true, "HTTP/1.1 200 "},
      // The refusal closes the connection, so each comes last on its own.
      {"/digest", kMaxBody + 1, false, "HTTP/1.1 413 "},
      {"/digest", kMaxBody + 1, true, "HTTP/1.1 413 "},
  };
  auto connection = std::make_unique<RawConnection>(server_->port());
  for (const BodyCase& c : cases) {
    SCOPED_TRACE(std::string(c.path) + " " + std::to_string(c.size) + (c.chunked ? " chunked" : ""));
    std::string body(c.size, '\0');
    for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(i * 7 % 251);
    ASSERT_TRUE(connection->Send(Upload(c, body)));
    if (strcmp(c.status_line, "HTTP/1.1 200 ") != 0) {
      std::string answer = connection->ReadUntilClose();
      EXPECT_EQ(answer.compare(0, strlen(c.status_line), c.status_line), 0) << answer;
      connection = std::make_unique<RawConnection>(server_->port());
      continue;
    }
    std::string expected = strcmp(c.path, "/page") == 0 ? "page body\n" : probe::DigestOf(body, c.chunked);
    std::string answer = connection->ReadThrough(expected);
    EXPECT_EQ(answer.compare(0, strlen(c.status_line), c.status_line), 0) << answer;
    EXPECT_EQ(answer.substr(answer.size() - std::min(answer.size(), expected.size())), expected);
  }
  ExpectStillServing();
}

// A connection reuses its buffers and its last answer from request to
// request: every answer must still be its own.
TEST_F(ServerTest, KeepAliveServesSeveralRequestsOnOneConnection) {
  const struct {
    const char* path;
    const char* body;
  } requests[] = {
      {"/page", "page body\n"},     {"/page", "page body\n"},
      {"/stream", "one two three\n"}, {"/page", "page body\n"},
      {"/echo", ""},                {"/vars?a=1", "QUERY_STRING=a=1\n"},
      {"/vars?a=2", "QUERY_STRING=a=2\n"}, {"/status-only", "missing"},
      {"/page", "page body\n"},
  };
  CURL* curl = curl_easy_init();
  long connects = 0;
  for (const auto& r : requests) {
    SCOPED_TRACE(r.path);
    CurlAnswer answer = Fetch(curl, Url(r.path));
    EXPECT_EQ(answer.status, std::string(r.path) == "/status-only" ? 404 : 200);
    if (std::string(r.path).compare(0, 5, "/vars") == 0) {
      EXPECT_NE(answer.body.find(r.body), std::string::npos) << answer.body;
    } else {
      EXPECT_EQ(answer.body, r.body);
    }
    long opened = 0;
    curl_easy_getinfo(curl, CURLINFO_NUM_CONNECTS, &opened);
    connects += opened;
  }
  curl_easy_cleanup(curl);
  EXPECT_EQ(connects, 1);
}

// Sent at once, and a byte at a time, so that heads and chunk lines
// arrive split.
TEST_F(ServerTest, PipelinedRequestsAreAnsweredInOrder) {
  const std::string requests =
      "GET /page HTTP/1.1\r\nHost: t\r\n\r\n"
      "HEAD /page HTTP/1.1\r\nHost: t\r\n\r\n"
      "POST /echo HTTP/1.1\r\nHost: t\r\nTransfer-Encoding: chunked\r\n\r\n"
      "3\r\nabc\r\n2\r\nde\r\n0\r\n\r\n"
      "GET /stream HTTP/1.1\r\nHost: t\r\n\r\n"
      "GET /vars HTTP/1.1\r\nHost: t\r\nConnection: close\r\n\r\n";
  for (size_t piece : {requests.size(), size_t{1}}) {
    SCOPED_TRACE(piece);
    RawConnection connection(server_->port());
    for (size_t at = 0; at < requests.size(); at += piece) {
      ASSERT_TRUE(connection.Send(requests.substr(at, piece)));
    }
    std::string all = connection.ReadUntilClose();
    size_t page = all.find("\r\n\r\npage body\n");
    size_t head = all.find("HTTP/1.1 200 OK", page);
    size_t echo = all.find("\r\n\r\nabcde", head);
    size_t stream = all.find("one two three", echo);
    size_t vars = all.find("PATH_INFO=/vars", stream);
    EXPECT_NE(page, std::string::npos) << all;
    EXPECT_NE(head, std::string::npos);
    EXPECT_NE(echo, std::string::npos) << all;
    EXPECT_NE(stream, std::string::npos);
    EXPECT_NE(vars, std::string::npos);
    // The HEAD answer brought no body: the next status line follows its
    // blank line directly.
    size_t head_end = all.find("\r\n\r\n", head);
    EXPECT_EQ(all.compare(head_end + 4, 15, "HTTP/1.1 200 OK"), 0);
  }
}

TEST_F(ServerTest, HeadSendsTheHeadersWithoutBody) {
  CurlAnswer answer = Fetch(Url("/page"), {}, true);
  EXPECT_EQ(answer.status, 200);
  EXPECT_EQ(HeaderBlock(answer), "Content-Type: text/plain\r\nContent-Length: 10\r\n\r\n");
  EXPECT_EQ(answer.body, "");
}

TEST_F(ServerTest, ConcurrentClientsAllGetTheirAnswers) {
  std::atomic<int> good{0};
  std::vector<std::thread> clients;
  for (int c = 0; c < 8; ++c) {
    clients.emplace_back([&] {
      CURL* curl = curl_easy_init();
      for (int i = 0; i < 25; ++i) {
        CurlAnswer answer = Fetch(curl, Url("/page"));
        if (answer.status == 200 && answer.body == "page body\n") ++good;
      }
      curl_easy_cleanup(curl);
    });
  }
  for (std::thread& client : clients) client.join();
  EXPECT_EQ(good.load(), 200);
}

TEST_F(ServerTest, OversizedHeaderGets431) {
  CurlAnswer answer = Fetch(Url("/page"), {"X-Big: " + std::string(64 * 1024, 'a')});
  EXPECT_EQ(answer.status, 431);
  ExpectStillServing();
}

struct RawCase {
  std::string request;
  const char* status_line;
  size_t status_lines = 1;  // in the whole answer, before the server closes
};

size_t CountStatusLines(const std::string& answer) {
  size_t count = 0;
  for (size_t at = answer.find("HTTP/1."); at != std::string::npos;
       at = answer.find("HTTP/1.", at + 1)) {
    ++count;
  }
  return count;
}

TEST_F(ServerTest, MalformedRequestsGetA4xxAndTheServerGoesOn) {
  const std::string next = "GET /page HTTP/1.1\r\nHost: t\r\n\r\n";
  const RawCase cases[] = {
      {"GET /\r\nHost: t\r\n\r\n", "HTTP/1.1 400 "},
      {"/ / /\r\nHost: t\r\n\r\n", "HTTP/1.1 400 "},
      {"GET / HTTP/1.1 extra\r\nHost: t\r\n\r\n", "HTTP/1.1 400 "},
      {"\x01\x02 junk junk\r\n\r\n", "HTTP/1.1 400 "},
      {"G\x1bT /page HTTP/1.1\r\nHost: t\r\n\r\n", "HTTP/1.1 400 "},
      {"GET /page HTTP/1.1\r\n\r\n", "HTTP/1.1 400 "},  // no Host
      {"GET /page HTTP/1.1\r\nHost: t\r\nHost: u\r\n\r\n", "HTTP/1.1 400 "},
      {"GET /page HTTP/1.1\r\nHost : t\r\n\r\n", "HTTP/1.1 400 "},
      {"GET /page HTTP/1.1\r\n: t\r\nHost: t\r\n\r\n", "HTTP/1.1 400 "},
      {"GET /a b HTTP/1.1\r\nHost: t\r\n\r\n", "HTTP/1.1 400 "},
      {"GET /a%zz HTTP/1.1\r\nHost: t\r\n\r\n", "HTTP/1.1 400 "},
      {"GET /a%00 HTTP/1.1\r\nHost: t\r\n\r\n", "HTTP/1.1 400 "},
      {"GET /page HTTP/1.1\r\nHost: t\r\nBad Name: v\r\n\r\n", "HTTP/1.1 400 "},
      {"GET /page HTTP/1.1\r\nHost: t\r\nX-A: a\rb\r\n\r\n", "HTTP/1.1 400 "},
      // The rest must not be read as a request.
      {"GET /page HTTP/1.1\r\n: v\r\nHost: t\r\nContent-Length: " +
           std::to_string(next.size()) + "\r\n\r\n" + next,
       "HTTP/1.1 400 "},
      {"POST /echo HTTP/1.1\r\nHost: t\r\nContent-Length: 3\r\n"
       "Transfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n",
       "HTTP/1.1 400 "},
      // Whichever length were taken, the rest must not be read as a request.
      {"POST /echo HTTP/1.1\r\nHost: t\r\nContent-Length: 3\r\nContent-Length: 40\r\n\r\n"
       "abc" + next,
       "HTTP/1.1 400 "},
      {"POST /echo HTTP/1.1\r\nHost: t\r\nTransfer-Encoding: gzip\r\n\r\n3\r\nabc\r\n0\r\n\r\n",
       "HTTP/1.1 501 "},
      {"POST /echo HTTP/1.1\r\nHost: t\r\nContent-Length: 2000000\r\n\r\n", "HTTP/1.1 413 "},
      // A client that sends its whole body before it reads still gets the
      // answer, not a reset.
      {"POST /echo HTTP/1.1\r\nHost: t\r\nContent-Length: 2000000\r\n\r\n" +
           std::string(2000000, 'x'),
       "HTTP/1.1 413 "},
      {"GET / HTTP/9.9\r\nHost: t\r\n\r\n", "HTTP/1.1 505 "},
      {"GET / HTTP/2.0\r\nHost: t\r\n\r\n", "HTTP/1.1 505 "},
      {"POST /echo HTTP/1.1\r\nHost: t\r\nContent-Length: -1\r\n\r\n", "HTTP/1.1 400 "},
      {"POST /echo HTTP/1.1\r\nHost: t\r\nContent-Length: +3\r\n\r\nabc", "HTTP/1.1 400 "},
      {"POST /echo HTTP/1.1\r\nHost: t\r\nContent-Length:\r\n\r\n", "HTTP/1.1 400 "},
      {"POST /echo HTTP/1.1\r\nHost: t\r\nContent-Length: 3\r\nContent-Length: 3\r\n\r\nabc",
       "HTTP/1.1 400 "},
      {"POST /echo HTTP/1.1\r\nHost: t\r\nContent-Length: 3, 3\r\n\r\nabc", "HTTP/1.1 400 "},
      // Beyond 64 bits: no length at all.
      {"POST /echo HTTP/1.1\r\nHost: t\r\nContent-Length: 99999999999999999999\r\n\r\n",
       "HTTP/1.1 400 "},
      {"GET /page HTTP/1.1\r\nHost: t\r\nX-A: a\r\n b\r\n\r\n", "HTTP/1.1 400 "},
      {"GET /page HTTP/1.1\r\nHost: t\r\n : v\r\n\r\n", "HTTP/1.1 400 "},
      {"GET /page HTTP/1.1\rHost: t\r\n\r\n", "HTTP/1.1 400 "},
      {"GET /page HTTP/1.1\r\nHost: t\r\nCookie: " + std::string(16 * 1024, 'c') + "\r\n\r\n",
       "HTTP/1.1 431 "},
      // RFC 9112 read by the letter. "close" anywhere, on any line, ends
      // the connection after the answer: `next` stays unread.
      {"GET /page HTTP/1.1\r\nHost: t\r\nConnection: keep-alive, close\r\n\r\n" + next,
       "HTTP/1.1 200 "},
      {"GET /page HTTP/1.1\r\nHost: t\r\nConnection: keep-alive\r\nConnection: close\r\n\r\n" +
           next,
       "HTTP/1.1 200 "},
      {"POST /echo HTTP/1.0\r\nConnection: keep-alive\r\nTransfer-Encoding: chunked\r\n\r\n"
       "3\r\nabc\r\n0\r\n\r\n" + next,
       "HTTP/1.1 400 "},
      {"GET /page HTTP/1.1\r\nHost: a b\r\n\r\n", "HTTP/1.1 400 "},
      {"GET /page HTTP/1.1\r\nHost: ../x\r\n\r\n", "HTTP/1.1 400 "},
      {"GET /%2e%2e/%2e%2e/etc/passwd HTTP/1.1\r\nHost: t\r\n\r\n", "HTTP/1.1 400 "},
      {"GET /a/../../b HTTP/1.1\r\nHost: t\r\n\r\n", "HTTP/1.1 400 "},
      {"GET /..%2f..%2fx HTTP/1.1\r\nHost: t\r\n\r\n", "HTTP/1.1 400 "},
      {"GET /x/..%2fpage HTTP/1.1\r\nHost: t\r\nConnection: close\r\n\r\n",
       "HTTP/1.1 200 "},
      {"GET http://a/page HTTP/1.1\r\nHost: t\r\nConnection: close\r\n\r\n",
       "HTTP/1.1 200 "},
      // One empty line before a request line is ignored, not two.
      {"\r\nGET /page HTTP/1.1\r\nHost: t\r\n\r\n\r\n"
       "GET /page HTTP/1.1\r\nHost: t\r\nConnection: close\r\n\r\n",
       "HTTP/1.1 200 ", 2},
      {"\r\n\r\nGET /page HTTP/1.1\r\nHost: t\r\n\r\n", "HTTP/1.1 400 "},
      {"\r\nGET / HTTP/9.9\r\nHost: t\r\n\r\n", "HTTP/1.1 505 "},
      {"POST /echo HTTP/1.1\r\nHost: t\r\nExpect: 100-continue\r\nExpect: 100-continue\r\n"
       "Content-Length: 3\r\nConnection: close\r\n\r\nabc",
       "HTTP/1.1 100 ", 2},
      // A chunk extension past 4 KiB is refused, whether it has ended or
      // the server would otherwise wait for its end.
      {"POST /echo HTTP/1.1\r\nHost: t\r\nTransfer-Encoding: chunked\r\n\r\n1;a=\"" +
           std::string(5000, 'x'),
       "HTTP/1.1 400 "},
      {"POST /echo HTTP/1.1\r\nHost: t\r\nTransfer-Encoding: chunked\r\n\r\n1;a=" +
           std::string(5000, 'x') + "\r\nx\r\n0\r\n\r\n",
       "HTTP/1.1 400 "},
      // A chunk line that never lets the parser go on, extension or not.
      {"POST /echo HTTP/1.1\r\nHost: t\r\nTransfer-Encoding: chunked\r\n\r\n" +
           std::string(30000, '0'),
       "HTTP/1.1 400 "},
  };
  for (const RawCase& c : cases) {
    SCOPED_TRACE(c.request.substr(0, 80));
    RawConnection connection(server_->port());
    ASSERT_TRUE(connection.Send(c.request));
    std::string answer = connection.ReadUntilClose();
    EXPECT_EQ(answer.compare(0, strlen(c.status_line), c.status_line), 0) << answer;
    EXPECT_EQ(CountStatusLines(answer), c.status_lines) << answer;
  }
  ExpectStillServing();
}

TEST_F(ServerTest, ClientLeavingMidBodyOrMidAnswerDoesNotDisturbTheServer) {
  for (bool chunked : {false, true}) {
    RawConnection connection(server_->port());
    std::string body(kMaxBody, 'x');
    std::string upload = Upload({"/digest", body.size(), chunked, ""}, body);
    ASSERT_TRUE(connection.Send(upload.substr(0, upload.size() / 2)));
    connection.Close();
  }
  for (int i = 0; i < 5; ++i) {
    RawConnection connection(server_->port());
    ASSERT_TRUE(connection.Send("GET /big HTTP/1.1\r\nHost: t\r\n\r\n"));
    EXPECT_GE(connection.ReadAtLeast(4096).size(), 4096u);
    connection.Close();
  }
  CurlAnswer answer = Fetch(Url("/big"));
  EXPECT_EQ(answer.status, 200);
  EXPECT_EQ(answer.body, std::string(256 * 1024, 'b'));
}

// One pool thread, so that it has closed the answered connections (and
// freed their slots) before it can accept the next one.
TEST(ServerLimits, OneAddressGetsAtMost64Connections) {
  ServerProcess server({"--module", PROBE_MODULE, "--threads", "1"});
  ASSERT_TRUE(server.started());
  std::vector<std::unique_ptr<RawConnection>> connections;
  for (int i = 0; i < 65; ++i) {
    connections.push_back(std::make_unique<RawConnection>(server.port()));
    ASSERT_TRUE(connections.back()->connected());
  }
  // The kernel queues connections in no fixed order for the server to
  // accept, so which one is too many is not known in advance: exactly one
  // of them must be refused.
  const std::string request = "GET /page HTTP/1.1\r\nHost: t\r\n\r\n";
  for (auto& connection : connections) connection->Send(request);
  int served = 0;
  int refused = 0;
  for (auto& connection : connections) {
    const std::string answer = connection->ReadThrough("page body");
    if (answer.find("page body") != std::string::npos) ++served;
    if (answer.empty()) ++refused;
  }
  EXPECT_EQ(served, 64);
  EXPECT_EQ(refused, 1);
  // The server closes each connection after one more answer; once the
  // client has seen every close, the slots are free again.
  const std::string last = "GET /page HTTP/1.1\r\nHost: t\r\nConnection: close\r\n\r\n";
  for (auto& connection : connections) connection->Send(last);
  for (auto& connection : connections) EXPECT_TRUE(connection->WaitForClose(3000));
  CurlAnswer answer = Fetch("http://127.0.0.1:" + std::to_string(server.port()) + "/page");
  EXPECT_EQ(answer.status, 200);
  EXPECT_EQ(answer.body, "page body\n");
}

// Kept connections closed at the idle timeout give their slots back: as
// many as one address may hold, then one more is served.
TEST(ServerLimits, KeptConnectionsClosedWhenIdleFreeTheirSlots) {
  ServerProcess server({"--module", PROBE_MODULE, "--threads", "1", "--request-timeout", "1"});
  ASSERT_TRUE(server.started());
  const std::string request = "GET /page HTTP/1.1\r\nHost: t\r\n\r\n";
  std::vector<std::unique_ptr<RawConnection>> kept;
  for (int i = 0; i < 64; ++i) {
    kept.push_back(std::make_unique<RawConnection>(server.port()));
    ASSERT_TRUE(kept.back()->Send(request));
    ASSERT_NE(kept.back()->ReadThrough("page body").find("page body"), std::string::npos);
  }
  for (auto& connection : kept) EXPECT_TRUE(connection->WaitForClose(5000));
  RawConnection next(server.port());
  ASSERT_TRUE(next.Send(request));
  EXPECT_NE(next.ReadThrough("page body").find("page body"), std::string::npos);
}

// A thread inside the module takes no new connections, so the others serve
// them while a module call blocks.
TEST(ServerThreading, BlockedModuleCallLeavesOtherConnectionsToTheOtherThreads) {
  ProbeEvents events;
  ServerProcess server({"--module", PROBE_MODULE, "--threads", "2"},
                       {events.Environment()});
  ASSERT_TRUE(server.started());
  std::string base = "http://127.0.0.1:" + std::to_string(server.port());
  auto blocked = std::async(std::launch::async, [&] { return Fetch(base + "/block"); });
  ASSERT_TRUE(events.WaitFor("enter /block"));
  for (int i = 0; i < 5; ++i) EXPECT_EQ(Fetch(base + "/page").body, "page body\n");
  EXPECT_EQ(blocked.wait_for(0ms), std::future_status::timeout);
  EXPECT_EQ(Fetch(base + "/release").status, 200);
  EXPECT_EQ(blocked.get().body, "released\n");
}

// With one thread, a request sent while the module waits at the gate
// reaches the module only after the gate opens. The gate stays shut for
// as long as a server that took the request elsewhere would need to bring
// it into the module, so that such a server fails here every time rather
// than when it happens to win a race with Open().
TEST(ServerThreading, OneThreadInTheModuleHoldsUpEveryOtherRequest) {
  ProbeEvents events;
  ProbeGate gate;
  ServerProcess server({"--module", PROBE_MODULE, "--threads", "1"},
                       {events.Environment(), gate.Environment()});
  ASSERT_TRUE(server.started());
  std::string base = "http://127.0.0.1:" + std::to_string(server.port());
  auto waiting = std::async(std::launch::async, [&] { return Fetch(base + "/gate"); });
  ASSERT_TRUE(events.WaitFor("enter /gate"));
  RawConnection page(server.port());
  ASSERT_TRUE(page.Send("GET /page HTTP/1.1\r\nHost: t\r\n\r\n"));
  EXPECT_FALSE(events.WaitFor("enter /page", 1000)) << "a second request ran beside /gate";
  gate.Open();
  EXPECT_NE(page.ReadThrough("page body").find("page body"), std::string::npos);
  EXPECT_EQ(waiting.get().body, "opened\n");
  ASSERT_TRUE(events.WaitFor("leave /page"));
  EXPECT_EQ(events.seen(), "enter /gate\nwrote /gate\nleave /gate\nenter /page\nleave /page\n");
}

TEST(ServerLifecycle, TermFinishesRequestsInFlightThenUnloadsOnce) {
  char log_path[] = "/tmp/isapi-terminate-XXXXXX";
  int log_fd = mkstemp(log_path);
  ASSERT_GE(log_fd, 0);
  close(log_fd);
  ProbeEvents events;
  ProbeGate gate;
  ServerProcess server({"--module", PROBE_MODULE},
                       {std::string("PROBE_TERMINATE_LOG=") + log_path, events.Environment(),
                        gate.Environment()});
  ASSERT_TRUE(server.started());
  std::string base = "http://127.0.0.1:" + std::to_string(server.port());

  // An idle keep-alive connection, and a request inside the module.
  RawConnection idle(server.port());
  ASSERT_TRUE(idle.Send("GET /page HTTP/1.1\r\nHost: t\r\n\r\n"));
  EXPECT_NE(idle.ReadThrough("page body").find("page body"), std::string::npos);
  RawConnection inside(server.port());
  ASSERT_TRUE(inside.Send("GET /gate HTTP/1.1\r\nHost: t\r\n\r\n"));
  ASSERT_TRUE(events.WaitFor("enter /gate"));

  ASSERT_EQ(kill(server.pid(), SIGTERM), 0);
  ASSERT_TRUE(server.WaitForOutput("draining\n"));
  EXPECT_NE(Fetch(base + "/page").curl_code, CURLE_OK);  // no longer accepting
  EXPECT_TRUE(idle.WaitForClose(3000));

  // The answer under way is finished, and closes its connection.
  gate.Open();
  std::string last = inside.ReadUntilClose();
  EXPECT_NE(last.find("Connection: close"), std::string::npos) << last;
  EXPECT_NE(last.find("opened\n"), std::string::npos) << last;
  EXPECT_EQ(server.StopWith(SIGTERM), 0);

  std::ifstream log(log_path);
  std::stringstream text;
  text << log.rdbuf();
  EXPECT_EQ(text.str(), "terminate 2\n");
  unlink(log_path);
}

// A worker that dies, however it dies, is replaced; the master's log names
// how it ended and the request line that was inside the module. Only
// workers that end before they could serve are replaced ever more slowly.
TEST(ServerLifecycle, AWorkerThatDiesIsReplacedAndItsRequestLineLogged) {
  // With PROBE_LOAD_ONCE, every worker after the first fails to load the
  // module until the marker file goes.
  const std::string marker = "/tmp/isapi-load-once-" + std::to_string(getpid());
  const struct {
    const char* name;
    std::vector<std::string> args;
    bool load_once;
    std::vector<const char*> targets;  // requested in turn, each ending a worker
    std::vector<const char*> log;      // lines the master writes on standard error
  } cases[] = {
      {"segfault", {}, false, {"/crash?id=7"},
       {"died of signal 11 (Segmentation fault) with 1 request in the module:\n"
        "isapi-server:   GET /crash?id=7 HTTP/1.1\n"
        "isapi-server: worker "}},
      {"call past the terminate timeout",
       {"--request-terminate-timeout", "1"}, false,
       {"/block"},
       {"has run \"GET /block HTTP/1.1\" in the module for more than 1 s",
        "died of signal 9 (Killed) with 1 request in the module:\n",
        "isapi-server:   GET /block HTTP/1.1\n"}},
      {"crashing requests in a row", {}, false, {"/crash", "/crash", "/crash", "/crash"},
       {"died during a module call; starting another at once\n"}},
      {"module that stops loading", {}, true, {"/crash"},
       {"died during a module call; starting another at once\n",
        "ended before it could serve\n",
        "3 workers in a row ended within 1000 ms of starting; starting the next in 1 s "
        "(rapid-fail protection)\n"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> args = {"--module", PROBE_MODULE, "--workers", "1"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    unlink(marker.c_str());
    std::vector<std::string> environment;
    if (c.load_once) environment.push_back("PROBE_LOAD_ONCE=" + marker);
    ServerProcess server(args, environment);
    ASSERT_TRUE(server.started());
    std::string base = "http://127.0.0.1:" + std::to_string(server.port());
    for (const char* target : c.targets) {
      EXPECT_NE(Fetch(base + target).curl_code, CURLE_OK);
    }
    for (const char* line : c.log) EXPECT_TRUE(server.WaitForOutput(line)) << line;
    unlink(marker.c_str());
    // The replacement serves.
    EXPECT_EQ(Fetch(base + "/page").body, "page body\n");
    EXPECT_EQ(server.StopWith(SIGTERM), 0);
  }
  unlink(marker.c_str());
}

// After the drain timeout the connections still busy are closed: a
// request still arriving, and an answer its client does not take.
TEST(ServerLifecycle, DrainClosesConnectionsStillUnderWay) {
  const size_t kLongAnswer = 32 * 1024 * 1024;  // more than the socket buffers hold
  const struct {
    const char* name;
    std::string sent;
    const char* seen;  // read before the stop
  } cases[] = {
      // Once the first answer is back, the server has taken the second
      // request line.
      {"sending its request",
       "GET /page HTTP/1.1\r\nHost: t\r\n\r\nGET /page HTTP/1.1\r\nHost: t\r\nX-Slow: a",
       "page body"},
      {"not reading its answer",
       "GET /big?" + std::to_string(kLongAnswer / 1024) + " HTTP/1.1\r\nHost: t\r\n\r\n",
       "bbbb"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    // In the one process: a master would end a worker late in the drain anyway.
    ServerProcess server({"--module", PROBE_MODULE, "--drain-timeout", "1", "--workers", "0"});
    ASSERT_TRUE(server.started());
    RawConnection client(server.port());
    ASSERT_TRUE(client.Send(c.sent));
    ASSERT_NE(client.ReadThrough(c.seen).find(c.seen), std::string::npos);
    EXPECT_EQ(server.StopWith(SIGTERM), 0);
    std::string rest = client.ReadUntilClose();
    EXPECT_EQ(rest.find("page body"), std::string::npos);
    EXPECT_LT(rest.size(), kLongAnswer);
  }
}

// A client that trickles its request loses its connection at the request
// timeout, however often a byte arrives.
TEST(ServerLimits, ARequestTrickledPastTheRequestTimeoutLosesItsConnection) {
  ServerProcess server({"--module", PROBE_MODULE, "--request-timeout", "1"});
  ASSERT_TRUE(server.started());
  RawConnection trickler(server.port());
  ASSERT_TRUE(trickler.Send("GET /page HTTP/1.1\r\nHost: t\r\nX-Slow: "));
  // A byte whenever 100 ms pass without the server closing, for at most
  // 20 s (its idle timeout is 30 s).
  bool closed = false;
  for (int i = 0; i < 200 && !closed; ++i) {
    closed = trickler.WaitForClose(100) || !trickler.Send("a");
  }
  EXPECT_TRUE(closed);
  // A request that arrives in time is served.
  RawConnection prompt(server.port());
  ASSERT_TRUE(prompt.Send("GET /page HTTP/1.1\r\nHost: t\r\n\r\n"));
  EXPECT_NE(prompt.ReadThrough("page body").find("page body"), std::string::npos);
}

// The request timeout bounds how long a client may take nothing of its
// answer, not how long it may take to read all of it.
TEST(ServerLimits, ASlowReaderGetsAnAnswerThatOutlastsTheRequestTimeout) {
  ServerProcess server({"--module", PROBE_MODULE, "--request-timeout", "1", "--hold-limit",
                        "0"});
  ASSERT_TRUE(server.started());
  // More than the socket buffers of both ends hold.
  const std::string body(24 * 1024 * 1024, 'e');
  RawConnection client(server.port());
  ASSERT_TRUE(client.Send("POST /echo HTTP/1.1\r\nHost: t\r\nContent-Length: " +
                          std::to_string(body.size()) + "\r\n\r\n" + body));
  // A client that reads 512 KiB every 100 ms: 5 s for the answer.
  size_t received = 0;
  for (int i = 0; i < 100 && received < body.size(); ++i) {
    std::string piece = client.ReadAtLeast(512 * 1024);
    if (piece.empty()) break;
    received += piece.size();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_GT(received, body.size());  // head and body
}

// A client that takes its answer slowly or not at all costs buffer space,
// not the thread: with one thread, another client is served while the
// module's long answer waits for the first. Past the answer buffer, the
// module waits for the client, until the client takes nothing for the
// request timeout or falls below the minimum rate: then its connection
// closes and the module's next write fails, which lets the module go.
TEST(ServerLimits, ClientsThatReadSlowlyOrNotAtAllHoldNoThread) {
  // More than the socket buffers hold, and than a reader below takes in 10 s.
  const size_t kAnswer = 32 * 1024 * 1024;
  const struct {
    const char* name;
    std::vector<std::string> args;
    bool reads;  // 128 KiB every 50 ms, else nothing until the end
  } cases[] = {
      {"reads nothing, answer within the buffer", {}, false},
      {"reads nothing, answer past the buffer",
       {"--answer-buffer", "1048576", "--request-timeout", "1"}, false},
      {"reads below the minimum rate",
       {"--answer-buffer", "1048576", "--request-timeout", "1", "--min-send-rate", "67108864"},
       true},
  };
  std::string whole_body;
  for (size_t i = 0; i < kAnswer / 1024; ++i) {
    whole_body += "400\r\n" + std::string(1024, 'b') + "\r\n";
  }
  whole_body += "0\r\n\r\n";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ProbeEvents events;
    // Nothing held back: each write is a chunk of its own.
    std::vector<std::string> args = {"--module", PROBE_MODULE, "--threads", "1", "--hold-limit",
                                     "0"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    ServerProcess server(args, {events.Environment()});
    ASSERT_TRUE(server.started());
    RawConnection slow(server.port());
    ASSERT_TRUE(slow.Send("GET /big?" + std::to_string(kAnswer / 1024) +
                          " HTTP/1.1\r\nHost: t\r\nConnection: close\r\n\r\n"));
    ASSERT_TRUE(events.WaitFor("enter /big"));
    RawConnection page(server.port());
    ASSERT_TRUE(page.Send("GET /page HTTP/1.1\r\nHost: t\r\n\r\n"));
    size_t received = 0;
    bool cut_while_reading = false;
    for (int i = 0; c.reads && i < 200 && !cut_while_reading; ++i) {
      std::string piece = slow.ReadAtLeast(128 * 1024, 1000);
      received += piece.size();
      cut_while_reading = piece.empty();
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_EQ(cut_while_reading, c.reads);
    EXPECT_TRUE(events.WaitFor("leave /big", 20000));
    EXPECT_NE(page.ReadThrough("page body").find("page body"), std::string::npos);
    std::string rest = slow.ReadUntilClose(10000);
    received += rest.size();
    // Only the buffered answer arrives whole, every byte in its place: a
    // chunk per 1 KiB write.
    size_t head_end = rest.find("\r\n\r\n");
    std::string body = head_end == std::string::npos ? "" : rest.substr(head_end + 4);
    EXPECT_EQ(body == whole_body, c.args.empty()) << received;
    EXPECT_EQ(received > kAnswer, c.args.empty()) << received;
  }
}

TEST(ServerLifecycle, RefusesToRunTheModuleAsRootUnlessAllowed) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  std::string output;
  EXPECT_EQ(RunServerToExit({"--module", PROBE_MODULE}, &output, false), 2) << output;
  EXPECT_NE(output.find("refusing to run the module as root"), std::string::npos) << output;
  ServerProcess allowed({"--module", PROBE_MODULE});  // the harness passes --allow-root
  EXPECT_TRUE(allowed.started());
}

// Both address families, and [::] taking IPv4 clients as well. Variables
// show an IPv4 client of the dual-stack socket by its IPv4 address.
TEST(ServerLifecycle, ListensOnIpv6Addresses) {
  const struct {
    const char* listen;
    const char* client_host;
    const char* remote_addr;
    const char* server_name;
  } cases[] = {
      {"[::1]:0", "[::1]", "REMOTE_ADDR=::1\n", "SERVER_NAME=[::1]\n"},
      {"[::]:0", "[::1]", "REMOTE_ADDR=::1\n", "SERVER_NAME=[::1]\n"},
      {"[::]:0", "127.0.0.1", "REMOTE_ADDR=127.0.0.1\n", "SERVER_NAME=127.0.0.1\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.listen) + " from " + c.client_host);
    ServerProcess server({"--module", PROBE_MODULE}, {}, c.listen);
    ASSERT_TRUE(server.started());
    std::string listen = c.listen;
    EXPECT_EQ(server.listening_on(),
              listen.substr(0, listen.size() - 1) + std::to_string(server.port()));
    CurlAnswer answer = Fetch(std::string("http://") + c.client_host + ":" +
                              std::to_string(server.port()) + "/vars");
    EXPECT_EQ(answer.status, 200);
    EXPECT_NE(answer.body.find(c.remote_addr), std::string::npos) << answer.body;
    EXPECT_NE(answer.body.find(c.server_name), std::string::npos) << answer.body;
  }
}

// systemd's readiness protocol: one datagram to $NOTIFY_SOCKET.
TEST(ServerLifecycle, ReportsReadinessToSystemd) {
  int notify = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(notify, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::string path = "/tmp/isapi-notify-" + std::to_string(getpid());
  unlink(path.c_str());
  snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
  ASSERT_EQ(bind(notify, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ServerProcess server({"--module", PROBE_MODULE}, {"NOTIFY_SOCKET=" + path});
  ASSERT_TRUE(server.started());
  pollfd ready{notify, POLLIN, 0};
  ASSERT_EQ(poll(&ready, 1, 10000), 1);
  char message[256] = {};
  ASSERT_GT(recv(notify, message, sizeof message - 1, 0), 0);
  EXPECT_EQ(std::string(message), "READY=1");
  EXPECT_EQ(server.StopWith(SIGTERM), 0);
  ASSERT_EQ(poll(&ready, 1, 10000), 1);
  memset(message, 0, sizeof message);
  ASSERT_GT(recv(notify, message, sizeof message - 1, 0), 0);
  EXPECT_EQ(std::string(message), "STOPPING=1");
  close(notify);
  unlink(path.c_str());
}

// Log rotation: move the file away, SIGHUP, and the next lines go to a new
// file under the old name.
TEST(ServerLifecycle, SighupReopensTheAccessLog) {
  char directory[] = "/tmp/isapi-rotate-XXXXXX";
  ASSERT_NE(mkdtemp(directory), nullptr);
  const std::string log_path = std::string(directory) + "/access.log";
  ServerProcess server({"--module", PROBE_MODULE, "--access-log", log_path});
  ASSERT_TRUE(server.started());
  std::string base = "http://127.0.0.1:" + std::to_string(server.port());
  Fetch(base + "/page?before");
  ASSERT_EQ(rename(log_path.c_str(), (log_path + ".1").c_str()), 0);
  Fetch(base + "/page?between");
  auto read_all = [](const std::string& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
  };
  // A line is written once its answer has gone out.
  ASSERT_TRUE(test_support::WaitForWrites(directory, std::chrono::seconds(10), [&] {
    return read_all(log_path + ".1").find("/page?between ") != std::string::npos;
  }));

  // The server closes the old file once the new one is in place.
  int watch = inotify_init1(IN_CLOEXEC);
  ASSERT_GE(watch, 0);
  ASSERT_GE(inotify_add_watch(watch, directory, IN_CLOSE_WRITE), 0);
  ASSERT_EQ(kill(server.pid(), SIGHUP), 0);
  bool old_file_closed = false;
  pollfd event_ready{watch, POLLIN, 0};
  while (!old_file_closed && poll(&event_ready, 1, 10000) == 1) {
    alignas(inotify_event) char events[4096];
    ssize_t size = read(watch, events, sizeof events);
    for (ssize_t at = 0; at < size;) {
      const auto* event = reinterpret_cast<const inotify_event*>(events + at);
      if (event->len > 0 && std::string(event->name) == "access.log.1") old_file_closed = true;
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
  }
  close(watch);
  ASSERT_TRUE(old_file_closed);
  Fetch(base + "/page?after");
  EXPECT_EQ(server.StopWith(SIGTERM), 0);

  std::string rotated = read_all(log_path + ".1");
  std::string current = read_all(log_path);
  EXPECT_NE(rotated.find("/page?before "), std::string::npos) << rotated;
  EXPECT_NE(rotated.find("/page?between "), std::string::npos) << rotated;
  EXPECT_EQ(rotated.find("/page?after "), std::string::npos) << rotated;
  EXPECT_NE(current.find("/page?after "), std::string::npos) << current;
  EXPECT_EQ(current.find("/page?before "), std::string::npos) << current;
  unlink(log_path.c_str());
  unlink((log_path + ".1").c_str());
  rmdir(directory);
}

TEST(ServerLifecycle, RefusesToStartWithoutAWorkingModule) {
  struct Case {
    std::vector<std::string> args;
    int status;
    const char* message;
  };
  const Case cases[] = {
      {{"--module", REFUSING_MODULE}, 1, "GetExtensionVersion failed (error 5)"},
      {{"--module", VERSIONLESS_MODULE}, 1, "does not export GetExtensionVersion"},
      {{"--module", "/nonexistent/module.so"}, 1, "cannot load module"},
      {{}, 2, "--module PATH is required"},
      {{"--module", PROBE_MODULE, "--listen", "localhost"}, 2,
       "--listen must be HOST:PORT with a port in 0..65535: localhost"},
      {{"--module", PROBE_MODULE, "--threads", "0"}, 2, "--threads must be a number in 1..64"},
      {{"--module=" PROBE_MODULE, "--module", PROBE_MODULE}, 2, "--module given twice"},
      {{"--module", PROBE_MODULE, "--verbose"}, 2, "unknown option: --verbose"},
      {{"--module", PROBE_MODULE, "--drain-timeout", "3601"}, 2,
       "--drain-timeout must be a number in 0..3600"},
      {{"--module", PROBE_MODULE, "--workers", "65"}, 2, "--workers must be a number in 0..64"},
      {{"--module", PROBE_MODULE, "--workers", "0", "--request-terminate-timeout", "5"}, 2,
       "--request-terminate-timeout needs --workers 1 or more"},
      {{"--module", REFUSING_MODULE, "--workers", "3"}, 1, "GetExtensionVersion failed (error 5)"},
      {{"--help"}, 0, "usage: isapi-server --module PATH"},
      {{"--version"}, 0, "isapi-server " ORVANE_VERSION "\n"},
      // An address of no interface here: the bind fails, named once, by us.
      {{"--module", PROBE_MODULE, "--listen", "192.0.2.1:8080"}, 1,
       "isapi-server: cannot listen on 192.0.2.1:8080: "},
  };
  for (const Case& c : cases) {
    std::string output;
    EXPECT_EQ(RunServerToExit(c.args, &output), c.status) << output;
    EXPECT_NE(output.find(c.message), std::string::npos) << output;
    EXPECT_EQ(output.find("Failed to bind"), std::string::npos) << output;
  }
}

TEST(ServerLifecycle, AccessLogHasOneCommonLogFormatLinePerRequest) {
  char log_path[] = "/tmp/isapi-access-XXXXXX";
  int log_fd = mkstemp(log_path);
  ASSERT_GE(log_fd, 0);
  close(log_fd);
  ServerProcess server({"--module", PROBE_MODULE, "--access-log", log_path});
  ASSERT_TRUE(server.started());
  std::string base = "http://127.0.0.1:" + std::to_string(server.port());
  Fetch(base + "/page?x=1");
  Fetch(base + "/nothing");
  RawConnection refused(server.port());
  ASSERT_TRUE(refused.Send("G\x1b]0;T\x07 /\x1b[2J HTTP/1.1\r\nHost: t\r\n\r\n"));
  EXPECT_EQ(refused.ReadUntilClose().rfind("HTTP/1.1 400 ", 0), 0u);
  EXPECT_EQ(server.StopWith(SIGTERM), 0);

  // A line is written once its answer has gone out, so requests on
  // different connections may log in either order.
  std::ifstream log(log_path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(log, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), 3u);
  for (const char* expected : {
           "] \"GET /page?x=1 HTTP/1.1\" 200 10", "] \"GET /nothing HTTP/1.1\" 500 -",
           // Every byte from the client is escaped, the method's included.
           "] \"G\\x1b]0;T\\x07 /\\x1b[2J HTTP/1.1\" 400 -"}) {
    auto found = std::find_if(lines.begin(), lines.end(), [&](const std::string& line) {
      return line.find(expected) != std::string::npos;
    });
    ASSERT_NE(found, lines.end()) << expected;
    EXPECT_EQ(found->rfind("127.0.0.1 - - [", 0), 0u) << *found;
  }
  unlink(log_path);
}

// A kept connection's next request is taken up by whichever thread is free.
TEST(ServerThreading, KeptConnectionsServeConcurrentClientsOnEveryThread) {
  ServerProcess server({"--module", PROBE_MODULE, "--threads", "2"});
  ASSERT_TRUE(server.started());
  std::string url = "http://127.0.0.1:" + std::to_string(server.port()) + "/stream";
  std::atomic<int> good{0};
  std::vector<std::thread> clients;
  for (int c = 0; c < 4; ++c) {
    clients.emplace_back([&] {
      CURL* curl = curl_easy_init();
      for (int i = 0; i < 20; ++i) {
        if (Fetch(curl, url).body == "one two three\n") ++good;
      }
      curl_easy_cleanup(curl);
    });
  }
  for (std::thread& client : clients) client.join();
  EXPECT_EQ(good.load(), 80);
}

// The real module over the example installation, as scripts/serve.sh runs
// it: drive C: is a directory whose "Program Files/Orvane" is the
// installation, so the INI's Windows path resolves.
class InstallationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char drive[] = "/tmp/isapi-drive-c-XXXXXX";
    ASSERT_NE(mkdtemp(drive), nullptr);
    drive_c_ = drive;
    ASSERT_EQ(mkdir((drive_c_ + "/Program Files").c_str(), 0755), 0);
    ASSERT_EQ(symlink(INSTALLATION_DIR, (drive_c_ + "/Program Files/Orvane").c_str()), 0);
  }

  void TearDown() override {
    unlink((drive_c_ + "/Program Files/Orvane").c_str());
    rmdir((drive_c_ + "/Program Files").c_str());
    rmdir(drive_c_.c_str());
  }

  std::unique_ptr<ServerProcess> Start(const std::string& install_dir) {
    return std::make_unique<ServerProcess>(
        std::vector<std::string>{"--module", ORVANE_MODULE},
        std::vector<std::string>{"ORVANE_INSDIR=" + install_dir, "WIN32_DRIVE_C=" + drive_c_});
  }

  std::string drive_c_;
};

const char kModuleHeaderBlock[] =
    "Content-type: text/html\r\n"
    "Cache-Control: no-cache\r\n"
    "Pragma: no-cache\r\n"
    "TrResult: -1\r\n";

TEST_F(InstallationTest, ServesTheNoticePageWithTheModulesHeaderBlock) {
  auto server = Start(INSTALLATION_DIR);
  ASSERT_TRUE(server->started());
  std::ifstream file(std::string(INSTALLATION_DIR) + "/help/nohp.html", std::ios::binary);
  std::stringstream page;
  page << file.rdbuf();
  ASSERT_FALSE(page.str().empty());

  CURL* curl = curl_easy_init();
  std::string url = "http://127.0.0.1:" + std::to_string(server->port()) + "/";
  for (const char* path : {"", "orvanehp.dll?lang=ja"}) {
    CurlAnswer answer = Fetch(curl, url + path);
    EXPECT_EQ(answer.header_lines[0], "HTTP/1.1 200 OK\r\n");
    EXPECT_EQ(HeaderBlock(answer), std::string(kModuleHeaderBlock) + "Content-Length: " +
                                       std::to_string(page.str().size()) + "\r\n\r\n");
    EXPECT_EQ(answer.body, page.str());
  }
  // HEAD announces the length GET carries.
  CurlAnswer head = Fetch(curl, url, {}, true);
  EXPECT_EQ(head.header_lines[0], "HTTP/1.1 200 OK\r\n");
  EXPECT_EQ(HeaderBlock(head), std::string(kModuleHeaderBlock) + "Content-Length: " +
                                   std::to_string(page.str().size()) + "\r\n\r\n");
  EXPECT_EQ(head.body, "");
  curl_easy_cleanup(curl);
}

TEST_F(InstallationTest, WithoutTheInstallationTheBuiltInPageIsServed) {
  auto server = Start(drive_c_ + "/nowhere");
  ASSERT_TRUE(server->started());
  CurlAnswer answer = Fetch("http://127.0.0.1:" + std::to_string(server->port()) + "/");
  EXPECT_EQ(answer.status, 200);
  EXPECT_EQ(HeaderBlock(answer), std::string(kModuleHeaderBlock) + "Content-Length: 219\r\n\r\n");
  EXPECT_EQ(answer.body.size(), 219u);
  EXPECT_EQ(answer.body.rfind("<html><head></head><body bgcolor=#FFFFFF", 0), 0u);
  // "An internal error has occurred." in Shift_JIS.
  EXPECT_NE(answer.body.find("\x93\xe0\x95\x94\x83\x47\x83\x89\x81\x5b\x82\xaa\x94\xad\x90\xb6"
                             "\x82\xb5\x82\xdc\x82\xb5\x82\xbd\x81\x42"),
            std::string::npos);
}

}  // namespace
}  // namespace server_test
