#include "server/fcgi/fcgi_socket.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "server/core/http_text.h"
#include "server/standalone/listen_socket.h"

namespace isapi_fcgi {

namespace {

bool UnixAddress(const std::string& path, sockaddr_un* address) {
  *address = sockaddr_un{};
  address->sun_family = AF_UNIX;
  if (path.size() >= sizeof address->sun_path) return false;
  memcpy(address->sun_path, path.c_str(), path.size() + 1);
  return true;
}

// Whether some process accepts connections on the Unix socket at `path`.
bool SocketIsAnswered(const std::string& path) {
  sockaddr_un address;
  if (!UnixAddress(path, &address)) return false;
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  bool answered = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return answered;
}

bool GroupId(const std::string& group, gid_t* gid) {
  uint64_t number = 0;
  if (isapi::ParseDecimal(group, UINT32_MAX - 1, &number)) {
    *gid = static_cast<gid_t>(number);
    return true;
  }
  const struct group* entry = getgrnam(group.c_str());
  if (entry == nullptr) return false;
  *gid = entry->gr_gid;
  return true;
}

// Gives the socket file the group and mode asked for.
bool SetSocketAccess(const Options& options, std::string* error) {
  const std::string& path = options.bind_address;
  if (!options.socket_group.empty()) {
    gid_t gid = 0;
    if (!GroupId(options.socket_group, &gid)) {
      *error = "--socket-group: no group " + options.socket_group;
      return false;
    }
    if (chown(path.c_str(), static_cast<uid_t>(-1), gid) != 0) {
      *error = "cannot give " + path + " the group " + options.socket_group + ": " +
               strerror(errno);
      return false;
    }
  }
  if (options.socket_mode >= 0 &&
      chmod(path.c_str(), static_cast<mode_t>(options.socket_mode)) != 0) {
    *error = "cannot change the mode of " + path + ": " + strerror(errno);
    return false;
  }
  return true;
}

int ListenUnix(const Options& options, std::string* error) {
  const std::string& path = options.bind_address;
  sockaddr_un address;
  if (!UnixAddress(path, &address)) {
    *error = "socket path too long: " + path;
    return -1;
  }
  struct stat info;
  if (lstat(path.c_str(), &info) == 0) {
    if (!S_ISSOCK(info.st_mode)) {
      *error = path + " exists and is not a socket";
      return -1;
    }
    if (SocketIsAnswered(path)) {
      *error = "another server is listening on " + path;
      return -1;
    }
    unlink(path.c_str());
  }
  std::string reason;
  // With a mode asked for, only the owner may connect until the file has it.
  bool mode_asked = options.socket_mode >= 0;
  mode_t umask_before = mode_asked ? umask(0177) : 0;
  int fd = isapi::BindListener(reinterpret_cast<sockaddr*>(&address), sizeof address, &reason);
  if (mode_asked) umask(umask_before);
  if (fd < 0) {
    *error = "cannot listen on " + path + ": " + reason;
    return -1;
  }
  if (!SetSocketAccess(options, error)) {
    close(fd);
    unlink(path.c_str());
    return -1;
  }
  return fd;
}

}  // namespace

int OpenSocket(const Options& options, std::string* error) {
  return options.unix_socket ? ListenUnix(options, error)
                             : isapi::OpenListenSocket(options.bind_address, error);
}

bool AdoptInheritedListenSocket() {
  int listening = 0, type = 0;
  socklen_t length = sizeof listening;
  if (getsockopt(STDIN_FILENO, SOL_SOCKET, SO_ACCEPTCONN, &listening, &length) != 0 ||
      !listening) {
    return false;
  }
  length = sizeof type;
  if (getsockopt(STDIN_FILENO, SOL_SOCKET, SO_TYPE, &type, &length) != 0 ||
      type != SOCK_STREAM) {
    return false;
  }
  int flags = fcntl(STDIN_FILENO, F_GETFL);
  return flags >= 0 && fcntl(STDIN_FILENO, F_SETFL, flags | O_NONBLOCK) == 0 &&
         fcntl(STDIN_FILENO, F_SETFD, FD_CLOEXEC) == 0;
}

}  // namespace isapi_fcgi
