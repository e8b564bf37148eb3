// Simulated TRN board on the master side of a pseudo-terminal.
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
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace trnsim {

namespace {

constexpr uint8_t kEsc = 0x1B;
constexpr uint8_t kLetter = 0x42;  // 'B'
constexpr uint8_t kCr = 0x0D;
constexpr size_t kFrameLen = 7;
constexpr int kWriteTimeoutMs = 1000;  // a slave nobody reads: give up then
// A byte on the line: start bit, 8 data bits, parity bit, stop bit.
constexpr long long kBitsPerByte = 11;

uint8_t checksum(uint8_t type, uint8_t rw, uint8_t value) {
  return static_cast<uint8_t>(kEsc + kLetter + type + rw + value);
}

// A well-formed command: lead-in, checksum and terminator all right.
bool frame_ok(const Frame &f) {
  return f.size() == kFrameLen && f[0] == kEsc && f[1] == kLetter &&
         f[5] == checksum(f[2], f[3], f[4]) && f[6] == kCr;
}

// Which status byte and bit an input drives.
void input_bit(Input in, bool *byte_a, uint8_t *mask) {
  switch (in) {
    case Input::Cradle:    *byte_a = true;  *mask = 0x01; return;
    case Input::Power:     *byte_a = true;  *mask = 0x02; return;
    case Input::NurseCall: *byte_a = true;  *mask = 0x08; return;
    case Input::LineOut:   *byte_a = true;  *mask = 0x40; return;
    case Input::MicIn:     *byte_a = true;  *mask = 0x80; return;
    case Input::VolDown:   *byte_a = false; *mask = 0x01; return;
    case Input::VolUp:     *byte_a = false; *mask = 0x02; return;
    case Input::ChDown:    *byte_a = false; *mask = 0x04; return;
    case Input::ChUp:      *byte_a = false; *mask = 0x08; return;
  }
  *byte_a = true;
  *mask = 0;
}

void close_fd(int *fd) {
  if (*fd >= 0) ::close(*fd);
  *fd = -1;
}

void drain(int fd) {
  uint8_t buf[64];
  while (::read(fd, buf, sizeof buf) > 0) {
  }
}

}  // namespace

std::chrono::nanoseconds byte_time(int baud) {
  if (baud <= 0) return std::chrono::nanoseconds(0);
  return std::chrono::nanoseconds(kBitsPerByte * 1000000000LL / baud);
}

Frame make_frame(uint8_t type, uint8_t rw, uint8_t value) {
  return Frame{kEsc, kLetter, type, rw, value, checksum(type, rw, value), kCr};
}

std::string hex(const Frame &bytes) {
  std::string out;
  char b[4];
  for (size_t i = 0; i < bytes.size(); ++i) {
    snprintf(b, sizeof b, i ? " %02x" : "%02x", bytes[i]);
    out += b;
  }
  return out;
}

// Lenient: case, '-', '_' and blanks do not matter ("Vol_Down", "voldown").
bool parse_input(const std::string &name, Input *out) {
  std::string key;
  for (char c : name) {
    if (c == '-' || c == '_' || std::isspace(static_cast<unsigned char>(c))) continue;
    key += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  static const struct {
    const char *key;
    Input in;
  } names[] = {
      {"cradle", Input::Cradle},      {"voldown", Input::VolDown},
      {"volumedown", Input::VolDown}, {"volup", Input::VolUp},
      {"volumeup", Input::VolUp},     {"chdown", Input::ChDown},
      {"channeldown", Input::ChDown}, {"chup", Input::ChUp},
      {"channelup", Input::ChUp},     {"power", Input::Power},
      {"nurse", Input::NurseCall},    {"nursecall", Input::NurseCall},
      {"lineout", Input::LineOut},    {"micin", Input::MicIn},
  };
  for (const auto &n : names) {
    if (key == n.key) {
      if (out) *out = n.in;
      return true;
    }
  }
  return false;
}

const char *input_name(Input in) {
  switch (in) {
    case Input::Cradle: return "cradle";
    case Input::VolDown: return "vol-down";
    case Input::VolUp: return "vol-up";
    case Input::ChDown: return "ch-down";
    case Input::ChUp: return "ch-up";
    case Input::Power: return "power";
    case Input::NurseCall: return "nurse";
    case Input::LineOut: return "line-out";
    case Input::MicIn: return "mic-in";
  }
  return "?";
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

void Board::press(Input in) { set_input(in, true); }

void Board::release(Input in) { set_input(in, false); }

void Board::set_input(Input in, bool pressed) {
  bool a;
  uint8_t mask;
  input_bit(in, &a, &mask);
  {
    // write_mu_ first: two presses on two threads reach the line in the
    // order their status bytes were formed.
    std::lock_guard<std::mutex> wl(write_mu_);
    Frame f;
    {
      std::lock_guard<std::mutex> lk(mu_);
      uint8_t &status = a ? status_a_ : status_b_;
      status = pressed ? static_cast<uint8_t>(status | mask) : static_cast<uint8_t>(status & ~mask);
      f = make_frame(0x02, status_a_, status_b_);
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
    Frame f = make_frame(0x02, a, b);
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

// The board's answer to one command.  Settings the board does not
// understand get no answer, as a real board would ignore them:
//  - a frame with a wrong lead-in, checksum or terminator;
//  - an unknown type, or an unknown operation selector of a known type.
// Written values outside a setting's range are clamped into it (volume and
// brightness 0..15, ring frequency 1..6, delay 1..10, ring loudness and the
// on/off states to 0/1); masks, the interval and EEPROM bytes are stored as
// given.
Frame Board::respond(const Frame &c) {
  if (!frame_ok(c)) return {};
  const uint8_t type = c[2], rw = c[3], v = c[4];
  auto clamp = [](uint8_t x, uint8_t lo, uint8_t hi) {
    return std::min(std::max(x, lo), hi);
  };
  auto step = [&](uint8_t *setting) -> Frame {
    switch (rw) {
      case 0x00: break;                                        // read
      case 0x01: *setting = std::min<uint8_t>(v, 15); break;   // set
      case 0x02: if (*setting > 0) --*setting; break;          // one down
      case 0x03: if (*setting < 15) ++*setting; break;         // one up
      default: return {};
    }
    return make_frame(type, rw, *setting);
  };
  // Nurse-call LED and pass-through answer a write with the new state in
  // the rw position (the panel reads that byte back).
  auto state = [&](uint8_t *setting) -> Frame {
    if (rw == 0x02) return make_frame(type, rw, *setting);
    if (rw > 0x01) return {};
    *setting = rw;
    return make_frame(type, *setting, 0x00);
  };

  std::lock_guard<std::mutex> lk(mu_);
  Settings &s = s_;
  switch (type) {
    case 0x00:
      return make_frame(type, s.major, s.minor);
    case 0x01:
      return make_frame(type, 0x00, s.firmware);
    case 0x02:
      if (rw != 0x01) return {};
      s.interval = v;
      return make_frame(type, rw, s.interval);
    case 0x03:
      switch (rw) {
        case 0x00:
        case 0x01:
          s.ring_on = rw;
          return make_frame(type, rw, s.ring_on);
        case 0x02:
          return make_frame(type, rw, s.ring_on);
        case 0x03:  // loudness: value 2 reads, anything else writes
          if (v != 0x02) s.ring_volume = v ? 1 : 0;
          return make_frame(type, rw, s.ring_volume);
        case 0x04:  // frequency: value 0 reads
          if (v != 0x00) s.ring_freq = clamp(v, 1, 6);
          return make_frame(type, rw, s.ring_freq);
        default:
          return {};
      }
    case 0x04:
      if (rw <= 0x01) s.ring_led = rw;
      else if (rw != 0x02) return {};
      return make_frame(type, rw, s.ring_led);
    case 0x05:
      s.backlight = rw ? 1 : 0;
      return make_frame(type, rw, s.backlight);
    case 0x06:
      return step(&s.volume);
    case 0x07:
      return step(&s.brightness);
    case 0x08:
      if (rw > 0x05) return {};
      if (rw != 0x00) s.audio_option = rw;
      return make_frame(type, rw, s.audio_option);
    case 0x09:
      if (rw > 0x04) return {};
      if (rw != 0x04) s.membrane = rw;
      return make_frame(type, rw, s.membrane);
    case 0x0A:
      switch (rw) {
        case 0x00: return make_frame(type, rw, s.switch1);
        case 0x01: return make_frame(type, rw, s.switch2);
        case 0x80: s.switch1 = v; return make_frame(type, rw, s.switch1);
        case 0x81: s.switch2 = v; return make_frame(type, rw, s.switch2);
        default: return {};
      }
    case 0x0B:
      return state(&s.nurse_led);
    case 0x0C:
      return state(&s.pass_through);
    case 0x0D:
      if (rw == 0x01) s.pass_delay = clamp(v, 1, 10);
      else if (rw != 0x00) return {};
      return make_frame(type, rw, s.pass_delay);
    case 0xF0:
    case 0xF1:
      s.eeprom[type & 1][rw] = v;
      return make_frame(type, rw, s.eeprom[type & 1][rw]);
    default:
      return {};
  }
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
  Frame pending;  // bytes of the frame being assembled, from ESC 'B' on
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
    // Reassemble: drop bytes until ESC 'B', then take 7 bytes.  A frame
    // that turns out bad is scanned again from its second byte, so a
    // partial frame followed by a whole one loses only the partial one.
    Frame input(buf, buf + got);
    for (size_t i = 0; i < input.size() && !end; ++i) {
      uint8_t b = input[i];
      if (pending.empty()) {
        if (b == kEsc) pending.push_back(b);
      } else if (pending.size() == 1) {
        if (b == kLetter) pending.push_back(b);
        else if (b != kEsc) pending.clear();
      } else {
        pending.push_back(b);
        if (pending.size() == kFrameLen) {
          Frame f;
          f.swap(pending);
          if (per_byte.count() > 0 && pause_until(at[i])) {
            end = true;
            break;
          }
          end = handle_frame(f, at[i]);
          if (!frame_ok(f)) {
            // Re-feed f[1..6] before the rest of this read.  They arrived
            // long since: as far as the line goes they count as arrived now.
            input.insert(input.begin() + static_cast<long>(i) + 1, f.begin() + 1, f.end());
            at.insert(at.begin() + static_cast<long>(i) + 1, kFrameLen - 1, at[i]);
          }
        }
      }
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
  Frame reply = respond(frame);
  if (reply.empty() || f == Fault::Silent) return false;
  if (paced) {
    // The latency runs from the command's last byte on the line, as on a
    // real board; it is over when the reply's first byte sets out.
    if (pause_until(arrived + std::chrono::milliseconds(latency))) return true;
  } else if (latency > 0 && pause_ms(latency)) {
    return true;
  }
  switch (f) {
    case Fault::BadChecksum:
      reply[5] = static_cast<uint8_t>(reply[5] + 1);
      break;
    case Fault::Short:
      reply.resize(param > 0 ? std::min<size_t>(static_cast<size_t>(param), kFrameLen) : 4);
      break;
    case Fault::Delay:
      if (param > 0 && pause_ms(param)) return true;
      break;
    case Fault::Noise: {
      // 00 ff 55 repeated: no ESC in it, so never a false lead-in.
      static const uint8_t pattern[] = {0x00, 0xFF, 0x55};
      Frame noise(param > 0 ? static_cast<size_t>(param) : 3);
      for (size_t i = 0; i < noise.size(); ++i) noise[i] = pattern[i % 3];
      write_bytes(noise.data(), noise.size());
      break;
    }
    default:
      break;
  }
  write_bytes(reply.data(), reply.size());
  return false;
}

}  // namespace trnsim
