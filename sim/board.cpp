// The simulated board's line: the master side of a pseudo-terminal, its
// pacing and the reassembly of commands.  What the board answers is the
// model's (model.h) and how it misbehaves the faults' (faults.h).
//
// One service thread reads the master, reassembles 7-byte command frames,
// answers them (through the fault in force) and records everything.  Callers
// on other threads send status frames and raw bytes; every write to the
// master goes through write_mu_, so a reply and a status frame never
// interleave inside a frame.
//
// At a line rate (set_line_rate) the board models a real serial line in
// both directions: it writes its bytes one at a time when each would have
// crossed the line, and acts on a command only once its last byte would
// have arrived.  All waits sleep against the steady clock and end early on
// stop() or hang_up(); nothing spins.
#include "board.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <ctime>

namespace trnsim {

namespace {

constexpr int kWriteTimeoutMs = 1000;  // a slave nobody reads: give up then
// A byte on the line: start bit, 8 data bits, parity bit, stop bit.
constexpr long long kBitsPerByte = 11;

void close_fd(int *fd) {
  if (*fd >= 0) ::close(*fd);
  *fd = -1;
}

void drain(int fd) {
  uint8_t buf[64];
  while (::read(fd, buf, sizeof buf) > 0) {
  }
}

// Cuts the bytes the client sends into 7-byte commands: bytes are dropped
// until ESC 'B', then seven are taken.  A command that turns out bad is
// scanned again from its second byte, so a partial frame followed by a
// whole one loses only the partial one.
class Reassembler {
 public:
  // Takes one byte; true when it completes a command, now in frame().
  bool push(uint8_t b) {
    if (pending_.empty()) {
      if (b == kEsc) pending_.push_back(b);
      return false;
    }
    if (pending_.size() == 1) {
      if (b == kLetter)
        pending_.push_back(b);
      else if (b != kEsc)
        pending_.clear();
      return false;
    }
    pending_.push_back(b);
    if (pending_.size() < kFrameLen) return false;
    frame_.swap(pending_);
    pending_.clear();
    return true;
  }
  const Frame &frame() const { return frame_; }
  // After a bad command, its bytes 1..6 are taken again, before the bytes
  // that follow it.  Six bytes never complete a command of their own.
  void rescan() {
    for (size_t k = 1; k < kFrameLen; ++k) push(frame_[k]);
  }

 private:
  Frame pending_;  // the command being assembled, from ESC 'B' on
  Frame frame_;    // the last whole command
};

}  // namespace

std::chrono::nanoseconds byte_time(int baud) {
  if (baud <= 0) return std::chrono::nanoseconds(0);
  return std::chrono::nanoseconds(kBitsPerByte * 1000000000LL / baud);
}

Board::Board() = default;

Board::~Board() { stop(); }

bool Board::start() {
  if (running_) {
    if (master_ >= 0) return true;
    stop();  // hung up: start again on a fresh pty
  }
  int m = posix_openpt(O_RDWR | O_NOCTTY);
  if (m < 0) return false;
  char name[128];
  if (grantpt(m) != 0 || unlockpt(m) != 0 || ptsname_r(m, name, sizeof name) != 0) {
    ::close(m);
    return false;
  }
  fcntl(m, F_SETFD, FD_CLOEXEC);
  fcntl(m, F_SETFL, fcntl(m, F_GETFL) | O_NONBLOCK);
  termios t{};
  if (tcgetattr(m, &t) == 0) {
    cfmakeraw(&t);
    tcsetattr(m, TCSANOW, &t);
  }
  // Hold the slave open ourselves: a master whose slave is closed reports
  // POLLHUP without end, which would turn the service loop into a spin
  // until the panel opens the port.  Raw mode here is the line's default
  // (no echo of our own status frames, CR passed unchanged) until the
  // client sets its own.
  int s = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (s < 0) {
    ::close(m);
    return false;
  }
  if (tcgetattr(s, &t) == 0) {
    cfmakeraw(&t);
    tcsetattr(s, TCSANOW, &t);
  }
  if (pipe2(stop_pipe_, O_CLOEXEC | O_NONBLOCK) != 0) {
    ::close(s);
    ::close(m);
    return false;
  }
  {
    std::lock_guard<std::mutex> lk(mu_);
    thread_done_ = false;
  }
  stop_req_ = false;
  hangup_req_ = false;
  slave_hold_ = s;
  slave_path_ = name;
  master_ = m;
  running_ = true;
  thread_ = std::thread([this] { serve(); });
  return true;
}

void Board::stop() {
  if (thread_.joinable()) {
    {
      // Under mu_, so that a writer pacing a run cannot miss the wake-up.
      std::lock_guard<std::mutex> lk(mu_);
      stop_req_ = true;
    }
    line_cv_.notify_all();
    uint8_t b = 'q';
    if (::write(stop_pipe_[1], &b, 1) < 0) {
      // The pipe is non-blocking and at most a few bytes deep; a full pipe
      // already wakes the thread.
    }
    thread_.join();
  }
  close_master();
  close_fd(&stop_pipe_[0]);
  close_fd(&stop_pipe_[1]);
  running_ = false;
}

void Board::close_master() {
  {
    std::lock_guard<std::mutex> wl(write_mu_);
    int m = master_.exchange(-1);
    if (m >= 0) ::close(m);
    close_fd(&slave_hold_);
  }
  std::lock_guard<std::mutex> lk(mu_);
  cv_.notify_all();
}

void Board::hang_up() {
  // The descriptor is closed on the service thread, so it never polls or
  // reads a number that has been closed (and perhaps reused) under it.
  if (thread_.joinable() && std::this_thread::get_id() != thread_.get_id()) {
    std::unique_lock<std::mutex> lk(mu_);
    if (!thread_done_) {
      hangup_req_ = true;
      line_cv_.notify_all();
      uint8_t b = 'h';
      if (::write(stop_pipe_[1], &b, 1) < 0) {
        // Full pipe: the thread is awake already.
      }
      cv_.wait(lk, [this] { return master_ < 0 || thread_done_; });
      return;
    }
  }
  close_master();
}

Settings Board::settings() const {
  std::lock_guard<std::mutex> lk(mu_);
  return s_;
}

void Board::set_settings(const Settings &s) {
  std::lock_guard<std::mutex> lk(mu_);
  s_ = s;
}

void Board::set_fault(Fault f, int param) {
  std::lock_guard<std::mutex> lk(mu_);
  fault_ = f;
  fault_param_ = param;
}

void Board::set_reply_latency(int ms) {
  std::lock_guard<std::mutex> lk(mu_);
  reply_latency_ms_ = ms < 0 ? 0 : ms;
}

void Board::set_line_rate(int baud) {
  std::lock_guard<std::mutex> lk(mu_);
  line_rate_ = baud < 0 ? 0 : baud;
}

int Board::line_rate() const {
  std::lock_guard<std::mutex> lk(mu_);
  return line_rate_;
}

Fault Board::fault() const {
  std::lock_guard<std::mutex> lk(mu_);
  return fault_;
}

void Board::press(Input in) { press_or_release(in, true); }

void Board::release(Input in) { press_or_release(in, false); }

void Board::press_or_release(Input in, bool pressed) {
  {
    // write_mu_ first: two presses on two threads reach the line in the
    // order their status bytes were formed.
    std::lock_guard<std::mutex> wl(write_mu_);
    Frame f;
    {
      std::lock_guard<std::mutex> lk(mu_);
      set_input(in, pressed, &status_a_, &status_b_);
      f = status_frame(status_a_, status_b_);
    }
    write_locked(f.data(), f.size());
  }
  deliver_log();
}

void Board::send_status(uint8_t a, uint8_t b) {
  {
    std::lock_guard<std::mutex> wl(write_mu_);
    {
      std::lock_guard<std::mutex> lk(mu_);
      status_a_ = a;
      status_b_ = b;
    }
    Frame f = status_frame(a, b);
    write_locked(f.data(), f.size());
  }
  deliver_log();
}

uint8_t Board::status_a() const {
  std::lock_guard<std::mutex> lk(mu_);
  return status_a_;
}

uint8_t Board::status_b() const {
  std::lock_guard<std::mutex> lk(mu_);
  return status_b_;
}

void Board::send_raw(const uint8_t *data, size_t n) { write_bytes(data, n); }

void Board::write_bytes(const uint8_t *data, size_t n) {
  {
    std::lock_guard<std::mutex> wl(write_mu_);
    write_locked(data, n);
  }
  deliver_log();
}

bool Board::write_locked(const uint8_t *data, size_t n) {
  int m = master_;
  if (m < 0 || n == 0) return false;
  size_t index;
  std::chrono::nanoseconds per_byte;
  std::chrono::steady_clock::time_point start;
  {
    std::lock_guard<std::mutex> lk(mu_);
    per_byte = byte_time(line_rate_);
    start = std::chrono::steady_clock::now();
    index = log_.size();
    log_.push_back(LogEntry{start, false, Frame(data, data + n)});
  }
  size_t done = 0;
  auto last = start;  // when the byte before went out
  while (done < n) {
    size_t chunk = n - done;
    if (per_byte.count() > 0) {
      // Byte k is due when its last bit would have crossed the line,
      // (k + 1) byte times after the run began, so the small delays of each
      // wake-up do not add up over a run.  Yet it never follows the byte
      // before by less than 7/8 of a byte time: after a long delay (a
      // loaded machine) the rest of the run comes late, as after a stalled
      // line, not in a burst faster than the line could carry.
      const std::chrono::steady_clock::time_point on_time =
          start + per_byte * static_cast<std::chrono::nanoseconds::rep>(done + 1);
      const std::chrono::steady_clock::time_point due =
          std::max(on_time, last + per_byte * 7 / 8);
      if (!line_wait_until(due)) break;
      chunk = 1;
    }
    ssize_t w = ::write(m, data + done, chunk);
    if (w > 0) {
      done += static_cast<size_t>(w);
      last = std::chrono::steady_clock::now();
    } else if (w < 0 && errno == EINTR) {
      continue;
    } else if (w < 0 && errno == EAGAIN) {
      // The slave's input queue is full (nobody reads): wait a while for
      // room, then drop the rest rather than block the board.
      pollfd p{m, POLLOUT, 0};
      if (poll(&p, 1, kWriteTimeoutMs) <= 0) break;
    } else {
      break;
    }
  }
  if (done < n) {
    // Rare: keep the log true to what went out.  (The logger may already
    // have been given the whole run by another thread's delivery.)
    std::lock_guard<std::mutex> lk(mu_);
    log_[index].bytes.resize(done);
  }
  return done > 0;
}

bool Board::line_wait_until(std::chrono::steady_clock::time_point deadline) {
  std::unique_lock<std::mutex> lk(mu_);
  return !line_cv_.wait_until(lk, deadline, [this] { return stop_req_ || hangup_req_; });
}

// The logger sees entries in log order whichever thread made them.  The
// mutex is recursive so that a logger may itself send through the board.
void Board::deliver_log() {
  std::lock_guard<std::recursive_mutex> dl(deliver_mu_);
  for (;;) {
    LogEntry e;
    std::function<void(const LogEntry &)> logger;
    {
      std::lock_guard<std::mutex> lk(mu_);
      if (delivered_ >= log_.size()) return;
      e = log_[delivered_++];
      logger = logger_;
    }
    if (logger) logger(e);
  }
}

// Received frames only; sent runs are logged by write_locked.
void Board::record(bool received, const Frame &bytes) {
  {
    std::lock_guard<std::mutex> lk(mu_);
    log_.push_back(LogEntry{std::chrono::steady_clock::now(), received, bytes});
    if (received) received_.push_back(bytes);
  }
  if (received) cv_.notify_all();
  deliver_log();
}

std::vector<Frame> Board::received() const {
  std::lock_guard<std::mutex> lk(mu_);
  return received_;
}

size_t Board::received_count() const {
  std::lock_guard<std::mutex> lk(mu_);
  return received_.size();
}

void Board::clear_received() {
  std::lock_guard<std::mutex> lk(mu_);
  received_.clear();
}

bool Board::wait_received(size_t n, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lk(mu_);
  return cv_.wait_for(lk, timeout, [&] { return received_.size() >= n; });
}

std::vector<LogEntry> Board::log() const {
  std::lock_guard<std::mutex> lk(mu_);
  return log_;
}

// A new logger sees only what happens from now on.
void Board::set_logger(std::function<void(const LogEntry &)> logger) {
  std::lock_guard<std::mutex> lk(mu_);
  logger_ = std::move(logger);
  delivered_ = log_.size();
}

Frame Board::respond(const Frame &c) {
  std::lock_guard<std::mutex> lk(mu_);
  return trnsim::respond(s_, c);
}

// ---- Service thread -----------------------------------------------------

// The inbound line at a line rate.  The board cannot see when the client's
// port began to send, only when bytes could be read; on a pty that is the
// moment the client wrote them, which is when a real port starts sending.
// So each byte is taken to set out when it was read, or when the byte
// before it had arrived if the line was still busy with that one, and to
// arrive one byte time later.  A 7-byte command written at once is then
// complete 7 byte times (8.02 ms at 9600) after the write.  Bytes written
// while the board is busy (waiting, answering) are read late and reckoned
// from then: the model may act later than a real line would, never sooner.
// Noise and bytes outside frames take their time on the line too.
void Board::serve() {
  Reassembler commands;
  std::chrono::steady_clock::time_point line_free{};  // inbound line idle from
  bool master_hup = false;
  uint8_t buf[256];
  bool end = false;
  while (!end) {
    int m = master_;
    if (m < 0) break;  // hung up
    pollfd fds[2] = {{stop_pipe_[0], POLLIN, 0}, {m, POLLIN, 0}};
    // After a hang-up report (not expected while slave_hold_ is open) look
    // at the master again only after a pause, never in a tight loop.
    nfds_t n = master_hup ? 1 : 2;
    int r = poll(fds, n, n == 2 ? -1 : 50);
    if (r < 0 && errno != EINTR) break;
    master_hup = false;
    if (r <= 0) continue;
    if (fds[0].revents) {
      drain(stop_pipe_[0]);
      if (handle_wake()) break;
    }
    if (n < 2 || !fds[1].revents) continue;
    ssize_t got = ::read(m, buf, sizeof buf);
    if (got <= 0) {
      if (got < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      master_hup = true;
      continue;
    }
    const auto read_at = std::chrono::steady_clock::now();
    std::chrono::nanoseconds per_byte;
    {
      std::lock_guard<std::mutex> lk(mu_);
      per_byte = byte_time(line_rate_);
    }
    // When each byte arrived (see above); without a line rate, when read.
    std::vector<std::chrono::steady_clock::time_point> at(static_cast<size_t>(got), read_at);
    if (per_byte.count() > 0) {
      for (auto &t : at) {
        line_free = std::max(line_free, read_at) + per_byte;
        t = line_free;
      }
    }
    for (size_t i = 0; i < static_cast<size_t>(got) && !end; ++i) {
      if (!commands.push(buf[i])) continue;
      const Frame f = commands.frame();
      if (per_byte.count() > 0 && pause_until(at[i])) {
        end = true;
        break;
      }
      end = handle_frame(f, at[i]);
      if (!frame_ok(f)) commands.rescan();
    }
  }
  std::lock_guard<std::mutex> lk(mu_);
  thread_done_ = true;
  cv_.notify_all();
}

bool Board::handle_wake() {
  if (stop_req_) return true;
  if (hangup_req_) {
    // Cleared only once the line is closed: a writer pacing a run on
    // another thread holds write_mu_, which close_master needs, until it
    // has seen the request.
    close_master();
    hangup_req_ = false;
    return true;
  }
  return false;
}

// A hang-up decided on the service thread (the HangUp fault).  The request
// flag makes a writer pacing a run give it up, as hang_up() does.
void Board::hang_up_here() {
  {
    std::lock_guard<std::mutex> lk(mu_);
    hangup_req_ = true;
  }
  line_cv_.notify_all();
  close_master();
  hangup_req_ = false;
}

// Waits ms milliseconds unless a stop or hang-up request comes first; true
// when the thread must end.
bool Board::pause_ms(int ms) {
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    // Rounded up: a pause never ends before its time.
    auto left = std::chrono::ceil<std::chrono::milliseconds>(
        until - std::chrono::steady_clock::now()).count();
    if (left <= 0) return false;
    pollfd p{stop_pipe_[0], POLLIN, 0};
    int r = poll(&p, 1, static_cast<int>(left));
    if (r > 0) {
      drain(stop_pipe_[0]);
      if (handle_wake()) return true;
    }
  }
}

// Like pause_ms, to a deadline on the steady clock, to the nanosecond.
bool Board::pause_until(std::chrono::steady_clock::time_point deadline) {
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(
        deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) return false;
    timespec ts{static_cast<time_t>(left / 1000000000), static_cast<long>(left % 1000000000)};
    pollfd p{stop_pipe_[0], POLLIN, 0};
    int r = ppoll(&p, 1, &ts, nullptr);
    if (r > 0) {
      drain(stop_pipe_[0]);
      if (handle_wake()) return true;
    }
  }
}

bool Board::handle_frame(const Frame &frame, std::chrono::steady_clock::time_point arrived) {
  record(true, frame);
  Fault f;
  int param;
  int latency;
  bool paced;
  {
    std::lock_guard<std::mutex> lk(mu_);
    f = fault_;
    param = fault_param_;
    latency = reply_latency_ms_;
    paced = line_rate_ > 0;
    // A hang-up is one-shot: a board started again answers normally.
    if (f == Fault::HangUp) fault_ = Fault::None;
  }
  if (f == Fault::HangUp) {
    hang_up_here();
    return true;
  }
  // Every other fault spoils only the answer: the command itself is obeyed.
  const Frame reply = respond(frame);
  if (reply.empty()) return false;
  const Answer answer = spoil(f, param, reply);
  if (!answer.send) return false;
  if (paced) {
    // The latency runs from the command's last byte on the line, as on a
    // real board; it is over when the reply's first byte sets out.
    if (pause_until(arrived + std::chrono::milliseconds(latency))) return true;
  } else if (latency > 0 && pause_ms(latency)) {
    return true;
  }
  if (answer.delay_ms > 0 && pause_ms(answer.delay_ms)) return true;
  if (!answer.noise.empty()) write_bytes(answer.noise.data(), answer.noise.size());
  write_bytes(answer.reply.data(), answer.reply.size());
  return false;
}

}  // namespace trnsim
