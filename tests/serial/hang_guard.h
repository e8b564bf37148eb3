// Test helpers against hangs and for watching standard error.
//
// HangGuard ends the test binary when a call that must return does not do so
// within a generous bound: a stuck exchange lock or thread join would
// otherwise stall the whole suite until CTest's own timeout.  The bound is
// never a pass/fail measure of speed.
#pragma once

#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

class HangGuard {
 public:
  HangGuard(std::string what, int seconds) : what_(std::move(what)) {
    thread_ = std::thread([this, seconds] {
      std::unique_lock<std::mutex> lock(mu_);
      if (!cv_.wait_for(lock, std::chrono::seconds(seconds), [this] { return done_; })) {
        fprintf(stderr, "HANG: %s did not return within %d s\n", what_.c_str(), seconds);
        std::_Exit(3);
      }
    });
  }
  ~HangGuard() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      done_ = true;
    }
    cv_.notify_all();
    thread_.join();
  }
  HangGuard(const HangGuard &) = delete;
  HangGuard &operator=(const HangGuard &) = delete;

 private:
  std::string what_;
  std::mutex mu_;
  std::condition_variable cv_;
  bool done_ = false;
  std::thread thread_;
};

// Captures what is written to standard error (descriptor 2) from
// construction until text().
class StderrCapture {
 public:
  StderrCapture() {
    fflush(stderr);
    file_ = tmpfile();
    saved_ = dup(2);
    dup2(fileno(file_), 2);
  }
  ~StderrCapture() { text(); }
  StderrCapture(const StderrCapture &) = delete;
  StderrCapture &operator=(const StderrCapture &) = delete;
  std::string text() {
    if (file_) {
      fflush(stderr);
      dup2(saved_, 2);
      close(saved_);
      rewind(file_);
      char buf[1024];
      size_t n;
      while ((n = fread(buf, 1, sizeof buf, file_)) > 0) text_.append(buf, n);
      fclose(file_);
      file_ = nullptr;
    }
    return text_;
  }

 private:
  int saved_ = -1;
  FILE *file_ = nullptr;
  std::string text_;
};
