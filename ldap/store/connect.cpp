// The socket to a server, connected by the program itself so that nothing
// of it waits longer than its deadline, and the watchdog that holds the
// library's steps on that socket to theirs. The library bounds a TLS
// handshake only on a non-blocking socket, where libldap 2.5 retries the
// handshake without waiting: a busy loop for as long as the server is
// silent. So the socket is handed over blocking, and the watchdog shuts it
// down at the deadline, which ends whatever the library waits for.
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "ldap/store/session.h"

namespace orvanta::directory {

namespace {

using Clock = std::chrono::steady_clock;

constexpr char kIpcScheme[] = "ldapi";
constexpr char kDefaultHost[] = "localhost";

struct AddressFreer {
  void operator()(addrinfo* addresses) const { freeaddrinfo(addresses); }
};

int MillisecondsLeft(Deadline deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

// A non-blocking connect, finished by the deadline; the socket is then
// made blocking. LDAP_SUCCESS, LDAP_TIMEOUT or LDAP_SERVER_DOWN.
int FinishConnect(int fd, int connected, Deadline deadline) {
  if (connected != 0) {
    // A local socket whose server has a full backlog says EAGAIN: down.
    if (errno != EINPROGRESS) return LDAP_SERVER_DOWN;
    pollfd pending{fd, POLLOUT, 0};
    int ready = 0;
    do {
      ready = poll(&pending, 1, MillisecondsLeft(deadline));
    } while (ready < 0 && errno == EINTR);
    if (ready == 0) return LDAP_TIMEOUT;
    int error = 0;
    socklen_t length = sizeof error;
    if (ready < 0 || getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
      return LDAP_SERVER_DOWN;
    }
  }
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) return LDAP_SERVER_DOWN;
  return LDAP_SUCCESS;
}

// A connected socket to one address, or -1 with `code` saying why not.
int ConnectTo(const sockaddr* address, socklen_t length, Deadline deadline, int& code) {
  // Close-on-exec: the tools the run starts get no connection.
  const int fd = socket(address->sa_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    code = LDAP_SERVER_DOWN;
    return -1;
  }
  if (address->sa_family != AF_UNIX) {
    // As the library sets up sockets of its own: requests go out at once,
    // and a peer that vanished is noticed.
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
  }
  code = FinishConnect(fd, connect(fd, address, length), deadline);
  if (code == LDAP_SUCCESS) return fd;
  close(fd);
  return -1;
}

// ldapi://: the socket path is the URI's host, which the parser unescaped.
int ConnectLocal(const LDAPURLDesc& url, Deadline deadline, int& code) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string_view path = url.lud_host == nullptr ? "" : url.lud_host;
  if (path.empty() || path.size() >= sizeof address.sun_path) {
    code = LDAP_SERVER_DOWN;
    return -1;
  }
  path.copy(address.sun_path, path.size());
  return ConnectTo(reinterpret_cast<const sockaddr*>(&address), sizeof address, deadline, code);
}

// ldap:// and ldaps://: each address of the host in turn, all within the
// one deadline.
int ConnectRemote(const LDAPURLDesc& url, Deadline deadline, int& code) {
  const char* host =
      url.lud_host == nullptr || *url.lud_host == '\0' ? kDefaultHost : url.lud_host;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  code = LDAP_SERVER_DOWN;
  if (getaddrinfo(host, std::to_string(url.lud_port).c_str(), &hints, &found) != 0) return -1;
  const std::unique_ptr<addrinfo, AddressFreer> addresses(found);
  for (const addrinfo* address = found; address != nullptr; address = address->ai_next) {
    if (Clock::now() >= deadline) {
      code = LDAP_TIMEOUT;
      return -1;
    }
    const int fd = ConnectTo(address->ai_addr, address->ai_addrlen, deadline, code);
    if (fd >= 0) return fd;
  }
  return -1;
}

}  // namespace

bool IsLocal(const LDAPURLDesc& url) { return std::strcmp(url.lud_scheme, kIpcScheme) == 0; }

int ConnectedSocket(const LDAPURLDesc& url, Deadline deadline, int& code) {
  return IsLocal(url) ? ConnectLocal(url, deadline, code) : ConnectRemote(url, deadline, code);
}

Watchdog::Watchdog(int fd, Deadline deadline)
    : thread_([this, fd, deadline] {
        std::unique_lock lock(mutex_);
        if (!stop_.wait_until(lock, deadline, [this] { return stopped_; })) {
          // A write of the library's after this fails with EPIPE: the
          // program ignores SIGPIPE.
          shutdown(fd, SHUT_RDWR);
          fired_ = true;
        }
      }) {}

Watchdog::~Watchdog() { Stop(); }

bool Watchdog::Stop() {
  {
    const std::lock_guard lock(mutex_);
    stopped_ = true;
  }
  stop_.notify_one();
  if (thread_.joinable()) thread_.join();
  return fired_;
}

}  // namespace orvanta::directory
