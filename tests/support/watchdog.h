// Aborts the test program with a message when a scope does not finish in time:
// a hang must fail loudly instead of stalling the suite.
#pragma once
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
#define TV_SANITIZED_BUILD 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer) || __has_feature(address_sanitizer)
#define TV_SANITIZED_BUILD 1
#endif
#endif

class watchdog {
public:
    explicit watchdog(int seconds) : watchdog("encoder", seconds) {}
    watchdog(const char *what, int seconds)
    {
        // Sanitizer builds on a small machine run many times slower; the limit
        // only has to tell a hang from slow progress.
#ifdef TV_SANITIZED_BUILD
        seconds *= 5;
#endif
        thread_ = std::thread([this, what, seconds] {
            std::unique_lock<std::mutex> lock(mutex_);
            if (!cond_.wait_for(lock, std::chrono::seconds(seconds), [this] { return stop_; })) {
                std::fprintf(stderr, "watchdog: %s did not finish within %d s\n", what, seconds);
                std::fflush(stderr);
                std::abort();
            }
        });
    }
    ~watchdog()
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        cond_.notify_all();
        thread_.join();
    }

private:
    std::mutex mutex_;
    std::condition_variable cond_;
    bool stop_ = false;
    std::thread thread_;
};
