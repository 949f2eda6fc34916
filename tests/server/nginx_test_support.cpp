#include "tests/server/nginx_test_support.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <regex>
#include <stdexcept>

namespace nginx_test {
namespace {

// The descriptor numbers nginx finds its inherited sockets under.
constexpr int kListenFd = 3;
constexpr int kQuicFd = 4;

// nginx does not change an inherited socket, and its own listening sockets
// are non-blocking: blocking, a worker would wait in accept() whenever
// another worker took the connection first.
void MakeNonBlocking(const test_support::LoopbackListener& listener) {
  int flags = fcntl(listener.fd(), F_GETFL);
  if (flags < 0 || fcntl(listener.fd(), F_SETFL, flags | O_NONBLOCK) != 0) {
    throw std::runtime_error("cannot make the listening socket non-blocking");
  }
}

void ReplaceAll(std::string* text, const std::string& from, const std::string& to) {
  for (size_t at = text->find(from); at != std::string::npos; at = text->find(from, at)) {
    text->replace(at, from.size(), to);
  }
}

std::string ConfigText(const Config& config, const std::string& dir, uint16_t port,
                       uint16_t quic_port = 0) {
  std::string http = config.http;
  ReplaceAll(&http, "LISTEN", "127.0.0.1:" + std::to_string(port));
  ReplaceAll(&http, "QUIC_ADDRESS", "127.0.0.1:" + std::to_string(quic_port));
  // Workers of a root master would run as nobody, who cannot read the
  // tests' private directories, unless the test names the user.
  bool names_user = config.main.find("\nuser ") != std::string::npos;
  std::string user = geteuid() == 0 && !names_user ? "user root;\n" : "";
  return config.main + "\n" + user + "daemon off;\nworker_processes " + std::to_string(config.workers) +
         ";\npid " + dir + "/nginx.pid;\nerror_log " + dir + "/error.log notice;\n"
         "events { worker_connections " + std::to_string(config.connections) + "; }\n"
         "http {\n  access_log off;\n  server_tokens off;\n"
         "  client_body_temp_path " + dir + "/client_body;\n"
         "  fastcgi_temp_path " + dir + "/fastcgi;\n"
         "  proxy_temp_path " + dir + "/proxy;\n"
         "  uwsgi_temp_path " + dir + "/uwsgi;\n"
         "  scgi_temp_path " + dir + "/scgi;\n" + http + "\n}\n";
}

std::vector<std::string> Arguments(const std::string& nginx, const std::string& dir) {
  return {nginx, "-p", dir, "-c", dir + "/nginx.conf", "-e", dir + "/error.log"};
}

// The environment nginx runs with: `env`, and in a sanitizer build the
// sanitizer runtimes the module needs. Leaks are not checked there: nginx
// leaves its own memory to the exit.
std::vector<std::string> Environment(std::vector<std::string> env) {
#ifdef NGINX_PRELOAD
  env.push_back("LD_PRELOAD=" NGINX_PRELOAD);
  // Freed memory is poisoned, as MALLOC_PERTURB_ does without the
  // sanitizer, so that a late use of it fails.
  env.push_back("ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:"
                "max_free_fill_size=65536:free_fill_byte=85");
#endif
  return env;
}

}  // namespace

std::string FindNginx() {
  for (const char* candidate : {"/usr/sbin/nginx", "/usr/local/sbin/nginx"}) {
    if (access(candidate, X_OK) == 0) return candidate;
  }
  return "";
}

Nginx::Nginx(const std::string& nginx, const Config& config, const std::vector<std::string>& env) {
  MakeNonBlocking(listener_);
  std::vector<std::pair<int, int>> inherited = {{listener_.fd(), kListenFd}};
  std::vector<int> fds = {kListenFd};
  if (config.quic) {
    quic_listener_ = std::make_unique<test_support::LoopbackListener>(SOCK_DGRAM);
    MakeNonBlocking(*quic_listener_);
    inherited.emplace_back(quic_listener_->fd(), kQuicFd);
    fds.push_back(kQuicFd);
  }
  dir_.Write("nginx.conf", ConfigText(config, dir_.path(), listener_.port(), quic_port()));
  std::vector<std::string> environment = Environment(env);
  environment.push_back(test_support::NginxInheritedSocketEnv(fds));
  child_ = std::make_unique<test_support::Child>(Arguments(nginx, dir_.path()), environment,
                                              dir_.path() + "/stderr.log", inherited, true);
}

Nginx::~Nginx() { Quit(); }

int Nginx::Connect() const { return fcgi_test::ConnectTcp(listener_.port()); }

std::string Nginx::Exchange(const std::string& request) const {
  int fd = Connect();
  if (fd < 0) return "<no connection>";
  bool closed = false;
  std::string answer;
  if (fcgi_test::SendAll(fd, request)) answer = fcgi_test::ReadUntilClosed(fd, &closed);
  close(fd);
  return closed ? answer : answer + "<not closed>";
}

int Nginx::Quit() {
  child_->Signal(SIGQUIT);
  return child_->WaitExit();
}

std::string Nginx::log() const {
  return fcgi_test::ReadFile(dir_.path() + "/error.log") +
         fcgi_test::ReadFile(dir_.path() + "/stderr.log");
}

int RunOnce(const std::string& nginx, const Config& config, std::string* output,
            const std::vector<std::string>& options, const std::vector<std::string>& env) {
  fcgi_test::TempDir dir;
  // Held, not passed on: `nginx -t` tolerates an address in use.
  test_support::LoopbackListener listener;
  dir.Write("nginx.conf", ConfigText(config, dir.path(), listener.port()));
  std::vector<std::string> arguments = Arguments(nginx, dir.path());
  arguments.insert(arguments.end(), options.begin(), options.end());
  // Its own group: a module check nginx forks goes with it.
  test_support::Child child(arguments, Environment(env), dir.path() + "/output.log", {}, true);
  // Beyond the module's own 10 s bound on a module that does not load.
  int code = child.WaitExit(2 * fcgi_test::kWait);
  *output = fcgi_test::ReadFile(dir.path() + "/output.log");
  return code;
}

std::string WithoutDates(const std::string& answer) {
  static const std::regex date("\r\nDate: [A-Za-z]{3}, \\d\\d [A-Za-z]{3} \\d{4} "
                               "\\d\\d:\\d\\d:\\d\\d GMT\r\n");
  return std::regex_replace(answer, date, "\r\nDate: <now>\r\n");
}

}  // namespace nginx_test
