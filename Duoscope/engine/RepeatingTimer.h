// A tick on a thread of its own while a blocking step runs: progress read
// from a tool's log or from the size of what it writes. Stopping (or
// destroying) it joins the thread, so no tick runs after.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace duoscope {

// Calls `tick` 1.0 s after start and every 1.5 s after that, on its own
// thread, until stopped. Stopping joins the thread, so no tick runs after.
class RepeatingTimer {
  public:
    explicit RepeatingTimer(std::function<void()> tick)
        : thread_([this, tick = std::move(tick)] {
              std::unique_lock lock(mutex_);
              auto delay = std::chrono::milliseconds(1000);
              while (!condition_.wait_for(lock, delay, [this] { return stopped_; })) {
                  lock.unlock();
                  tick();
                  lock.lock();
                  delay = std::chrono::milliseconds(1500);
              }
          }) {}
    ~RepeatingTimer() { stop(); }
    void stop() {
        {
            std::lock_guard lock(mutex_);
            stopped_ = true;
        }
        condition_.notify_all();
        if (thread_.joinable()) thread_.join();
    }

  private:
    std::mutex mutex_;
    std::condition_variable condition_;
    bool stopped_ = false;
    std::thread thread_;
};

} // namespace duoscope
