// The host core in-process, with a recording ResponseSink: the answer rule
// (docs/linux.md, "One answer on every host"), HEAD, the answer after
// TerminateExtension and the Win32 errors of the callbacks. The probe
// module (probe_module.cpp) plays the module that misbehaves.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <utility>

#include "server/core/chunk_decoder.h"
#include "server/core/host_core.h"
#include "tests/server/probe_digest.h"
#include "tests/support/temp_dir.h"

namespace {

// Writes down every call the core makes, as text.
class RecordingSink : public isapi::ResponseSink {
 public:
  explicit RecordingSink(bool accept_writes = true) : accept_writes_(accept_writes) {}

  bool SendHead(const isapi::ResponseHead& head) override {
    static const char* const kFraming[] = {"module-length", "held-length", "unknown"};
    head_ = head.status_text + " " + kFraming[static_cast<int>(head.framing)];
    if (head.framing != isapi::Framing::kFrontEnd) {
      head_ += " " + std::to_string(head.content_length);
    }
    if (!head.keep_conn) head_ += " close";
    if (head.replaces_module_answer) head_ += " in-place-of-the-module's";
    head_ += "\n" + head.header_block;
    has_body_ = head.has_body;
    return true;
  }
  bool WriteBody(const void* data, size_t size) override {
    EXPECT_TRUE(has_body_) << head_;
    EXPECT_GT(size, 0u);
    ++writes_;
    if (accept_writes_) body_.append(static_cast<const char*>(data), size);
    return accept_writes_;
  }
  void Finish(bool complete) override {
    EXPECT_EQ(finished_, -1) << "Finish twice";
    finished_ = complete;
  }
  bool ClientKeepsAlive() override { return true; }

  std::string head_;
  std::string body_;
  int writes_ = 0;
  int finished_ = -1;
  bool has_body_ = false;

 private:
  bool accept_writes_;
};

isapi::Request ProbeRequest(const std::string& target, const std::string& method = "GET") {
  isapi::Request request;
  request.method = method;
  request.target = target;
  size_t query = target.find('?');
  request.path = target.substr(0, query);
  if (query != std::string::npos) request.query = target.substr(query + 1);
  request.protocol = "HTTP/1.1";
  return request;
}

class HostCoreTest : public testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    module_ = isapi::Module::Load(PROBE_MODULE, &error);
    ASSERT_NE(module_, nullptr) << error;
  }

  std::unique_ptr<isapi::Module> module_;
};

std::string ReadFile(const std::string& path) {
  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

constexpr uint64_t kDefault = isapi::kDefaultHoldLimit;

// The answer rule, one row per module behaviour. `writes` tells a held
// answer (one write, or one per kBodyWindow bytes beyond that) from a
// streamed one.
TEST_F(HostCoreTest, EachModuleAnswerBecomesOneDefinedResult) {
  const std::string bare_500 = "500 Internal Server Error held-length 0 in-place-of-the-module's\n";
  const struct {
    const char* path;
    const char* method;
    uint64_t hold_limit;
    std::string head;  // status, framing, length, then the header block
    std::string body;
    int writes;
    bool complete;
  } cases[] = {
      {"/page", "GET", kDefault,
       "200 OK module-length 10\nContent-Type: text/plain\r\nContent-Length: 10\r\n",
       "page body\n", 1, true},
      {"/page", "HEAD", kDefault,
       "200 OK module-length 10\nContent-Type: text/plain\r\nContent-Length: 10\r\n", "", 0,
       true},
      // No length from the module: held whole and measured, for HEAD too.
      {"/stream", "GET", kDefault, "200 OK held-length 14\nContent-Type: text/plain\r\n",
       "one two three\n", 1, true},
      {"/stream", "HEAD", kDefault, "200 OK held-length 14\nContent-Type: text/plain\r\n", "",
       0, true},
      // Held beyond the memory window: the rest waited in a file.
      {"/big?200", "GET", kDefault,
       "200 OK held-length 204800\nContent-Type: application/octet-stream\r\n",
       std::string(204800, 'b'), 5, true},
      // Past the hold limit it streams: the held bytes, then each write.
      {"/stream", "GET", 5, "200 OK unknown\nContent-Type: text/plain\r\n", "one two three\n",
       3, true},
      {"/status-only", "GET", kDefault, "404 Not Found held-length 7\n", "missing", 1, true},
      {"/answer?500%20Internal%20Server%20Error", "GET", kDefault,
       "500 Internal Server Error held-length 12\n", "twelve bytes", 1, true},
      // No body and no length for 204 and 304, whatever the module wrote.
      {"/answer?204%20No%20Content", "GET", kDefault, "204 No Content unknown\n", "", 0, true},
      {"/ex-close", "GET", kDefault, "201 Created module-length 2 close\nContent-Length: 2\r\n",
       "ok", 1, true},
      // The module's chunks are decoded and its Transfer-Encoding line goes.
      {"/chunked", "GET", kDefault, "200 OK held-length 11\n", "hello world", 1, true},
      {"/chunked", "HEAD", kDefault, "200 OK held-length 11\n", "", 0, true},
      {"/chunked", "GET", 0, "200 OK unknown\n", "hello world", 3, true},
      // No header, a bad header, a short body or bad chunking, held: 500.
      {"/nothing", "GET", kDefault, bare_500, "", 0, true},
      {"/bad-header", "GET", kDefault, bare_500, "", 0, true},
      {"/bad-status", "GET", kDefault, bare_500, "", 0, true},
      {"/short", "GET", kDefault, bare_500, "", 0, true},
      {"/short", "HEAD", kDefault, bare_500, "", 0, true},
      {"/chunked-bad", "GET", kDefault, bare_500, "", 0, true},
      {"/chunked-unended", "GET", kDefault, bare_500, "", 0, true},
      {"/long-short", "GET", kDefault, bare_500, "", 0, true},
      // The same, streamed: the head is out, so the answer is cut short.
      {"/short", "GET", 0, "200 OK module-length 100\nContent-Length: 100\r\n", "0123456789",
       1, false},
      {"/chunked-bad", "GET", 0, "200 OK unknown\n", "hello", 1, false},
      {"/chunked-unended", "GET", 0, "200 OK unknown\n", "hello", 1, false},
      // The 65 writes held go in two pieces, memory's and the rest.
      {"/long-short", "GET", 65536, "200 OK module-length 300000\nContent-Length: 300000\r\n",
       std::string(200000, 'l'), 2 + 200 - 65, false},
      {"/long-chunked-unended", "GET", 65536, "200 OK unknown\n", std::string(200000, 'c'),
       2 + 200 - 65, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.method) + " " + c.path + " hold " + std::to_string(c.hold_limit));
    module_->set_hold_limit(c.hold_limit);
    RecordingSink sink;
    isapi::ServeResult result = module_->Serve(ProbeRequest(c.path, c.method), &sink);
    EXPECT_EQ(sink.head_, c.head);
    EXPECT_EQ(sink.body_, c.body);
    EXPECT_EQ(sink.writes_, c.writes);
    EXPECT_EQ(sink.finished_, c.complete);
    EXPECT_EQ(result.status, std::stoi(c.head));
    EXPECT_EQ(result.body_bytes, c.body.size());
  }
}

TEST_F(HostCoreTest, ClientGoneFailsTheModulesWritesAndTheAnswer) {
  module_->set_hold_limit(0);
  RecordingSink sink(false);
  isapi::ServeResult result = module_->Serve(ProbeRequest("/big"), &sink);
  // The probe stops at its first failed write.
  EXPECT_EQ(sink.writes_, 1);
  EXPECT_EQ(sink.finished_, 0);
  EXPECT_EQ(result.body_bytes, 0u);
}

TEST_F(HostCoreTest, HeldBodyFromOneWriteLeavesWholeInWindowSizedPieces) {
  isapi::Request request = ProbeRequest("/echo", "POST");
  request.body.assign(100000, 'e');
  request.body_length = request.body.size();
  RecordingSink sink;
  module_->Serve(request, &sink);
  EXPECT_EQ(sink.head_,
            "200 OK module-length 100000\nContent-Type: text/plain\r\nContent-Length: 100000\r\n");
  EXPECT_EQ(sink.body_, request.body);
  EXPECT_EQ(sink.writes_, 3);  // memory's 48 KiB, then the file's
}

TEST_F(HostCoreTest, HeldBodyWithNowhereToWaitBecomesA500) {
  const char* tmpdir = getenv("TMPDIR");
  std::string saved = tmpdir ? tmpdir : "";
  setenv("TMPDIR", "/nonexistent", 1);
  RecordingSink sink;
  isapi::ServeResult result = module_->Serve(ProbeRequest("/big?200"), &sink);
  if (tmpdir) setenv("TMPDIR", saved.c_str(), 1); else unsetenv("TMPDIR");
  EXPECT_EQ(sink.head_, "500 Internal Server Error held-length 0\n");
  EXPECT_EQ(sink.writes_, 0);
  EXPECT_EQ(sink.finished_, 1);
  EXPECT_EQ(result.status, 500);
}

// A body the front end streams: `text` in pieces of at most `piece` bytes,
// then the end, or the client leaving.
class ScriptedBody : public isapi::BodyReader {
 public:
  ScriptedBody(std::string text, size_t piece, bool client_leaves)
      : text_(std::move(text)), piece_(piece), client_leaves_(client_leaves) {}
  long Read(void* buffer, size_t size) override {
    EXPECT_FALSE(ended_) << "read after the end";
    size_t count = std::min({size, piece_, text_.size() - at_});
    if (count == 0) {
      ended_ = true;
      return client_leaves_ ? -1 : 0;
    }
    memcpy(buffer, text_.data() + at_, count);
    at_ += count;
    return static_cast<long>(count);
  }

 private:
  std::string text_;
  size_t piece_;
  bool client_leaves_;
  size_t at_ = 0;
  bool ended_ = false;
};

// The module gets the first 48 KiB in lpbData, from the front end's memory
// or read ahead from its reader, and the rest through ReadClient, which
// fails with ERROR_CONNECTION_ABORTED (1236) once the client has left.
TEST_F(HostCoreTest, BodyReachesTheModuleThroughItsWindowAndReadClient) {
  std::string body(100000, '\0');
  for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(i * 7 % 251);
  const struct {
    const char* label;
    size_t in_memory;    // bytes of Request::body; the rest comes from the reader
    bool reader;
    bool client_leaves;
    bool chunked;
    std::string digest;  // with total = 100000
  } cases[] = {
      {"all in memory", body.size(), false, false, false, probe::DigestOf(body, false)},
      {"all streamed", 0, true, false, false, probe::DigestOf(body, false)},
      {"some in memory", 10, true, false, false, probe::DigestOf(body, false)},
      {"streamed chunked", 0, true, false, true, probe::DigestOf(body, true)},
      {"client leaves after the window", 0, true, true, false,
       probe::DigestLine("100000", isapi::kBodyWindow, body, "FALSE 1236")},
  };
  for (const auto& c : cases) {
    isapi::Request request = ProbeRequest("/digest", "POST");
    request.body = body.substr(0, c.in_memory);
    ScriptedBody rest(body.substr(c.in_memory), 1000, c.client_leaves);
    if (c.reader) request.body_rest = &rest;
    request.body_length = body.size();
    request.body_length_unknown = c.chunked;
    RecordingSink sink;
    module_->Serve(request, &sink);
    EXPECT_EQ(sink.body_, c.digest) << c.label;
  }
  // The client leaves before the window is full: the module gets what came.
  std::string part = body.substr(0, 20000);
  isapi::Request request = ProbeRequest("/digest", "POST");
  ScriptedBody rest(part, 1000, true);
  request.body_rest = &rest;
  request.body_length = body.size();
  RecordingSink sink;
  module_->Serve(request, &sink);
  EXPECT_EQ(sink.body_, probe::DigestLine("100000", part.size(), part, "FALSE 1236"));
}

TEST_F(HostCoreTest, CallbacksAnswerMisuseWithWin32Errors) {
  RecordingSink sink;
  module_->Serve(ProbeRequest("/errors"), &sink);
  EXPECT_EQ(sink.body_,
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

TEST_F(HostCoreTest, AfterTerminateExtensionEveryAnswerIs503) {
  test_support::TempDir dir;
  std::string log = dir.path() + "/terminate.log";
  setenv("PROBE_TERMINATE_LOG", log.c_str(), 1);
  module_->Terminate();
  module_->Terminate();
  unsetenv("PROBE_TERMINATE_LOG");
  EXPECT_EQ(ReadFile(log), "terminate 2\n");
  for (const char* method : {"GET", "HEAD"}) {
    RecordingSink sink;
    isapi::ServeResult result = module_->Serve(ProbeRequest("/page", method), &sink);
    EXPECT_EQ(sink.head_, "503 Service Unavailable held-length 0 close\n");
    EXPECT_EQ(sink.finished_, 1);
    EXPECT_EQ(result.status, 503);
  }
}

// Every row fed whole and split in two at each position: the outcome must
// not depend on how the module cut its writes.
TEST(ChunkDecoderTest, DecodesWhateverTheWritesSplit) {
  const struct {
    std::string coded;
    std::string data;
    bool ok;
    bool done;
  } cases[] = {
      {"5\r\nhello\r\n0\r\n\r\n", "hello", true, true},
      {"5;name=value\r\nhello\r\n6\r\n world\r\n0\r\n\r\n", "hello world", true, true},
      {"A\r\n0123456789\r\n0\r\nX-Trailer: 1\r\n\r\n", "0123456789", true, true},
      {"000\r\n\r\n", "", true, true},
      {"5\r\nhello\r\n", "hello", true, false},
      {"5\r\nhel", "hel", true, false},
      {"5\r\nhello\r\n0\r\n\r\nmore", "hello", false, true},
      {"zz\r\nhello\r\n", "", false, false},
      {"\r\n", "", false, false},
      {"5\nhello\r\n", "", false, false},
      {"5\r\nhelloX\r\n", "hello", false, false},
      {"5\r\nhello\r\n0\r\n\n", "hello", false, false},
      {"1000000000000000\r\n", "", false, false},
      {"fffffffffffffff\r\n", "", true, false},
  };
  for (const auto& c : cases) {
    for (size_t split = 0; split <= c.coded.size(); ++split) {
      SCOPED_TRACE(testing::PrintToString(c.coded) + " split at " + std::to_string(split));
      isapi::ChunkDecoder decoder;
      std::string data;
      bool ok = decoder.Feed(std::string_view(c.coded).substr(0, split), &data);
      ok = decoder.Feed(std::string_view(c.coded).substr(split), &data) && ok;
      EXPECT_EQ(data, c.data);
      EXPECT_EQ(ok, c.ok);
      EXPECT_EQ(decoder.done(), c.done);
    }
  }
}

}  // namespace
