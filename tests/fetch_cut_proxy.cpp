// A loopback TCP proxy for the tests that stands between psqlODBC and a
// PostgreSQL server and cuts the connection inside a chosen FETCH answer.
#include "fetch_cut_proxy.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <deque>
#include <list>

namespace korvadex::testing {

namespace {

// Untyped requests a client may send before its startup message; the proxy
// refuses both itself, so the rest of the stream is plain protocol messages.
constexpr std::uint32_t kSslRequest = 80877103;
constexpr std::uint32_t kGssEncryptionRequest = 80877104;

std::uint32_t BigEndian32(const std::string& bytes, std::size_t at) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < 4; ++i) value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
  return value;
}

bool SendAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t sent = ::send(fd, data, size, MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return false;
    data += sent;
    size -= static_cast<std::size_t>(sent);
  }
  return true;
}

// Appends what `fd` has to `buffer`; false at the end of the stream or on an error.
bool ReceiveInto(int fd, std::string& buffer) {
  char chunk[65536];
  ssize_t got;
  do {
    got = ::recv(fd, chunk, sizeof chunk, 0);
  } while (got < 0 && errno == EINTR);
  if (got <= 0) return false;
  buffer.append(chunk, static_cast<std::size_t>(got));
  return true;
}

// psqlODBC sends a cursor's first block with the BEGIN and the DECLARE, and
// sometimes a later one behind a SAVEPOINT, in one query: any statement of it counts.
bool HasFetchStatement(const std::string& query) {
  for (std::size_t start = 0;; ++start) {
    const std::size_t word = query.find_first_not_of(" \t\r\n", start);
    if (word != std::string::npos && ::strncasecmp(query.c_str() + word, "fetch", 5) == 0) return true;
    start = query.find(';', start);
    if (start == std::string::npos) return false;
  }
}

int ConnectToLoopback(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return fd;
  if (fd >= 0) ::close(fd);
  return -1;
}

}  // namespace

// One client connection and its connection to the server; closes both when it goes.
struct FetchCutProxy::Session {
  Session(int clientFd, int serverFd) : client(clientFd), server(serverFd) {}
  ~Session() {
    ::close(client);
    ::close(server);
  }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  int client;
  int server;
  bool isStarted = false;  // the startup message has gone through
  std::string fromClient;  // received, not yet forwarded: an incomplete message
  std::string fromServer;
  // One entry per ReadyForQuery still to come, in order: the number of the
  // FETCH query it ends the answer to, or 0 for any other query.
  std::deque<int> answers;
  int fetchesSent = 0;
  int rowsPassed = 0;  // DataRows passed in the answer that is cut
};

FetchCutProxy::FetchCutProxy(int serverPort, int cutFetch, int rowsBeforeCut)
    : serverPort_(serverPort), cutFetch_(cutFetch), rowsBeforeCut_(rowsBeforeCut) {}

FetchCutProxy::~FetchCutProxy() {
  if (thread_.joinable()) {
    [[maybe_unused]] ssize_t ignored = ::write(stopPipe_[1], "x", 1);
    thread_.join();
  }
  for (int fd : {listenFd_, stopPipe_[0], stopPipe_[1]}) {
    if (fd >= 0) ::close(fd);
  }
}

bool FetchCutProxy::Start() {
  if (::pipe2(stopPipe_, O_CLOEXEC) != 0) return false;
  listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listenFd_ < 0) return false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listenFd_, 8) != 0 ||
      ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return false;
  }
  port_ = ntohs(address.sin_port);
  thread_ = std::thread(&FetchCutProxy::Serve, this);
  return true;
}

std::vector<std::string> FetchCutProxy::Queries() const {
  std::lock_guard<std::mutex> lock(queriesMutex_);
  return queries_;
}

void FetchCutProxy::Serve() {
  std::list<Session> sessions;
  for (;;) {
    std::vector<pollfd> fds = {{stopPipe_[0], POLLIN, 0}, {listenFd_, POLLIN, 0}};
    for (const Session& session : sessions) {
      fds.push_back({session.client, POLLIN, 0});
      fds.push_back({session.server, POLLIN, 0});
    }
    if (::poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[0].revents != 0) return;
    std::size_t at = 2;
    for (auto session = sessions.begin(); session != sessions.end(); at += 2) {
      bool isOpen = fds[at].revents == 0 || RelayFromClient(*session);
      isOpen = isOpen && (fds[at + 1].revents == 0 || RelayFromServer(*session));
      session = isOpen ? std::next(session) : sessions.erase(session);
    }
    if (fds[1].revents != 0) {
      const int client = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
      const int server = client < 0 ? -1 : ConnectToLoopback(serverPort_);
      if (server >= 0) {
        sessions.emplace_back(client, server);
      } else if (client >= 0) {
        ::close(client);
      }
    }
  }
}

bool FetchCutProxy::RelayFromClient(Session& session) {
  if (!ReceiveInto(session.client, session.fromClient)) return false;
  std::string& bytes = session.fromClient;
  std::size_t used = 0;
  for (;;) {
    // Before the startup message comes a length and a request code, after it a type byte and a length.
    const std::size_t header = session.isStarted ? 1 : 0;
    if (bytes.size() - used < header + 4) break;
    const std::uint32_t length = BigEndian32(bytes, used + header);
    if (length < 4) return false;
    if (bytes.size() - used < header + length) break;
    const std::size_t start = used;
    used += header + length;
    if (!session.isStarted) {
      if (length >= 8) {
        const std::uint32_t code = BigEndian32(bytes, start + 4);
        if (code == kSslRequest || code == kGssEncryptionRequest) {
          if (!SendAll(session.client, "N", 1)) return false;
          continue;
        }
      }
      session.isStarted = true;
      session.answers.push_back(0);
    } else if (bytes[start] == 'Q') {
      const std::string text(bytes.c_str() + start + 5);
      session.answers.push_back(HasFetchStatement(text) ? ++session.fetchesSent : 0);
      const std::lock_guard<std::mutex> lock(queriesMutex_);
      queries_.push_back(text);
    } else if (bytes[start] == 'S') {
      session.answers.push_back(0);
    }
    if (!SendAll(session.server, bytes.data() + start, used - start)) return false;
  }
  bytes.erase(0, used);
  return true;
}

bool FetchCutProxy::RelayFromServer(Session& session) {
  if (!ReceiveInto(session.server, session.fromServer)) return false;
  std::string& bytes = session.fromServer;
  std::size_t used = 0;
  while (bytes.size() - used >= 5) {
    const std::uint32_t length = BigEndian32(bytes, used + 1);
    if (length < 4) return false;
    if (bytes.size() - used < 1 + length) break;
    const char type = bytes[used];
    const bool isCutAnswer = !session.answers.empty() && session.answers.front() == cutFetch_;
    used += 1 + length;
    if (type == 'Z' && !session.answers.empty()) session.answers.pop_front();
    if (type == 'D' && isCutAnswer && ++session.rowsPassed == rowsBeforeCut_) {
      SendAll(session.client, bytes.data(), used);
      // Set before the client can see the cut and end, so a test reads it true.
      hasCut_ = true;
      ::shutdown(session.client, SHUT_RDWR);
      ::shutdown(session.server, SHUT_RDWR);
      return false;
    }
  }
  if (!SendAll(session.client, bytes.data(), used)) return false;
  bytes.erase(0, used);
  return true;
}

}  // namespace korvadex::testing
