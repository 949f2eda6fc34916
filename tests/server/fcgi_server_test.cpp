// isapi-fcgi as a process, driven by a FastCGI client on its Unix socket:
// the answer format, malformed input, startup refusals and shutdown.
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "tests/server/fcgi_test_support.h"
#include "tests/server/probe_digest.h"
#include "tests/support/wait.h"

namespace {

using test_support::Child;
using fcgi_test::FcgiServer;
using fcgi_test::Params;
using fcgi_test::ReadFile;
using fcgi_test::Reply;
using fcgi_test::TempDir;

// A page with CRLFs, Shift_JIS bytes and a NUL, to catch any text handling.
const std::string kPage = std::string("<html>\r\n\x93\xe0\x95\x94 page\x00 end</html>\n", 29);

// The module's header block and the length isapi-fcgi adds to it; no
// Status line for a plain 200.
const char kPageHead[] =
    "Content-type: text/html\r\n"
    "Cache-Control: no-cache\r\n"
    "Pragma: no-cache\r\n"
    "TrResult: -1\r\n"
    "Content-Length: 29\r\n"
    "\r\n";

const Params kGet = {{"REQUEST_METHOD", "GET"},     {"REQUEST_URI", "/orvanehp.dll"},
                     {"SCRIPT_NAME", "/orvanehp.dll"}, {"SERVER_PROTOCOL", "HTTP/1.0"},
                     {"REMOTE_ADDR", "127.0.0.1"},  {"SERVER_PORT", "80"}};

TEST(FcgiServerTest, AnswersWithStatusLineHeaderBlockAndPageBytes) {
  FcgiServer server(ORVANEHP_PATH, kPage);
  Reply reply = server.Send(fcgi_test::ResponderRequest(kGet));
  EXPECT_EQ(reply.out, kPageHead + kPage);
  EXPECT_TRUE(reply.ended);
  EXPECT_EQ(reply.protocol_status, 0);
  EXPECT_TRUE(reply.closed);
  EXPECT_FALSE(reply.malformed);

  Params head = kGet;
  head[0].second = "HEAD";
  EXPECT_EQ(server.Send(fcgi_test::ResponderRequest(head)).out, kPageHead)
      << "HEAD gets the headers of GET, Content-Length included";
}

TEST(FcgiServerTest, ConcurrentClientsAllGetTheirAnswers) {
  FcgiServer server(ORVANEHP_PATH, kPage);
  const std::string request = fcgi_test::ResponderRequest(kGet);
  std::atomic<int> good{0};
  std::vector<std::thread> clients;
  for (int c = 0; c < 8; ++c) {
    clients.emplace_back([&] {
      for (int i = 0; i < 25; ++i) {
        Reply reply = server.Send(request);
        if (reply.out == kPageHead + kPage && reply.ended && !reply.malformed) ++good;
      }
    });
  }
  for (std::thread& client : clients) client.join();
  EXPECT_EQ(good.load(), 200);
}

// The probe module picks its behaviour by PATH_INFO.
Params ProbeRequest(const char* path_info, Params extra = {}) {
  Params params = {{"REQUEST_METHOD", "GET"}, {"SCRIPT_NAME", "/p/probe.dll"},
                   {"PATH_INFO", path_info}, {"SERVER_PROTOCOL", "HTTP/1.1"}};
  params.insert(params.end(), extra.begin(), extra.end());
  return params;
}

TEST(FcgiServerTest, ModuleGetsTheWholeBody) {
  FcgiServer server(PROBE_MODULE_PATH, kPage);
  std::string body(200000, 'x');
  body[0] = '\0';
  Reply reply = server.Send(fcgi_test::ResponderRequest(ProbeRequest("/echo"), body));
  ASSERT_TRUE(reply.ended);
  ASSERT_GE(reply.out.size(), body.size());
  EXPECT_EQ(reply.out.substr(reply.out.size() - body.size()), body);
}

TEST(FcgiServerTest, BodiesReachTheModuleInItsWindowAndByReadClientUpToTheLimit) {
  constexpr size_t kWindow = 48 * 1024;
  constexpr size_t kMaxBody = 300000;
  FcgiServer server(PROBE_MODULE_PATH, kPage, {"--max-request-body", std::to_string(kMaxBody)});
  const char kOk[] = "Content-Type: text/plain\r\n";  // the module's 200, without Status
  const struct {
    size_t size;
    const char* status;  // the answer's first line
  } cases[] = {
      {0, kOk},        {kWindow - 1, kOk}, {kWindow, kOk},
      {kWindow + 1, kOk}, {kMaxBody, kOk},    {kMaxBody + 1, "Status: 413 Content Too Large\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.size);
    std::string body(c.size, '\0');
    for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(i * 7 % 251);
    Reply reply = server.Send(fcgi_test::ResponderRequest(ProbeRequest("/digest"), body));
    ASSERT_TRUE(reply.ended);
    EXPECT_EQ(reply.out.compare(0, strlen(c.status), c.status), 0) << reply.out;
    if (c.size <= kMaxBody) {
      std::string digest = probe::DigestOf(body, false);
      EXPECT_EQ(reply.out.substr(reply.out.size() - std::min(reply.out.size(), digest.size())),
                digest);
    }
  }
}

TEST(FcgiServerTest, ModuleThatSendsNothingGives500) {
  FcgiServer server(PROBE_MODULE_PATH, kPage);
  Reply reply = server.Send(fcgi_test::ResponderRequest(ProbeRequest("/nothing")));
  EXPECT_EQ(reply.out.rfind("Status: 500 ", 0), 0u) << reply.out;
  ASSERT_NE(reply.out.find("\r\n\r\n"), std::string::npos) << reply.out;
  EXPECT_EQ(reply.out.substr(reply.out.find("\r\n\r\n") + 4), "");
  EXPECT_TRUE(reply.ended);
}

TEST(FcgiServerTest, GetAndHeadCarryOneContentLengthThatOfTheBody) {
  FcgiServer server(PROBE_MODULE_PATH, kPage);
  // The module's own length (/page), and answers it leaves unframed:
  // several writes, many writes, a status of its own.
  for (const char* path : {"/page", "/stream", "/big", "/status-only", "/chunked"}) {
    std::string get = server.Send(fcgi_test::ResponderRequest(ProbeRequest(path))).out;
    Params head_params = ProbeRequest(path);
    head_params[0].second = "HEAD";
    std::string head = server.Send(fcgi_test::ResponderRequest(head_params)).out;
    size_t end = get.find("\r\n\r\n");
    ASSERT_NE(end, std::string::npos) << path << ": " << get;
    std::string length = "\r\nContent-Length: " + std::to_string(get.size() - end - 4) + "\r\n";
    // The line may be the first: a plain 200 has no Status line before it.
    EXPECT_NE(("\r\n" + get.substr(0, end + 2)).find(length), std::string::npos)
        << path << ": " << get;
    EXPECT_EQ(get.find("Content-Length:"), get.rfind("Content-Length:")) << path;
    EXPECT_EQ(head, get.substr(0, end + 4)) << path;
  }
}

TEST(FcgiServerTest, StreamedAnswerCutShortEndsWithoutEndRecord) {
  FcgiServer server(PROBE_MODULE_PATH, kPage, {"--hold-limit", "0"});
  for (const char* path : {"/short", "/chunked-unended"}) {
    Reply reply = server.Send(fcgi_test::ResponderRequest(ProbeRequest(path)));
    EXPECT_FALSE(reply.ended) << path;
    EXPECT_TRUE(reply.closed) << path;
  }
  // The answer after it is whole again.
  EXPECT_TRUE(server.Send(fcgi_test::ResponderRequest(ProbeRequest("/page"))).ended);
}

struct MalformedCase {
  const char* label;
  std::string bytes;
  const char* status;   // the first line expected, or nullptr: no answer
  int protocol_status;  // of the END_REQUEST expected, or -1: none
};

std::string Padded(std::string record, uint8_t padding) {
  record[6] = static_cast<char>(padding);
  return record + std::string(padding, '\0');
}

TEST(FcgiServerTest, MalformedInputGetsADefinedOutcomeAndServingGoesOn) {
  const uint8_t kAbort = 2, kParams = 4, kStdin = 5;
  const int kComplete = 0, kUnknownRole = 3;
  std::string huge_name(200, 'N');
  std::string lying_lengths = fcgi_test::Record(kParams, 1, std::string("\x7f\x7f" "AB", 4));
  Params no_method = {{"REQUEST_URI", "/x"}};
  std::string padded_get =
      Padded(fcgi_test::BeginRequest(1), 8) +
      Padded(fcgi_test::Record(kParams, 1, fcgi_test::EncodeParams(kGet)), 3) +
      Padded(fcgi_test::Record(kParams, 1, ""), 5) + Padded(fcgi_test::Record(kStdin, 1, ""), 1);
  Params big_params = kGet;
  big_params.push_back({"HTTP_COOKIE", std::string(64 * 1024, 'c')});
  const MalformedCase cases[] = {
      {"HTTP instead of FastCGI", "GET / HTTP/1.0\r\nHost: x\r\n\r\n", nullptr, -1},
      {"truncated record header", std::string("\x01\x01\x00", 3), nullptr, -1},
      {"nothing at all", "", nullptr, -1},
      {"wrong protocol version", std::string("\x02\x01\x00\x01\x00\x08\x00\x00", 8) +
                                     std::string(8, '\0'),
       nullptr, -1},
      {"name-value lengths past the record",
       fcgi_test::BeginRequest(1) + lying_lengths + fcgi_test::Record(kParams, 1, ""), nullptr,
       -1},
      {"stdin before params end", fcgi_test::BeginRequest(1) + fcgi_test::Record(kStdin, 1, "x"),
       nullptr, -1},
      {"unknown role", fcgi_test::BeginRequest(1, 9) + fcgi_test::Record(kParams, 1, ""), nullptr,
       kUnknownRole},
      {"authorizer role", fcgi_test::BeginRequest(1, 2) + fcgi_test::Record(kParams, 1, "") +
                              fcgi_test::Record(kStdin, 1, ""),
       nullptr, kUnknownRole},
      {"aborted while sending parameters",
       fcgi_test::BeginRequest(1) + fcgi_test::Record(kAbort, 1, ""), nullptr, kComplete},
      {"aborted while sending the body",
       fcgi_test::BeginRequest(1) + fcgi_test::Record(kParams, 1, fcgi_test::EncodeParams(kGet)) +
           fcgi_test::Record(kParams, 1, "") +
           fcgi_test::Record(kStdin, 1, std::string(60000, 'b')) +
           fcgi_test::Record(kStdin, 1, std::string(60000, 'b')) + fcgi_test::Record(kAbort, 1, ""),
       nullptr, kComplete},
      // The module's write fails: the answer is cut off unsent.
      {"aborted while the module runs",
       fcgi_test::ResponderRequest(kGet) + fcgi_test::Record(kAbort, 1, ""), nullptr, -1},
      {"no REQUEST_METHOD", fcgi_test::ResponderRequest(no_method), "Status: 400 Bad Request\r\n",
       kComplete},
      {"body over the limit", fcgi_test::ResponderRequest(kGet, std::string(17 << 20, 'b')),
       "Status: 413 Content Too Large\r\n", kComplete},
      {"parameter block over 64 KiB", fcgi_test::ResponderRequest(big_params),
       "Status: 431 Request Header Fields Too Large\r\n", kComplete},
      {"long parameter name",
       fcgi_test::ResponderRequest({{"REQUEST_METHOD", "GET"}, {huge_name, "v"}}),
       "Content-type: text/html\r\n", kComplete},
      {"padding on every record", padded_get, "Content-type: text/html\r\n", kComplete},
  };
  FcgiServer server(ORVANEHP_PATH, kPage, {"--max-request-body", std::to_string(16 << 20)});
  for (const MalformedCase& c : cases) {
    Reply reply = server.Send(c.bytes);
    EXPECT_TRUE(reply.closed) << c.label;
    EXPECT_FALSE(reply.malformed) << c.label;
    EXPECT_EQ(reply.protocol_status, c.protocol_status) << c.label;
    if (c.status == nullptr) {
      EXPECT_EQ(reply.out, "") << c.label;
    } else {
      EXPECT_EQ(reply.out.substr(0, strlen(c.status)), c.status) << c.label;
    }
    ASSERT_EQ(server.Send(fcgi_test::ResponderRequest(kGet)).out, kPageHead + kPage)
        << "after " << c.label;
  }
}

// A request with FCGI_KEEP_CONN set.
std::string KeptRequest(const Params& params) {
  std::string request = fcgi_test::ResponderRequest(params);
  request[10] = 1;  // BEGIN_REQUEST's flags
  return request;
}

// FCGI_KEEP_CONN keeps the connection for the next request; a request
// without it ends the connection after its answer.
TEST(FcgiServerTest, KeptConnectionsServeRequestAfterRequest) {
  const struct {
    const char* label;
    std::vector<std::vector<bool>> sends;  // keep flags of the requests sent at once
  } cases[] = {
      {"one kept, then one not", {{true}, {false}}},
      {"three kept, then one not", {{true}, {true}, {true}, {false}}},
      {"two kept in one write, then one not", {{true, true}, {false}}},
      {"kept, then kept and not in one write", {{true}, {true, false}}},
  };
  FcgiServer server(PROBE_MODULE_PATH, kPage);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    int fd = fcgi_test::ConnectUnix(server.socket_path());
    ASSERT_GE(fd, 0);
    for (const std::vector<bool>& keeps : c.sends) {
      std::string bytes;
      for (bool keep : keeps) {
        Params params = ProbeRequest("/page");
        bytes += keep ? KeptRequest(params) : fcgi_test::ResponderRequest(params);
      }
      ASSERT_TRUE(fcgi_test::SendAll(fd, bytes));
      Reply reply = fcgi_test::ReadReplies(fd, static_cast<int>(keeps.size()));
      EXPECT_EQ(reply.ends, static_cast<int>(keeps.size()));
      EXPECT_EQ(reply.closed, false);
      EXPECT_NE(reply.out.find("page body\n"), std::string::npos);
    }
    bool closed = false;
    EXPECT_EQ(fcgi_test::ReadUntilClosed(fd, &closed), "");
    EXPECT_TRUE(closed) << "the last request did not keep the connection";
    close(fd);
  }
}

// Kept connections wait for no thread: while one thread is held in the
// module, the next requests on every kept connection are answered by the
// other.
TEST(FcgiServerTest, IdleKeptConnectionsNeverWaitForABusyThread) {
  FcgiServer server(PROBE_MODULE_PATH, kPage);  // two threads
  std::vector<int> kept;
  for (int i = 0; i < 8; ++i) {
    int fd = fcgi_test::ConnectUnix(server.socket_path());
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(fcgi_test::SendAll(fd, KeptRequest(ProbeRequest("/page"))));
    ASSERT_TRUE(fcgi_test::ReadReplies(fd).ended);
    kept.push_back(fd);
  }
  int blocked = fcgi_test::ConnectUnix(server.socket_path());
  ASSERT_GE(blocked, 0);
  ASSERT_TRUE(fcgi_test::SendAll(blocked, fcgi_test::ResponderRequest(ProbeRequest("/block"))));
  for (int fd : kept) {
    ASSERT_TRUE(fcgi_test::SendAll(fd, KeptRequest(ProbeRequest("/page"))));
  }
  for (int fd : kept) {
    Reply reply = fcgi_test::ReadReplies(fd);
    EXPECT_NE(reply.out.find("page body\n"), std::string::npos);
  }
  EXPECT_NE(server.Send(fcgi_test::ResponderRequest(ProbeRequest("/release"))).out.find("open"),
            std::string::npos);
  bool closed = false;
  EXPECT_NE(fcgi_test::ReadUntilClosed(blocked, &closed).find("released"), std::string::npos);
  close(blocked);
  for (int fd : kept) close(fd);
}

TEST(FcgiServerTest, KeptConnectionLeftIdleIsClosedAfterTheIdleTimeout) {
  FcgiServer server(PROBE_MODULE_PATH, kPage, {"--idle-timeout", "1"});
  int fd = fcgi_test::ConnectUnix(server.socket_path());
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(fcgi_test::SendAll(fd, KeptRequest(ProbeRequest("/page"))));
  ASSERT_TRUE(fcgi_test::ReadReplies(fd).ended);
  bool closed = false;
  EXPECT_EQ(fcgi_test::ReadUntilClosed(fd, &closed), "");
  EXPECT_TRUE(closed);
  close(fd);
}

TEST(FcgiServerTest, ManagementRecordsAreAnsweredOnTheirOwn) {
  const uint8_t kGetValues = 9, kGetValuesResult = 10, kUnknownType = 11;
  FcgiServer server(ORVANEHP_PATH, kPage);
  std::string ask = fcgi_test::EncodeParams({{"FCGI_MPXS_CONNS", ""}});
  Reply reply = server.Send(fcgi_test::Record(kGetValues, 0, ask) +
                            fcgi_test::Record(0x42, 0, "whatever"));
  EXPECT_TRUE(reply.closed);
  EXPECT_EQ(reply.management,
            fcgi_test::Record(kGetValuesResult, 0,
                              fcgi_test::EncodeParams({{"FCGI_MPXS_CONNS", "0"}})) +
                fcgi_test::Record(kUnknownType, 0, std::string("\x42\0\0\0\0\0\0\0", 8)));
  EXPECT_FALSE(reply.ended);
}

TEST(FcgiServerTest, SilentClientsDoNotHoldUpOthersAndAreClosedAtTheirDeadline) {
  FcgiServer server(ORVANEHP_PATH, kPage, {"--request-timeout", "1"});
  // More silent peers than workers: nothing at all, half a record header,
  // half a parameter record.
  std::string half_params = fcgi_test::BeginRequest(1) + fcgi_test::Record(4, 1, "\x0e\x03REQ");
  half_params.resize(half_params.size() - 2);
  std::vector<int> silent;
  for (int i = 0; i < 8; ++i) {
    int fd = fcgi_test::ConnectUnix(server.socket_path());
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(fcgi_test::SendAll(fd, i % 3 == 0 ? "" : i % 3 == 1 ? "\x01\x01" : half_params));
    silent.push_back(fd);
  }
  EXPECT_EQ(server.Send(fcgi_test::ResponderRequest(kGet)).out, kPageHead + kPage);
  for (int fd : silent) {
    bool closed = false;
    EXPECT_EQ(fcgi_test::ReadUntilClosed(fd, &closed), "");
    EXPECT_TRUE(closed) << "a silent peer outlived its deadline";
    close(fd);
  }
}

// Web servers that do not read long answers hold no thread: with more of
// them than threads, the next request is answered while their answers
// wait. Each gets its answer whole when it reads, or loses its connection
// once it has taken nothing for the request timeout.
TEST(FcgiServerTest, PeersThatDoNotReadTheirAnswersHoldNoThread) {
  const size_t kAnswer = 16 * 1024 * 1024;  // more than the socket buffers hold
  const struct {
    const char* name;
    const char* request_timeout;
    bool dropped;
  } cases[] = {
      {"read later", "30", false},
      {"never read", "1", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FcgiServer server(PROBE_MODULE_PATH, kPage, {"--request-timeout", c.request_timeout});
    std::vector<int> stalled;
    for (int i = 0; i < 3; ++i) {  // the server has two threads
      int fd = fcgi_test::ConnectUnix(server.socket_path());
      ASSERT_GE(fd, 0);
      ASSERT_TRUE(fcgi_test::SendAll(
          fd, fcgi_test::ResponderRequest(ProbeRequest(
                  "/big", {{"QUERY_STRING", std::to_string(kAnswer / 1024)}}))));
      stalled.push_back(fd);
    }
    EXPECT_TRUE(server.Send(fcgi_test::ResponderRequest(ProbeRequest("/page"))).ended);
    for (int fd : stalled) {
      if (c.dropped) {
        pollfd closed = {fd, POLLRDHUP, 0};
        ASSERT_EQ(poll(&closed, 1, static_cast<int>(fcgi_test::kWait.count())), 1);
      }
      bool peer_closed = false;
      std::string bytes = fcgi_test::ReadUntilClosed(fd, &peer_closed);
      close(fd);
      EXPECT_TRUE(peer_closed);
      Reply reply = fcgi_test::ParseReply(bytes, peer_closed);
      EXPECT_EQ(reply.ended, !c.dropped);
      EXPECT_EQ(reply.out.size() > kAnswer, !c.dropped) << reply.out.size();
    }
  }
}

// The web server sees the crashed request's connection end unanswered; the
// master logs the request line and a new worker serves.
TEST(FcgiServerTest, AWorkerThatCrashesIsReplacedAndItsRequestLineLogged) {
  FcgiServer server(PROBE_MODULE_PATH, kPage);
  Reply crashed = server.Send(fcgi_test::ResponderRequest(ProbeRequest("/crash")));
  EXPECT_FALSE(crashed.ended);
  EXPECT_TRUE(crashed.closed);
  EXPECT_TRUE(server.WaitForLog("died of signal 11 (Segmentation fault) with 1 request in the "
                                "module:\nisapi-fcgi:   GET /p/probe.dll/crash HTTP/1.1\n"))
      << server.log();
  EXPECT_TRUE(server.Send(fcgi_test::ResponderRequest(ProbeRequest("/page"))).ended);
}

TEST(FcgiServerTest, ServesOnAListeningSocketInheritedAsStandardInput) {
  TempDir dir;
  std::string socket_path = dir.path() + "/inherited.sock";
  int listener = fcgi_test::ListenUnix(socket_path);
  ASSERT_GE(listener, 0);
  dir.Write("data/dremgate_j.ini",
            "[Template]\r\nerr=" + dir.path() + "\\template\\dremerror.html\r\n");
  dir.Write("help/nohp.html", kPage);
  Child child(fcgi_test::FcgiCommand({"--module", ORVANEHP_PATH}), {"ORVANE_INSDIR=" + dir.path()},
              dir.path() + "/log", {{listener, 0}});
  close(listener);
  // Told once, by the master, when its worker serves.
  std::string ready = "listening on unix:" + socket_path + "\n";
  EXPECT_TRUE(test_support::WaitForWrites(dir.path(), fcgi_test::kWait, [&] {
    return ReadFile(dir.path() + "/log").find(ready) != std::string::npos;
  })) << ReadFile(dir.path() + "/log");
  EXPECT_EQ(fcgi_test::Exchange(socket_path, fcgi_test::ResponderRequest(kGet)).out,
            kPageHead + kPage);
  child.Signal(SIGTERM);
  EXPECT_EQ(child.WaitExit(), 0);
  std::string log = ReadFile(dir.path() + "/log");
  EXPECT_EQ(log.find(ready), log.rfind(ready)) << log;

  // Without --socket, standard input that is not a listening socket is refused.
  int pipe_ends[2];
  ASSERT_EQ(pipe(pipe_ends), 0);
  Child refused(fcgi_test::FcgiCommand({"--module", ORVANEHP_PATH}), {},
                dir.path() + "/refused.log", {{pipe_ends[0], 0}});
  EXPECT_EQ(refused.WaitExit(), 2);
  EXPECT_NE(ReadFile(dir.path() + "/refused.log").find("standard input is not a listening"),
            std::string::npos);
  close(pipe_ends[0]);
  close(pipe_ends[1]);
}

TEST(FcgiServerTest, SigtermFinishesTheRequestInProgressThenEndsTheModuleOnce) {
  FcgiServer server(PROBE_MODULE_PATH, kPage);
  int fd = fcgi_test::ConnectUnix(server.socket_path());
  ASSERT_GE(fd, 0);
  // Everything but the end of the body, then a management record: its
  // answer shows that the server has read the request so far.
  std::string request = fcgi_test::ResponderRequest(ProbeRequest("/echo"), "late");
  std::string stdin_end = fcgi_test::Record(5, 1, "");
  std::string get_values = fcgi_test::Record(9, 0, "");
  ASSERT_TRUE(fcgi_test::SendAll(
      fd, request.substr(0, request.size() - stdin_end.size()) + get_values));
  char answer[8];
  ASSERT_EQ(recv(fd, answer, sizeof answer, MSG_WAITALL), 8);

  server.child().Signal(SIGTERM);
  ASSERT_TRUE(server.WaitForLog("finishing requests in progress")) << server.log();
  EXPECT_EQ(server.child().WaitExit(std::chrono::milliseconds(0)), -1)
      << "exited with a request in progress";
  ASSERT_TRUE(fcgi_test::SendAll(fd, stdin_end));
  bool closed = false;
  std::string bytes = fcgi_test::ReadUntilClosed(fd, &closed);
  close(fd);
  Reply reply = fcgi_test::ParseReply(bytes, closed);
  EXPECT_TRUE(reply.ended);
  ASSERT_GE(reply.out.size(), 8u) << reply.out;
  EXPECT_EQ(reply.out.substr(reply.out.size() - 8), "\r\n\r\nlate") << reply.out;

  EXPECT_EQ(server.child().WaitExit(), 0) << server.log();
  EXPECT_EQ(server.terminate_log(), "terminate 2\n");
  struct stat ignored;
  EXPECT_NE(lstat(server.socket_path().c_str(), &ignored), 0) << "socket file left behind";
}

TEST(FcgiServerTest, SigintWhileIdleExitsZero) {
  FcgiServer server(ORVANEHP_PATH, kPage);
  ASSERT_TRUE(server.Send(fcgi_test::ResponderRequest(kGet)).ended);
  server.child().Signal(SIGINT);
  EXPECT_EQ(server.child().WaitExit(), 0) << server.log();
}

TEST(FcgiServerTest, RefusesToStartOverAnotherFileOrALiveServer) {
  TempDir dir;
  dir.Write("not-a-socket", "keep me");
  std::string file = dir.path() + "/not-a-socket";
  Child over_file(
      fcgi_test::FcgiCommand({"--module", ORVANEHP_PATH, "--socket", "unix:" + file}), {},
      dir.path() + "/1.log");
  EXPECT_EQ(over_file.WaitExit(), 1);
  EXPECT_EQ(ReadFile(file), "keep me");

  FcgiServer live(ORVANEHP_PATH, kPage);
  ASSERT_TRUE(live.Send(fcgi_test::ResponderRequest(kGet)).ended);
  Child second(fcgi_test::FcgiCommand(
                   {"--module", ORVANEHP_PATH, "--socket", "unix:" + live.socket_path()}),
               {}, dir.path() + "/2.log");
  EXPECT_EQ(second.WaitExit(), 1);
  EXPECT_TRUE(live.Send(fcgi_test::ResponderRequest(kGet)).ended);
}

TEST(FcgiServerTest, ModuleThatCannotBeLoadedEndsStartupWithoutLeavingTheSocket) {
  TempDir dir;
  std::string socket_path = dir.path() + "/s.sock";
  Child child(fcgi_test::FcgiCommand({"--module", dir.path() + "/missing.so", "--socket",
               "unix:" + socket_path}),
              {}, dir.path() + "/log");
  EXPECT_EQ(child.WaitExit(), 1);
  struct stat ignored;
  EXPECT_NE(lstat(socket_path.c_str(), &ignored), 0);
  EXPECT_NE(ReadFile(dir.path() + "/log").find("missing.so"), std::string::npos);
}

TEST(FcgiServerTest, CommandLineOutcomes) {
  TempDir dir;
  const struct {
    std::vector<std::string> args;
    int status;
    const char* message;
  } cases[] = {
      // Without --socket, standard input (here a file) must be a listening socket.
      {{"--module", ORVANEHP_PATH}, 2, "usage: isapi-fcgi"},
      {{"--help"}, 0, "usage: isapi-fcgi --module PATH"},
      {{"--version"}, 0, "isapi-fcgi " ORVANE_VERSION "\n"},
      {{"--module", ORVANEHP_PATH, "--socket", "192.0.2.1:9000"}, 1,
       "cannot listen on 192.0.2.1:9000: "},
      {{"--module", ORVANEHP_PATH, "--socket", "unix:" + dir.path() + "/g.sock",
        "--socket-group", "no-such-group."},
       1, "--socket-group: no group no-such-group."},
  };
  int run = 0;
  for (const auto& c : cases) {
    std::string log = dir.path() + "/" + std::to_string(++run) + ".log";
    Child child(fcgi_test::FcgiCommand(c.args), {}, log);
    EXPECT_EQ(child.WaitExit(), c.status) << c.args[0];
    EXPECT_NE(ReadFile(log).find(c.message), std::string::npos) << ReadFile(log);
  }
}

TEST(FcgiServerTest, RefusesToRunTheModuleAsRootUnlessAllowed) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  TempDir dir;
  Child child({ISAPI_FCGI_PATH, "--module", ORVANEHP_PATH, "--socket",
               "unix:" + dir.path() + "/s.sock"},
              {}, dir.path() + "/log");
  EXPECT_EQ(child.WaitExit(), 2);
  EXPECT_NE(ReadFile(dir.path() + "/log").find("refusing to run the module as root"),
            std::string::npos);
}

// As php-fpm's listen.mode and listen.group: the socket is the web server's
// group's before anyone can connect.
TEST(FcgiServerTest, SocketGetsTheModeAndGroupAsked) {
  std::string group = std::to_string(getegid());
  FcgiServer server(ORVANEHP_PATH, kPage, {"--socket-mode", "0604", "--socket-group", group});
  struct stat info;
  ASSERT_EQ(lstat(server.socket_path().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0604u);
  EXPECT_EQ(info.st_gid, getegid());
  EXPECT_TRUE(server.Send(fcgi_test::ResponderRequest(kGet)).ended);
}

}  // namespace
