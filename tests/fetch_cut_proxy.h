// A loopback TCP proxy for the tests that stands between psqlODBC and a
// PostgreSQL server and cuts the connection inside a chosen FETCH answer.
#ifndef KORVADEX_TESTS_FETCH_CUT_PROXY_H_
#define KORVADEX_TESTS_FETCH_CUT_PROXY_H_

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace korvadex::testing {

// Forwards every connection to 127.0.0.1:serverPort on a thread of its own.
// The server's answers are relayed whole protocol message by message, so the
// cut falls at the same byte in every run, however TCP splits the stream.
class FetchCutProxy {
 public:
  // In the answer to a connection's `cutFetch`-th simple query holding a
  // FETCH statement (counted from 1), passes `rowsBeforeCut` DataRow
  // messages (at least 1) and then closes both sides without an error message.
  FetchCutProxy(int serverPort, int cutFetch, int rowsBeforeCut);
  // Stops the thread and closes every connection.
  ~FetchCutProxy();
  FetchCutProxy(const FetchCutProxy&) = delete;
  FetchCutProxy& operator=(const FetchCutProxy&) = delete;

  // Listens on a free loopback port and starts relaying; false when it cannot.
  bool Start();
  int port() const { return port_; }
  // True once a connection was cut where asked.
  bool hasCut() const { return hasCut_; }
  // Every simple query the clients sent, in order.
  std::vector<std::string> Queries() const;

 private:
  struct Session;
  void Serve();
  bool RelayFromClient(Session& session);
  bool RelayFromServer(Session& session);

  const int serverPort_;
  const int cutFetch_;
  const int rowsBeforeCut_;
  int port_ = 0;
  int listenFd_ = -1;
  int stopPipe_[2] = {-1, -1};
  std::atomic<bool> hasCut_{false};
  mutable std::mutex queriesMutex_;
  std::vector<std::string> queries_;
  std::thread thread_;
};

}  // namespace korvadex::testing

#endif  // KORVADEX_TESTS_FETCH_CUT_PROXY_H_
