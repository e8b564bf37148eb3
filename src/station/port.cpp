// The port a test runs on: opening and locking it, the exchange with its
// retries, and the status frames read through the same line.
#include "port.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "serial.h"

namespace trn::station {

namespace {

// A node the kernel keeps with no UART behind it fails as a broken port
// does (an I/O error); saying which it is spares a hunt for a cable fault.
std::string no_uart_note(const std::string &path, const trn::SysRoots &roots) {
  struct stat st;
  trn::SerialPortInfo info;
  if (stat(path.c_str(), &st) == 0 && S_ISCHR(st.st_mode) &&
      trn::serial_port_of(st.st_rdev, roots, &info) && info.no_uart)
    return "; the kernel has no UART behind this port";
  return "";
}

}  // namespace

std::string cut(const std::string &text) {
  constexpr size_t kMax = 60;
  std::string out = text.size() <= kMax ? text : text.substr(0, kMax) + "...";
  for (char &c : out)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  return out;
}

Port::Port(const PortSettings &settings) : path_(settings.device), stop_(settings.stop) {
  trn::PortError error = trn::PortError::None;
  std::string why;
  fd_ = trn::open_port(path_.c_str(), &error, &why);
  if (fd_ < 0) {
    if (error == trn::PortError::InUse)
      throw PortUnusable(cut(path_) + " is in use by another program");
    if (error == trn::PortError::NotApplied) throw PortUnusable(cut(path_) + ": " + why);
    const char *verb = error == trn::PortError::Configure ? "cannot configure" : "cannot open";
    const std::string origin = settings.origin.empty() ? "" : " (" + settings.origin + ")";
    throw PortUnusable(cut(path_) + ": " + verb + (why.empty() ? "" : ": " + why) +
                       no_uart_note(path_, settings.roots) + origin);
  }
  line_.attach(fd_);
  // What the port holds now was sent before this run (a reply to an earlier
  // run that was interrupted, old status frames): it is thrown away unread,
  // now that the lock is ours.
  line_.discard();
  trace_ = settings.trace;
  exchange_.timeout_ms = settings.timeout_ms;
  exchange_.retries = settings.retries;
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
  x.stop = interruptible ? stop_ : nullptr;
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
    if (port_.stop() && port_.stop()->load()) return trn::Collected::Interrupted;
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
    const trn::LineResult r = port_.line().read_until(deadline, sink, port_.stop());
    switch (r.end) {
      case trn::LineEnd::Done: break;
      case trn::LineEnd::Interrupted: return trn::Collected::Interrupted;
      case trn::LineEnd::HungUp:
      case trn::LineEnd::Failed: return trn::Collected::Closed;  // hung up
      default: return trn::Collected::Timeout;
    }
  }
}

}  // namespace trn::station
