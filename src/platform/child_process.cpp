// The carrier of the driver side, shared by Linux and Windows: a process
// where one can be had, else a thread, and the one place that waits for it.
#include "platform/child_process.h"

#include <system_error>
#include <utility>

#include "platform/file_io.h"

namespace korvadex {

ChildProcess::~ChildProcess() {
  if (hasProcess() && !isWaited_) {
    if (socket_ >= 0) CloseFile(std::exchange(socket_, -1));
    AwaitEndOrKill();
  }
  Wait();
}

bool ChildProcess::StartThread(ChildBody body) {
  int ends[2];
  if (!MakeChannelPair(ends)) return false;
  try {
    thread_ = std::thread([body, end = ends[1]] {
      body(end, false);
      CloseFile(end);
    });
  } catch (const std::system_error&) {
    CloseFile(ends[0]);
    CloseFile(ends[1]);
    return false;
  }
  socket_ = ends[0];
  return true;
}

ChildEnd ChildProcess::Wait() {
  if (isWaited_) return end_;
  if (socket_ >= 0) CloseFile(std::exchange(socket_, -1));
  if (thread_.joinable()) {
    // The driver side leaves once it sees the channel closed.
    thread_.join();
    end_.hasExited = true;
  } else if (hasProcess()) {
    WaitForProcess();
  }
  std::lock_guard<std::mutex> lock(reapMutex_);
  isWaited_ = true;
  return end_;
}

}  // namespace korvadex
