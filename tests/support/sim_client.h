// Client side of a simulated board's pseudo-terminal, for tests that talk to
// trnsim::Board (or the trnsim program) the way the panel's serial port does.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace simclient {

// Opens a pty slave read/write, without becoming its controlling terminal,
// and puts it in raw mode (cfmakeraw).  -1 on failure.
int open_raw(const std::string &path);

// The slave opened by open_raw, closed on destruction.
class Port {
 public:
  explicit Port(const std::string &path) : fd_(open_raw(path)) {}
  ~Port();
  Port(const Port &) = delete;
  Port &operator=(const Port &) = delete;

  int fd() const { return fd_; }
  bool ok() const { return fd_ >= 0; }
  bool write(const std::vector<uint8_t> &bytes);
  // Reads until n bytes have arrived or the timeout has passed; returns
  // what arrived (fewer than n on timeout).
  std::vector<uint8_t> read(size_t n, std::chrono::milliseconds timeout);

 private:
  int fd_;
};

}  // namespace simclient
