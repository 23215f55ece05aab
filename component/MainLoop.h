// A plain main-thread event loop: the deferral the component's synchronous mode needs from its
// host, for the command line and the tests (the window gives a Qt one).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <utility>

namespace component {

class TMainLoop {
 public:
  // Any thread: run `action` on the loop's thread after `ms` milliseconds.
  void PostDelayed(int ms, std::function<void()> action) {
    std::lock_guard lock(Mutex);
    auto due = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms < 0 ? 0 : ms);
    Queue.emplace(std::make_pair(due, Sequence++), std::move(action));
    Wake.notify_all();
  }
  // Any thread: makes Run return once the action running now (if any) has returned.
  void Quit() {
    std::lock_guard lock(Mutex);
    QuitRequested = true;
    Wake.notify_all();
  }
  // Runs due actions in order until Quit; pending actions stay queued.
  void Run() {
    std::unique_lock lock(Mutex);
    while (!QuitRequested) {
      if (Queue.empty()) {
        Wake.wait(lock);
        continue;
      }
      auto first = Queue.begin();
      if (std::chrono::steady_clock::now() < first->first.first) {
        Wake.wait_until(lock, first->first.first);
        continue;
      }
      std::function<void()> action = std::move(first->second);
      Queue.erase(first);
      lock.unlock();
      action();
      lock.lock();
    }
    QuitRequested = false;
  }

 private:
  std::mutex Mutex;
  std::condition_variable Wake;
  std::map<std::pair<std::chrono::steady_clock::time_point, uint64_t>, std::function<void()>> Queue;
  uint64_t Sequence = 0;
  bool QuitRequested = false;
};

}  // namespace component
