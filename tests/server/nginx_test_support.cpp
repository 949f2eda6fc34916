#include "tests/server/nginx_test_support.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <regex>
#include <stdexcept>

namespace nginx_test {
namespace {

// A listening loopback socket on a port the kernel picked, inheritable
// (no close-on-exec) so that nginx takes it over through $NGINX.
int ListenForNginx(uint16_t* port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      listen(fd, 128) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    throw std::runtime_error("cannot listen on the loopback interface");
  }
  *port = ntohs(address.sin_port);
  return fd;
}

std::string ConfigText(const Config& config, const std::string& dir, uint16_t port) {
  std::string http = config.http;
  std::string listen = "127.0.0.1:" + std::to_string(port);
  for (size_t at = http.find("LISTEN"); at != std::string::npos; at = http.find("LISTEN", at)) {
    http.replace(at, 6, listen);
  }
  // Workers of a root master would run as nobody, who cannot read the
  // tests' private directories.
  std::string user = geteuid() == 0 ? "user root;\n" : "";
  return config.main + "\n" + user + "daemon off;\nmaster_process " + (config.workers > 0 ? "on" : "off") +
         ";\nworker_processes " + std::to_string(config.workers > 0 ? config.workers : 1) +
         ";\npid " + dir + "/nginx.pid;\nerror_log " + dir + "/error.log notice;\n"
         "events { worker_connections 256; }\n"
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
  env.push_back("ASAN_OPTIONS=detect_leaks=0:abort_on_error=1");
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
  int listener = ListenForNginx(&port_);
  dir_.Write("nginx.conf", ConfigText(config, dir_.path(), port_));
  std::vector<std::string> environment = Environment(env);
  environment.push_back("NGINX=" + std::to_string(listener) + ";");
  child_ = std::make_unique<fcgi_test::Child>(Arguments(nginx, dir_.path()), environment,
                                              dir_.path() + "/stderr.log");
  close(listener);
}

Nginx::~Nginx() { Quit(); }

int Nginx::Connect() const { return fcgi_test::ConnectTcp(port_); }

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

int TestConfig(const std::string& nginx, const Config& config, std::string* output) {
  fcgi_test::TempDir dir;
  uint16_t port = 0;
  int listener = ListenForNginx(&port);
  dir.Write("nginx.conf", ConfigText(config, dir.path(), port));
  std::vector<std::string> arguments = Arguments(nginx, dir.path());
  arguments.push_back("-t");
  fcgi_test::Child child(arguments, Environment({}), dir.path() + "/output.log");
  close(listener);
  int code = child.WaitExit();
  *output = fcgi_test::ReadFile(dir.path() + "/output.log");
  return code;
}

std::string WithoutDates(const std::string& answer) {
  static const std::regex date("\r\nDate: [A-Za-z]{3}, \\d\\d [A-Za-z]{3} \\d{4} "
                               "\\d\\d:\\d\\d:\\d\\d GMT\r\n");
  return std::regex_replace(answer, date, "\r\nDate: <now>\r\n");
}

}  // namespace nginx_test
