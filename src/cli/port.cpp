// The port trnctl talks through: choosing it, opening and locking it, the
// exchange with its retries, the frame trace on standard error, and the
// interrupt flag that SIGINT, SIGTERM and SIGHUP raise.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "cli.h"
#include "config.h"
#include "output.h"
#include "ports.h"
#include "serial.h"
#include "text.h"

namespace trnctl {

namespace {

const trn::Clock::time_point started = trn::Clock::now();

// Long arguments are cut in messages (before a character, not inside
// one) and escaped, so that an error stays one short line and nothing in
// it acts on the terminal.
std::string cut(const std::string &text) {
  constexpr size_t kMax = 60;
  if (text.size() <= kMax) return trn::terminal_text(text);
  size_t end = kMax;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xc0) == 0x80) --end;
  return trn::terminal_text(text.substr(0, end)) + "...";
}

// Every frame on standard error: "0.105 -> 1b 42 06 00 00 63 0d".
class StderrTrace : public trn::FrameTrace {
 public:
  void frame(bool sent, const unsigned char *bytes, int n) override {
    fprintf(stderr, "%s %s %s\n", elapsed_text().c_str(), sent ? "->" : "<-",
            hex_bytes(bytes, n).c_str());
  }
};
StderrTrace stderr_trace;

extern "C" void on_stop_signal(int) {
  stop_requested.store(true);
  // A signal that lands between the waiting code's look at the flag and its
  // poll would otherwise go unseen until the wait ends: the alarm interrupts
  // the poll once a second until the flag has been acted on.
  alarm(1);
}

extern "C" void on_alarm(int) {
  if (stop_requested.load()) alarm(1);
}

// A node the kernel keeps with no UART behind it fails as a broken port
// does (an I/O error); saying which it is spares a hunt for a cable fault.
std::string no_uart_note(const std::string &path) {
  struct stat st;
  trn::SerialPortInfo info;
  if (stat(path.c_str(), &st) == 0 && S_ISCHR(st.st_mode) &&
      trn::serial_port_of(st.st_rdev, sys_roots(), &info) && info.no_uart)
    return "; the kernel has no UART behind this port";
  return "";
}

}  // namespace

std::atomic<bool> stop_requested{false};

void install_signal_handlers() {
  struct sigaction sa = {};
  sigemptyset(&sa.sa_mask);
  // Reads and writes resume after the handler; poll never does, so a wait
  // for the board ends at once and sees the flag.
  sa.sa_flags = SA_RESTART;
  sa.sa_handler = on_stop_signal;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGHUP, &sa, nullptr);  // a closed SSH session ends a run as SIGTERM does
  sa.sa_handler = on_alarm;
  sigaction(SIGALRM, &sa, nullptr);
}

long elapsed_ms() {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(trn::Clock::now() - started).count());
}

std::string elapsed_text() { return seconds_text(elapsed_ms()); }

std::string seconds_text(long ms) {
  char text[32];
  snprintf(text, sizeof text, "%ld.%03ld", ms / 1000, ms % 1000);
  return text;
}

std::string shown(const std::string &arg) { return "'" + cut(arg) + "'"; }

std::string choose_device(std::string *origin) {
  // TRN_DEVICE first, whatever its length; trn.ini only without it.
  bool too_long = false;
  const std::string named = trn::device_from_environment(trn::ANY_DEVICE_LENGTH, &too_long);
  if (!named.empty()) {
    *origin = "from TRN_DEVICE";
    return named;
  }
  const trn::ConfigReport config = trn::read_config();
  // The reader keeps the value's first five characters (COM=100000 is port
  // 10000), so the message shows the value as read.
  if (atoi(config.value.c_str()) >= 1)
    *origin = "chosen by COM= in ./trn.ini, read as " + trn::terminal_text(config.value);
  else if (config.opened || config.open_error != ENOENT)
    *origin = "the default: ./trn.ini gives no usable COM= value";
  else
    *origin = "the default: no -d, TRN_DEVICE or ./trn.ini";
  return trn::device_from_port_number();
}

Port::Port(const Options &options) : path_(options.device) {
  trn::PortError error = trn::PortError::None;
  std::string why;
  fd_ = trn::open_port(path_.c_str(), &error, &why);
  if (fd_ < 0) {
    if (error == trn::PortError::InUse)
      throw Failure{kPortFailed, cut(path_) + " is in use by another program"};
    if (error == trn::PortError::NotApplied) throw Failure{kPortFailed, cut(path_) + ": " + why};
    const char *verb = error == trn::PortError::Configure ? "cannot configure" : "cannot open";
    const std::string origin =
        options.device_origin.empty() ? "" : " (" + options.device_origin + ")";
    throw Failure{kPortFailed, cut(path_) + ": " + verb + (why.empty() ? "" : ": " + why) +
                                   no_uart_note(path_) + origin};
  }
  line_.attach(fd_);
  // What the port holds now was sent before this run (a reply to an earlier
  // run that was interrupted, old status frames): it is thrown away unread,
  // now that the lock is ours.
  line_.discard();
  if (options.verbose) trace_ = &stderr_trace;
  exchange_.timeout_ms = options.timeout_ms;
  exchange_.retries = options.retries;
  exchange_.trace = trace_;
  exchange_.met = [this](const unsigned char *frame) {
    // Status frames, kept for the status stream; a board that is never
    // watched cannot make the queue grow without end.
    if (met_.size() >= kMaxMet) met_.pop_front();
    std::array<unsigned char, 7> copy;
    std::copy(frame, frame + 7, copy.begin());
    met_.push_back(copy);
  };
}

bool Port::take_met(unsigned char frame[7]) {
  if (met_.empty()) return false;
  std::copy(met_.front().begin(), met_.front().end(), frame);
  met_.pop_front();
  return true;
}

Port::~Port() { trn::close_port(fd_); }

trn::Outcome Port::exchange(const unsigned char command[7], unsigned char reply[7],
                            bool interruptible) {
  trn::ExchangeOptions x = exchange_;
  x.stop = interruptible ? &stop_requested : nullptr;
  return trn::exchange(line_, command, reply, x, &tries_);
}

std::string Port::failure_text(const std::string &what, trn::Outcome outcome) const {
  if (outcome == trn::Outcome::Closed) return cut(path_) + ": the port hung up (" + what + ")";
  if (outcome == trn::Outcome::Interrupted) return "interrupted (" + what + ")";
  return cut(path_) + ": " + what + ": " + tries_text(outcome);
}

std::string Port::tries_text(trn::Outcome outcome) const {
  return std::string(trn::outcome_text(outcome)) + " after " + std::to_string(tries_) +
         (tries_ == 1 ? " try" : " tries");
}

void Port::must(const unsigned char command[7], unsigned char reply[7], const std::string &what) {
  trn::Outcome outcome = exchange(command, reply);
  if (outcome == trn::Outcome::Ok) return;
  throw Failure{outcome == trn::Outcome::Interrupted ? kInterrupted : kBoardFailed,
                failure_text(what, outcome)};
}

uint8_t Port::read(const trn::Setting &s) {
  unsigned char command[7], reply[7];
  trn::read_request(s, command);
  must(command, reply, std::string(s.name) + " read");
  return trn::reply_value(reply);
}

void Port::write(const trn::Setting &s, uint8_t value) {
  unsigned char command[7], reply[7];
  trn::write_request(s, value, command);
  must(command, reply, std::string(s.name) + " write");
}

StatusStream::StatusStream(Port &port) : port_(port) {}

void StatusStream::discard() {
  port_.line().discard();
  port_.forget_met();
  ready_.clear();
}

trn::Collected StatusStream::next(unsigned char frame[7], trn::Clock::time_point deadline,
                                  int other_fd, bool *other_ready) {
  if (other_ready) *other_ready = false;
  trn::FrameTrace *trace = port_.trace();
  auto keep = [this](const unsigned char *f) {
    if (!trn::is_status_frame(f)) return;
    std::array<unsigned char, 7> copy;
    std::copy(f, f + trn::FRAME_LEN, copy.begin());
    ready_.push_back(copy);
  };
  // What exchanges met came before anything still unread (and was traced).
  unsigned char met[7];
  while (port_.take_met(met)) keep(met);
  const trn::LineSink sink{[&](const unsigned char *f) {
                             if (trace) trace->frame(false, f, trn::FRAME_LEN);
                             keep(f);
                             return !ready_.empty();
                           },
                           [trace](const unsigned char *bytes, int n) {
                             if (trace) trace->frame(false, bytes, n);
                           }};
  for (;;) {
    if (!ready_.empty()) {
      std::copy(ready_.front().begin(), ready_.front().end(), frame);
      ready_.pop_front();
      return trn::Collected::Frame;
    }
    if (stop_requested.load()) return trn::Collected::Interrupted;
    if (other_fd >= 0) {
      // Both descriptors watched; the port's bytes are then read through
      // the line, as any other reader's are.
      const auto now = trn::Clock::now();
      if (now >= deadline) return trn::Collected::Timeout;
      // At most a second per wait: the deadline may be far away.
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count() + 1;
      pollfd p[2] = {{port_.line().port(), POLLIN, 0}, {other_fd, POLLIN, 0}};
      const int ready = poll(p, 2, static_cast<int>(std::min<long long>(left, 1000)));
      if (ready < 0 && errno != EINTR) return trn::Collected::Closed;
      if (ready > 0 && p[1].revents) {
        if (other_ready) *other_ready = true;
        return trn::Collected::Timeout;
      }
      if (ready <= 0 || !p[0].revents) continue;
      const trn::LineEnd end = port_.line().drain(sink).end;
      if (end == trn::LineEnd::HungUp || end == trn::LineEnd::Failed)
        return trn::Collected::Closed;  // hung up
      continue;
    }
    const trn::LineResult r = port_.line().read_until(deadline, sink, &stop_requested);
    switch (r.end) {
      case trn::LineEnd::Done: break;
      case trn::LineEnd::Interrupted: return trn::Collected::Interrupted;
      case trn::LineEnd::HungUp:
      case trn::LineEnd::Failed: return trn::Collected::Closed;  // hung up
      default: return trn::Collected::Timeout;
    }
  }
}

}  // namespace trnctl
