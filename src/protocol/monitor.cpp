// Button status monitor: the background thread that waits on the port for
// the board's unsolicited status frames and hands each one to the GUI thread.
//
// It reads through the port's one line, as command exchanges do, and never
// while an exchange owns the port: it holds the exchange lock from its test
// of isLOCK until it has taken what its read found, and when an exchange is
// in progress it sleeps until the exchange has ended and then waits on the
// port again (what woke it was read by the exchange).  The status frames an
// exchange meets come here after it, so every status frame is decoded once.
#include <glib.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <deque>
#include <utility>

#include "VXTRN.h"
#include "serial.h"
#include "settings.h"

unsigned char CRADLE_BUTTON[TOTAL_STATUS] = {};
trn::ReceiveBuffer u = {};

namespace {
std::atomic<trn::StatusHandler> status_handler{nullptr};

std::mutex pending_mutex;
std::deque<std::pair<unsigned char, unsigned char>> pending;

// One idle callback per frame; each takes the oldest pending frame, so the
// GUI thread sees the frames in the order they arrived.
gboolean deliver_status(gpointer) {
  std::pair<unsigned char, unsigned char> status;
  {
    std::lock_guard<std::mutex> lock(pending_mutex);
    if (pending.empty()) return G_SOURCE_REMOVE;
    status = pending.front();
    pending.pop_front();
  }
  trn::decode_status(status.first, status.second);
  if (trn::StatusHandler handler = status_handler.load()) handler(status.first, status.second);
  return G_SOURCE_REMOVE;
}

void post_status(unsigned char a, unsigned char b) {
  {
    std::lock_guard<std::mutex> lock(pending_mutex);
    pending.emplace_back(a, b);
  }
  g_idle_add(deliver_status, nullptr);
}

// The monitor's filter: only frames whose first three bytes are 1b 42 02
// are status frames.
bool is_status_frame(const unsigned char *frame) {
  return frame[0] == trn::FRAME_ESC && frame[1] == trn::FRAME_B &&
         frame[2] == trn::TYPE_BUTTON_STATUS;
}

// A frame an exchange met besides its reply (traced there already) takes
// the path of the monitor's own frames.
void deliver_met_frame(const unsigned char *frame) {
  if (is_status_frame(frame)) post_status(frame[3], frame[4]);
}

// Traces a whole frame and hands a status frame on; anything else (a late
// command reply, a frame of noise) is traced and dropped.
bool handle_frame(const unsigned char *frame) {
  memcpy(u.c, frame, trn::FRAME_LEN);
  trn::trace_key(u.c, trn::FRAME_LEN);
  if (is_status_frame(u.c)) post_status(u.c[3], u.c[4]);
  return false;  // the monitor takes everything there is
}

// Bytes that belong to no frame (noise, a cut-off or stale piece) are traced
// in the same format as a frame: up to seven of them, then 0s.
void trace_dropped(const unsigned char *bytes, int count) { trn::trace_key(bytes, count); }

const trn::LineSink monitor_sink{handle_frame, trace_dropped};

std::atomic<bool> delivering{false};

// Without a wake-up descriptor (the process ran out of descriptors when the
// monitor started), the waits are bounded so that a closed service is still
// noticed within this time.
constexpr int NO_WAKE_POLL_MS = 200;

// Sleeps up to ms milliseconds, or until the service is closed.  poll skips
// a negative descriptor, so a missing wake-up makes this a plain sleep.
void pause_unless_closed(int wake, int ms) {
  struct pollfd p = {wake, POLLIN, 0};
  poll(&p, 1, ms);
}

// Sleeps until the exchange in progress has ended (or the service closed).
void wait_for_exchange() {
  std::unique_lock<std::mutex> lock(trn::exchange_mutex);
  trn::exchange_done.wait(lock, [] { return isLOCK == 0 || trn::service_closed(); });
}

// The lock, taken only when no exchange owns the port.
std::unique_lock<std::mutex> port_unless_exchange() {
  std::unique_lock<std::mutex> lock(trn::exchange_mutex, std::try_to_lock);
  if (lock.owns_lock() && isLOCK) lock.unlock();
  return lock;
}
}  // namespace

namespace trn {

void set_status_handler(StatusHandler handler) { status_handler = handler; }

bool status_delivery() { return delivering.load(); }

// Each element keeps its bit as masked out of its byte, by the inputs'
// table (settings.h); every other bit is ignored.
void decode_status(unsigned char a, unsigned char b) {
  for (const Input &in : inputs())
    CRADLE_BUTTON[in.element] = static_cast<unsigned char>((in.in_a ? a : b) & in.mask);
}

}  // namespace trn

void *CradleButtonStatus(void *) {
  // Named, so that ps, top and gdb show which thread is the monitor (the
  // kernel keeps 15 characters).
  pthread_setname_np(pthread_self(), "CradleButtonSta");
  int port;
  {
    std::lock_guard<std::mutex> lock(trn::exchange_mutex);
    port = fd;
  }
  const int wake = trn::service_wake_fd();
  const int wait_ms = wake < 0 ? NO_WAKE_POLL_MS : -1;
  // From now on the status frames that exchanges meet are decoded too.
  trn::set_met_frame_handler(deliver_met_frame);
  delivering = true;

  int backoff_ms = 100;  // pause after a failed read, doubled up to 1 s
  while (!trn::service_closed()) {
    // With a piece of a frame waiting, the wait ends when the piece would
    // turn stale.  Bytes that arrive meanwhile continue the piece however
    // late this thread gets to read them, so a busy machine alone never
    // splits a frame.
    int timeout = wait_ms;
    {
      std::unique_lock<std::mutex> lock = port_unless_exchange();
      if (!lock.owns_lock()) {
        wait_for_exchange();
        continue;
      }
      const int stale = trn::service_line().stale_in_ms();
      if (stale >= 0 && (timeout < 0 || stale < timeout)) timeout = stale;
    }
    struct pollfd watched[2] = {{port, POLLIN, 0}, {wake, POLLIN, 0}};
    const int ready = poll(watched, 2, timeout);
    if (trn::service_closed()) break;
    if (ready < 0 && errno == EINTR) continue;
    if (ready > 0 && (watched[1].revents & POLLIN)) {
      // An exchange left a piece of a frame: wait again, bounded by it.
      uint64_t count;
      ssize_t n = read(wake, &count, sizeof count);
      (void)n;
    }
    // Readable, hung up or failed: the read below tells which.
    const bool readable =
        ready > 0 && (watched[0].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL));
    if (ready > 0 && !readable) continue;

    trn::LineResult r;
    {
      std::unique_lock<std::mutex> lock = port_unless_exchange();
      if (!lock.owns_lock()) {
        // An exchange owns the port and reads what woke us (the rest of a
        // waiting piece included).  Sleep until it has ended, then wait on
        // the port afresh.
        wait_for_exchange();
        continue;
      }
      if (trn::service_closed()) break;
      trn::Line &line = trn::service_line();
      if (ready < 0) {
        r.end = trn::LineEnd::Failed;
        r.err = errno;
      } else if (readable) {
        r = line.drain(monitor_sink);
      }
      if (r.end == trn::LineEnd::Drained)
        line.drop_if_stale(monitor_sink);  // a line quiet after a piece
      else
        line.drop_piece(monitor_sink);
    }
    if (r.end == trn::LineEnd::HungUp || r.end == trn::LineEnd::Failed) {
      // An error, or the end of file of a port whose other end hung up (the
      // board unplugged): report it, decode nothing, and never retry at once.
      if (ready >= 0) trn::trace(trn::TraceTo::Out, "Receive Error!!\n");
      pause_unless_closed(wake, backoff_ms);
      if (backoff_ms < 1000) backoff_ms *= 2;
      continue;
    }
    if (readable && r.got == 0) {
      // Readable, yet nothing was there: an exchange took the bytes just
      // before we took the lock.  A short pause keeps an odd device that
      // keeps reporting this from turning the loop into a spin.
      pause_unless_closed(wake, 10);
      continue;
    }
    if (r.got > 0) backoff_ms = 100;
  }
  delivering = false;
  trn::set_met_frame_handler(nullptr);
  // What is left of an unfinished frame is read and will never be decoded.
  std::lock_guard<std::mutex> lock(trn::exchange_mutex);
  trn::service_line().drop_piece(monitor_sink);
  return nullptr;
}
