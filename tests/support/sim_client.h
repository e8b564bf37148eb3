// Client side of a simulated board's pseudo-terminal, for tests that talk to
// trnsim::Board (or the trnsim program) the way the panel's serial port does.
#pragma once

#include <sys/types.h>

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

// A program (trnsim) run as a child with pipes on its standard input and
// output, standard error to /dev/null; killed (by its pid) and reaped if a
// test leaves it running.
class Program {
 public:
  Program(const std::string &binary, std::vector<std::string> args);
  ~Program();
  Program(const Program &) = delete;
  Program &operator=(const Program &) = delete;

  // Writes line and a line feed to its standard input.
  void send(const std::string &line);
  void close_stdin();
  // Reads standard output until text has appeared (or end of file, or
  // 5 s); returns everything read so far, from the start.
  std::string read_until(const std::string &text);
  std::string first_line();
  // Exit status, waiting up to 5 s; -1 when it did not end.
  int wait_exit();
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int in_ = -1, out_ = -1;
  bool reaped_ = false;
  std::string out_text_;
};

}  // namespace simclient
