// The open, locked port a test runs on, with its reply-waiting exchange, and
// the button status frames arriving on it.  Each port has the stop flag of
// whoever owns it: nothing here is shared between ports.
#pragma once

#include <array>
#include <atomic>
#include <deque>
#include <stdexcept>
#include <string>

#include "link.h"
#include "ports.h"

namespace trn::station {

// Long texts are cut in messages and control characters replaced, so that
// an error stays one short line.
std::string cut(const std::string &text);

struct PortSettings {
  std::string device;
  std::string origin;  // how the device was chosen, for a message; empty when given
  int timeout_ms = 100;
  int retries = 2;
  trn::FrameTrace *trace = nullptr;  // every frame, when set
  trn::SysRoots roots;               // where sysfs is, for the message on a port without a UART
  // The owner's stop: once true, every interruptible wait ends.
  const std::atomic<bool> *stop = nullptr;
};

// The port cannot be used; what() says why, naming it.
struct PortUnusable : std::runtime_error {
  using std::runtime_error::runtime_error;
};

class Port {
 public:
  // Throws PortUnusable when the port cannot be opened, configured or locked.
  explicit Port(const PortSettings &settings);
  ~Port();
  Port(const Port &) = delete;
  Port &operator=(const Port &) = delete;

  int fd() const { return fd_; }
  // The one reader of the port: exchanges and the status stream read
  // through it.
  trn::Line &line() { return line_; }
  // Takes the oldest status frame an exchange met; false when there is none.
  bool take_met(unsigned char frame[7]);
  void forget_met() { met_.clear(); }
  const std::string &path() const { return path_; }
  trn::FrameTrace *trace() const { return trace_; }
  const std::atomic<bool> *stop() const { return stop_; }
  int tries() const { return tries_; }  // of the last exchange

  // One exchange with the retries.  interruptible: the stop ends the wait
  // (Outcome::Interrupted).
  trn::Outcome exchange(const unsigned char command[7], unsigned char reply[7],
                        bool interruptible = true);
  // "PATH: volume read: no reply after 3 tries", for the last exchange.
  std::string failure_text(const std::string &what, trn::Outcome outcome) const;
  // "no reply after 3 tries", for the last exchange.
  std::string tries_text(trn::Outcome outcome) const;

 private:
  static constexpr size_t kMaxMet = 1024;
  std::string path_;
  int fd_ = -1;
  trn::Line line_;
  std::deque<std::array<unsigned char, 7>> met_;
  trn::ExchangeOptions exchange_;
  trn::FrameTrace *trace_ = nullptr;
  const std::atomic<bool> *stop_ = nullptr;
  int tries_ = 0;
};

// The button status frames arriving on the port, one at a time and none
// lost: those an exchange met come first, and bytes read past one frame
// wait for the next call.
class StatusStream {
 public:
  explicit StatusStream(Port &port);
  // The next valid status frame (Collected::Frame), or Timeout at the
  // deadline, Closed on a hang-up, Interrupted by the port's stop.  With
  // other_fd (not -1), input on that descriptor ends the wait too: Timeout
  // with *other_ready set, the input left unread.
  trn::Collected next(unsigned char frame[7], trn::Clock::time_point deadline,
                      int other_fd = -1, bool *other_ready = nullptr);
  // Forgets everything received so far, the port's pending input included.
  void discard();

 private:
  Port &port_;
  std::deque<std::array<unsigned char, 7>> ready_;
};

}  // namespace trn::station
