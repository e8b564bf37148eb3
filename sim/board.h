// Simulated TRN board on its line.  It owns the master side of a
// pseudo-terminal; the panel (or a test) opens the slave path as if it were
// the serial port.
//
// The board answers every 7-byte command frame with one reply frame, keeps
// every setting of the command catalogue, sends button status frames on
// request and can misbehave on purpose (fault modes).  It reassembles frames
// from the byte stream and resynchronises on ESC 'B' after noise.
//
// In three parts: the model (model.h: settings and answers), the faults
// (faults.h) and the line here (the pty, its pacing at a line rate, the
// reassembly of commands, the log).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "faults.h"
#include "model.h"

namespace trnsim {

struct LogEntry {
  std::chrono::steady_clock::time_point when;
  bool received;   // true: panel -> board; false: board -> panel
  Frame bytes;     // a whole frame, or raw bytes the board sent
};

class Board {
 public:
  Board();
  ~Board();
  Board(const Board &) = delete;
  Board &operator=(const Board &) = delete;

  // Creates the pty pair and starts the service thread.  False on failure.
  bool start();
  // Stops the service thread and closes the master side.
  void stop();
  const std::string &slave_path() const { return slave_path_; }
  int master_fd() const { return master_; }

  // Settings, under the board's lock.
  Settings settings() const;
  void set_settings(const Settings &s);

  void set_fault(Fault f, int param = 0);

  // Time between a command's last byte and the reply (default 10 ms).  A real
  // board cannot answer faster than its 9600-baud line carries the frames
  // (about 8 ms for 7 bytes).
  void set_reply_latency(int ms);
  Fault fault() const;

  // Line rate in baud; 0 (the default) for none: the pty carries bytes at
  // once.  With a rate, both directions of the line are modelled with 11
  // bits a byte (start bit, 8 data bits, parity, stop bit; 1.146 ms a byte
  // at 9600):
  //  - every byte the board sends (replies, status frames, raw bytes,
  //    noise) is written to the master alone, when its last bit would have
  //    left the board: byte k of a run goes out (k + 1) byte times after the
  //    run began, so a 7-byte frame takes 7 byte times (8.02 ms at 9600);
  //    a board held up by a loaded machine sends later, never faster;
  //  - a received command is acted on (logged, obeyed, answered) only when
  //    its last byte would have arrived, and the reply latency is counted
  //    from then (see serve() for how arrival is reckoned).
  // Takes effect from the next run sent and the next bytes read.  From
  // 38400 baud up, the wake-up after each byte's sleep is a sizeable part of
  // a byte time and the line runs slower than its rate.
  void set_line_rate(int baud);
  int line_rate() const;

  // Status frames: the current status bytes are kept; press/release changes
  // one bit and sends a frame.
  void press(Input in);
  void release(Input in);
  void send_status(uint8_t a, uint8_t b);  // raw status bytes, one frame
  uint8_t status_a() const;
  uint8_t status_b() const;
  // Writes bytes as they are (pieces of frames, noise, ...).
  void send_raw(const uint8_t *data, size_t n);
  void send_raw(const Frame &bytes) { send_raw(bytes.data(), bytes.size()); }
  // Closes the master side now (a hang-up).
  void hang_up();

  // Whole frames received from the panel, in order.
  std::vector<Frame> received() const;
  size_t received_count() const;
  void clear_received();
  // Waits until at least n frames have been received or the timeout passes.
  bool wait_received(size_t n, std::chrono::milliseconds timeout) const;

  // Every frame received and every byte run sent, with a timestamp.  A run
  // is in the log before its bytes can be read from the slave.  A received
  // frame's time is when the board acted on it (at a line rate: once its
  // last byte had arrived); a sent run's time is when it began to go out,
  // so at a line rate its byte k is readable no sooner than when + (k + 1)
  // byte times.
  std::vector<LogEntry> log() const;
  // Called (on the service thread or the caller's) for each log entry from
  // now on, in log order, one call at a time.  It may send through the board.
  void set_logger(std::function<void(const LogEntry &)> logger);

  // The reply the board gives to a command frame (no fault applied), by
  // the model (model.h), under the board's lock.
  Frame respond(const Frame &command);

 private:
  void serve();
  void write_bytes(const uint8_t *data, size_t n);
  void record(bool received, const Frame &bytes);
  // Service-thread helpers.  They return true when the thread must end.
  // `arrived`: when the frame's last byte came in (at a line rate, as
  // modelled; else when it was read).
  bool handle_frame(const Frame &frame, std::chrono::steady_clock::time_point arrived);
  bool handle_wake();
  void hang_up_here();
  bool pause_ms(int ms);
  bool pause_until(std::chrono::steady_clock::time_point deadline);
  void press_or_release(Input in, bool pressed);
  // Writes under write_mu_ (held by the caller).  The run enters the log
  // before it goes out, so a client that has read it finds it in log().
  // At a line rate the bytes go out one by one at their times, write_mu_
  // held throughout, so no other run enters the middle of this one.  False
  // if nothing went out.
  bool write_locked(const uint8_t *data, size_t n);
  // Sleeps until `deadline` on the board's clock; false (at once) if a stop
  // or hang-up is asked for meanwhile.  Any thread, write_mu_ held.
  bool line_wait_until(std::chrono::steady_clock::time_point deadline);
  // Hands log entries not yet delivered to the logger, in log order.  Call
  // without holding mu_ or write_mu_.
  void deliver_log();
  void close_master();

  mutable std::mutex mu_;
  mutable std::condition_variable cv_;
  Settings s_;
  Fault fault_ = Fault::None;
  int fault_param_ = 0;
  int reply_latency_ms_ = 10;
  int line_rate_ = 0;                 // baud, 0 for none
  // Woken on stop and hang-up requests, for writers pacing a run.
  std::condition_variable line_cv_;
  uint8_t status_a_ = 0, status_b_ = 0;
  std::vector<Frame> received_;
  std::vector<LogEntry> log_;
  std::function<void(const LogEntry &)> logger_;
  size_t delivered_ = 0;              // log_ entries given to logger_ (mu_)
  std::recursive_mutex deliver_mu_;   // one delivery at a time, in order
  std::mutex write_mu_;
  std::atomic<int> master_{-1};
  // A slave descriptor held open by the board itself, so that the master
  // never reports a hang-up while no client has the slave open.
  int slave_hold_ = -1;
  // Wakes the service thread: stop or hang-up requests (flags below).
  int stop_pipe_[2] = {-1, -1};
  std::atomic<bool> stop_req_{false};
  std::atomic<bool> hangup_req_{false};
  bool thread_done_ = false;  // under mu_
  std::string slave_path_;
  std::thread thread_;
  bool running_ = false;
};

// Time one byte takes on a line of `baud` (11 bits); zero for 0.
std::chrono::nanoseconds byte_time(int baud);

}  // namespace trnsim
