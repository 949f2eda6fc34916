// isapi-server end to end: a real server process, real HTTP clients
// (libcurl, and raw sockets for what libcurl will not send), the probe
// module from probe_module.cpp.
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <future>
#include <sstream>
#include <thread>

#include "tests/server/server_process.h"

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
  static void SetUpTestSuite() { curl_global_init(CURL_GLOBAL_DEFAULT); }

  void SetUp() override {
    server_ = std::make_unique<ServerProcess>(std::vector<std::string>{"--module", PROBE_MODULE});
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
      // Nothing sent, a bad block or a bad status: 500 and no body.
      {"/nothing", 500, "Content-Length: 0\r\n\r\n", ""},
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
  }
}

TEST_F(ServerTest, ShortBodyEndsTheConnectionInsteadOfLookingComplete) {
  CurlAnswer answer = Fetch(Url("/short"));
  EXPECT_EQ(answer.status, 200);
  EXPECT_EQ(answer.curl_code, CURLE_PARTIAL_FILE);
  EXPECT_EQ(answer.body, "0123456789");
  ExpectStillServing();
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
  EXPECT_NE(answer.body.find("HTTP_HOST=127.0.0.1:" + port + "\n"), std::string::npos);
  EXPECT_NE(answer.body.find("ALL_HTTP=HTTP_HOST:127.0.0.1:" + port + "\nHTTP_ACCEPT:*/*\n"
                             "HTTP_X_PROBE:one\nHTTP_COOKIE:c=1\n\n"),
            std::string::npos);
  EXPECT_NE(answer.body.find("ALL_RAW=Host: 127.0.0.1:" + port + "\r\nAccept: */*\r\n"
                             "X-Probe: one\r\nCookie: c=1\r\n\n"),
            std::string::npos);
}

TEST_F(ServerTest, CallbacksAnswerMisuseWithWin32Errors) {
  CurlAnswer answer = Fetch(Url("/errors"));
  ASSERT_EQ(answer.status, 200);
  EXPECT_EQ(answer.body,
            "small-buffer FALSE 122 size 9\n"
            "exact-buffer TRUE size 4\n"
            "null-buffer-zero-size FALSE 122 size 4\n"
            "unknown FALSE 1413\n"
            "absent-header FALSE 1413\n"
            "null-size FALSE 87\n"
            "null-name FALSE 87\n"
            "null-conn FALSE 87\n"
            "write-before-header FALSE 87\n"
            "unknown-request FALSE 87\n"
            "is-keep-conn TRUE 1\n"
            "done-with-session TRUE\n"
            "control-block 192 262144 method GET query [] path [/errors] translated [] type []\n");
}

TEST_F(ServerTest, RequestBodyReachesTheModule) {
  CURL* curl = curl_easy_init();
  curl_easy_setopt(curl, CURLOPT_POSTFIELDS, "name=value");
  CurlAnswer answer = Fetch(curl, Url("/echo"));
  curl_easy_cleanup(curl);
  EXPECT_EQ(answer.status, 200);
  EXPECT_EQ(answer.body, "name=value");
}

TEST_F(ServerTest, KeepAliveServesSeveralRequestsOnOneConnection) {
  CURL* curl = curl_easy_init();
  long connects = 0;
  for (int i = 0; i < 6; ++i) {
    CurlAnswer answer = Fetch(curl, Url(i % 2 == 0 ? "/page" : "/stream"));
    EXPECT_EQ(answer.status, 200);
    long opened = 0;
    curl_easy_getinfo(curl, CURLINFO_NUM_CONNECTS, &opened);
    connects += opened;
  }
  curl_easy_cleanup(curl);
  EXPECT_EQ(connects, 1);
}

TEST_F(ServerTest, PipelinedRequestsAreAnsweredInOrder) {
  RawConnection connection(server_->port());
  ASSERT_TRUE(connection.Send(
      "GET /page HTTP/1.1\r\nHost: t\r\n\r\n"
      "HEAD /page HTTP/1.1\r\nHost: t\r\n\r\n"
      "GET /stream HTTP/1.1\r\nHost: t\r\n\r\n"
      "GET /vars HTTP/1.1\r\nHost: t\r\nConnection: close\r\n\r\n"));
  std::string all = connection.ReadUntilClose();
  size_t page = all.find("\r\n\r\npage body\n");
  size_t head = all.find("HTTP/1.1 200 OK", page);
  size_t stream = all.find("one two three", head);
  size_t vars = all.find("PATH_INFO=/vars", stream);
  EXPECT_NE(page, std::string::npos);
  EXPECT_NE(head, std::string::npos);
  EXPECT_NE(stream, std::string::npos);
  EXPECT_NE(vars, std::string::npos);
  // The HEAD answer brought no body: the next status line follows its
  // blank line directly.
  size_t head_end = all.find("\r\n\r\n", head);
  EXPECT_EQ(all.compare(head_end + 4, 15, "HTTP/1.1 200 OK"), 0);
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
  const char* request;
  const char* status_line;
};

TEST_F(ServerTest, MalformedRequestsGetA4xxAndTheServerGoesOn) {
  const RawCase cases[] = {
      {"GET /\r\nHost: t\r\n\r\n", "HTTP/1.1 400 "},
      {"/ / /\r\nHost: t\r\n\r\n", "HTTP/1.1 400 "},
      {"GET / HTTP/1.1 extra\r\nHost: t\r\n\r\n", "HTTP/1.1 400 "},
      {"\x01\x02 junk junk\r\n\r\n", "HTTP/1.1 400 "},
      {"GET /page HTTP/1.1\r\n\r\n", "HTTP/1.1 400 "},  // no Host
      {"GET /a%zz HTTP/1.1\r\nHost: t\r\n\r\n", "HTTP/1.1 400 "},
      {"GET /a%00 HTTP/1.1\r\nHost: t\r\n\r\n", "HTTP/1.1 400 "},
      {"GET /page HTTP/1.1\r\nHost: t\r\nBad Name: v\r\n\r\n", "HTTP/1.1 400 "},
      {"POST /echo HTTP/1.1\r\nHost: t\r\nContent-Length: 3\r\n"
       "Transfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n",
       "HTTP/1.1 400 "},
      {"POST /echo HTTP/1.1\r\nHost: t\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n",
       "HTTP/1.1 411 "},
      {"POST /echo HTTP/1.1\r\nHost: t\r\nContent-Length: 2000000\r\n\r\n", "HTTP/1.1 413 "},
      {"GET / HTTP/9.9\r\nHost: t\r\n\r\n", "HTTP/1.1 505 "},
  };
  for (const RawCase& c : cases) {
    SCOPED_TRACE(c.request);
    RawConnection connection(server_->port());
    ASSERT_TRUE(connection.Send(c.request));
    std::string answer = connection.ReadUntilClose();
    EXPECT_EQ(answer.compare(0, strlen(c.status_line), c.status_line), 0) << answer;
  }
  ExpectStillServing();
}

TEST_F(ServerTest, ClientLeavingMidAnswerDoesNotDisturbTheServer) {
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

TEST_F(ServerTest, OneAddressGetsAtMost128Connections) {
  std::vector<std::unique_ptr<RawConnection>> connections;
  for (int i = 0; i < 129; ++i) {
    connections.push_back(std::make_unique<RawConnection>(server_->port()));
    ASSERT_TRUE(connections.back()->connected());
  }
  // Pool threads accept in no fixed order, so which connection is the one
  // too many is not known in advance: exactly one of them must be refused.
  const std::string request = "GET /page HTTP/1.1\r\nHost: t\r\n\r\n";
  for (auto& connection : connections) connection->Send(request);
  int served = 0;
  int refused = 0;
  for (auto& connection : connections) {
    const std::string answer = connection->ReadThrough("page body");
    if (answer.find("page body") != std::string::npos) ++served;
    if (answer.empty()) ++refused;
  }
  EXPECT_EQ(served, 128);
  EXPECT_EQ(refused, 1);
  connections.clear();
  // The slots come back once the server has seen the closes; on a busy
  // machine that takes a moment.
  CurlAnswer answer;
  for (int attempt = 0; attempt < 50 && answer.status != 200; ++attempt) {
    std::this_thread::sleep_for(100ms);
    answer = Fetch(Url("/page"));
  }
  EXPECT_EQ(answer.status, 200);
  EXPECT_EQ(answer.body, "page body\n");
}

// With a thread per connection, a module call that blocks holds up only
// its own connection.
TEST(ServerThreading, PerConnectionBlockedModuleCallLeavesOtherConnectionsServed) {
  ServerProcess server({"--module", PROBE_MODULE, "--thread-per-connection"});
  ASSERT_TRUE(server.started());
  std::string base = "http://127.0.0.1:" + std::to_string(server.port());
  auto blocked = std::async(std::launch::async, [&] { return Fetch(base + "/block"); });
  std::this_thread::sleep_for(200ms);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(Fetch(base + "/page").body, "page body\n");
  EXPECT_EQ(blocked.wait_for(0ms), std::future_status::timeout);
  EXPECT_EQ(Fetch(base + "/release").status, 200);
  EXPECT_EQ(blocked.get().body, "released\n");
}

// In the pool a module call that blocks holds up the other connections of
// its thread: with one thread, a request that arrives during the module's
// one-second nap is answered only after it.
TEST(ServerThreading, PoolThreadBlockedByModuleCallHoldsUpItsOtherConnections) {
  ServerProcess server({"--module", PROBE_MODULE, "--threads", "1"});
  ASSERT_TRUE(server.started());
  std::string base = "http://127.0.0.1:" + std::to_string(server.port());
  auto start = std::chrono::steady_clock::now();
  auto nap = std::async(std::launch::async, [&] { return Fetch(base + "/nap"); });
  std::this_thread::sleep_for(300ms);
  CurlAnswer page = Fetch(base + "/page");
  EXPECT_GE(std::chrono::steady_clock::now() - start, 1s);
  EXPECT_EQ(page.body, "page body\n");
  EXPECT_EQ(nap.get().body, "rested\n");
}

TEST(ServerLifecycle, TermFinishesRequestsInFlightThenUnloadsOnce) {
  char log_path[] = "/tmp/isapi-terminate-XXXXXX";
  int log_fd = mkstemp(log_path);
  ASSERT_GE(log_fd, 0);
  close(log_fd);
  // A thread per connection, so that /release gets through while /block
  // is inside the module.
  ServerProcess server({"--module", PROBE_MODULE, "--thread-per-connection"},
                       {std::string("PROBE_TERMINATE_LOG=") + log_path});
  ASSERT_TRUE(server.started());
  std::string base = "http://127.0.0.1:" + std::to_string(server.port());

  // An open keep-alive connection, and a request inside the module.
  RawConnection idle(server.port());
  ASSERT_TRUE(idle.Send("GET /page HTTP/1.1\r\nHost: t\r\n\r\n"));
  EXPECT_NE(idle.ReadThrough("page body").find("page body"), std::string::npos);
  auto blocked = std::async(std::launch::async, [&] { return Fetch(base + "/block"); });
  std::this_thread::sleep_for(200ms);

  auto exit_status = std::async(std::launch::async, [&] { return server.StopWith(SIGTERM); });
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(exit_status.wait_for(0ms), std::future_status::timeout);
  EXPECT_NE(Fetch(base + "/page").curl_code, CURLE_OK);  // no longer accepting

  // The connection that was already open may still ask, and is then closed.
  ASSERT_TRUE(idle.Send("GET /release HTTP/1.1\r\nHost: t\r\n\r\n"));
  std::string last = idle.ReadUntilClose();
  EXPECT_NE(last.find("Connection: close"), std::string::npos) << last;
  EXPECT_NE(last.find("open\n"), std::string::npos) << last;
  EXPECT_EQ(blocked.get().body, "released\n");
  EXPECT_EQ(exit_status.get(), 0);

  std::ifstream log(log_path);
  std::stringstream text;
  text << log.rdbuf();
  EXPECT_EQ(text.str(), "terminate 2\n");
  unlink(log_path);
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
      {{"--module", PROBE_MODULE, "--listen", "localhost"}, 2, "--listen wants"},
      {{"--module", PROBE_MODULE, "--threads", "0"}, 2, "--threads must be a number in 1..64"},
      {{"--module=" PROBE_MODULE, "--module", PROBE_MODULE}, 2, "--module given twice"},
      {{"--module", PROBE_MODULE, "--verbose"}, 2, "unknown option: --verbose"},
      {{"--module", PROBE_MODULE, "--threads", "2", "--thread-per-connection"}, 2,
       "exclude each other"},
      {{"--help"}, 0, "usage: isapi-server --module PATH"},
  };
  for (const Case& c : cases) {
    std::string output;
    EXPECT_EQ(RunServerToExit(c.args, &output), c.status) << output;
    EXPECT_NE(output.find(c.message), std::string::npos) << output;
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
  EXPECT_EQ(server.StopWith(SIGTERM), 0);

  std::ifstream log(log_path);
  std::string first, second, extra;
  std::getline(log, first);
  std::getline(log, second);
  EXPECT_FALSE(std::getline(log, extra));
  EXPECT_EQ(first.rfind("127.0.0.1 - - [", 0), 0u) << first;
  EXPECT_NE(first.find("] \"GET /page?x=1 HTTP/1.1\" 200 10"), std::string::npos) << first;
  EXPECT_NE(second.find("] \"GET /nothing HTTP/1.1\" 500 -"), std::string::npos) << second;
  unlink(log_path);
}

// Both models serve keep-alive and concurrent clients.
TEST(ServerThreading, PerConnectionServesKeepAliveAndConcurrentClients) {
  ServerProcess server({"--module", PROBE_MODULE, "--thread-per-connection"});
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
  // HEAD leaves no body to count, so that answer announces chunking.
  CurlAnswer head = Fetch(curl, url, {}, true);
  EXPECT_EQ(HeaderBlock(head), std::string(kModuleHeaderBlock) + "Transfer-Encoding: chunked\r\n\r\n");
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
