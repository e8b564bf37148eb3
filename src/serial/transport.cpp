// Frame transport: one command frame out, one reply in, with a trace of both
// through the trace hook (trace.h).  The exchange flag isLOCK and the exchange lock keep the
// button status monitor off the port while a command waits for its reply;
// both read through the one line of the port, so what the board sends during
// an exchange is read once, by the exchange, and nothing is thrown away.
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "serial.h"

std::atomic<int> isLOCK{0};
namespace trn {
std::mutex exchange_mutex;
std::condition_variable exchange_done;
}  // namespace trn

namespace {

// What an exchange met besides its reply: a frame or a run of dropped bytes.
struct Met {
  unsigned char bytes[trn::FRAME_LEN];
  int n;
  bool frame;
};

// The exchange in progress.  Guarded by exchange_mutex.
struct Exchange {
  trn::ReplyRule is_reply = nullptr;
  unsigned char command[trn::FRAME_LEN] = {};
  bool have_reply = false;
  unsigned char reply[trn::FRAME_LEN] = {};
  std::vector<Met> met;  // traced and handed on after the Get Result line
};
Exchange current;

trn::Line port_line;   // the service's port
trn::Line other_line;  // a descriptor handed to writeport/readport that is not it

std::atomic<trn::MetFrameHandler> met_handler{nullptr};

trn::Line &line_for(int port) {
  if (port == port_line.port()) return port_line;
  if (port != other_line.port()) other_line.attach(port);
  return other_line;
}

void record(const unsigned char *bytes, int n, bool frame) {
  Met m;
  memcpy(m.bytes, bytes, static_cast<size_t>(n));
  m.n = n;
  m.frame = frame;
  current.met.push_back(m);
}

// Frames met before the command went out: none of them can be its reply.
const trn::LineSink before_write{
    [](const unsigned char *frame) {
      record(frame, trn::FRAME_LEN, true);
      return false;
    },
    [](const unsigned char *bytes, int n) { record(bytes, n, false); }};

// After the write: the first frame the rule accepts is the reply; the read
// ends with the bytes that brought it.
const trn::LineSink after_write{
    [](const unsigned char *frame) {
      if (!current.have_reply &&
          (!current.is_reply || current.is_reply(current.command, frame))) {
        memcpy(current.reply, frame, trn::FRAME_LEN);
        current.have_reply = true;
      } else {
        record(frame, trn::FRAME_LEN, true);
      }
      return current.have_reply;
    },
    [](const unsigned char *bytes, int n) { record(bytes, n, false); }};

// Traces what the exchange met and hands its frames on, in arrival order.
void emit_met() {
  const trn::MetFrameHandler handler = met_handler.load();
  for (const Met &m : current.met) {
    trn::trace_key(m.bytes, m.n);
    if (m.frame && handler) handler(m.bytes);
  }
  current.met.clear();
}

}  // namespace

namespace trn {

ExchangeLock::ExchangeLock(ReplyRule is_reply) : lock_(exchange_mutex) {
  current.is_reply = is_reply;
  current.have_reply = false;
  current.met.clear();
}

ExchangeLock::~ExchangeLock() {
  emit_met();
  current.is_reply = nullptr;
  // The monitor may be waiting on the port with no piece in view; a piece
  // left now turns stale only if the line stays quiet, which it is to judge.
  if (port_line.piece_size() > 0) service_wake();
  lock_.unlock();
  exchange_done.notify_all();
}

void set_met_frame_handler(MetFrameHandler handler) { met_handler = handler; }

Line &service_line() { return port_line; }

void trace_key(const unsigned char *bytes, int n) {
  unsigned char c[FRAME_LEN + 1] = {};
  memcpy(c, bytes, static_cast<size_t>(n < FRAME_LEN ? n : FRAME_LEN));
  trace(TraceTo::Out, "key ---> %x %x %x %x %x %x %x %x \n", c[0], c[1], c[2], c[3], c[4], c[5],
        c[6], c[7]);
}

}  // namespace trn

int writeport(int fd, const unsigned char *chars) {
  isLOCK = 1;
  memcpy(current.command, chars, trn::FRAME_LEN);
  current.have_reply = false;
  trn::Line &line = line_for(fd);
  if (fd >= 0) {
    line.drain(before_write);
    line.drop_if_stale(before_write);
  }
  ssize_t written = write(fd, chars, 7);
  (void)written;  // a failed or short write shows up as a missing reply
  for (int i = 0; i < 6; i++) trn::trace(trn::TraceTo::Out, "len=%d, %x\n", i, chars[i]);
  return 6;
}

int readport(int fd, unsigned char *result) {
  return trn::readport_until(fd, result, trn::Clock::now() + std::chrono::milliseconds(100));
}

namespace trn {

int readport_until(int fd, unsigned char *result, Clock::time_point deadline) {
  Line &line = line_for(fd);
  LineResult r = line.drain(after_write);
  if (!current.have_reply && r.end == LineEnd::Drained) r = line.read_until(deadline, after_write);
  if (r.end == LineEnd::Failed) {
    if (r.err == EAGAIN)
      trace(TraceTo::Out, "SERIAL EAGAIN ERROR\n");
    else
      trace(TraceTo::Out, "SERIAL read error %d %s\n", r.err, strerror(r.err));
    isLOCK = 0;
    emit_met();
    return 0;
  }
  // The reply, or else what has come of one so far (it stays in the line:
  // its rest, or the next frame, goes to the next reader).
  int n = 0;
  if (current.have_reply) {
    memcpy(result, current.reply, FRAME_LEN);
    n = FRAME_LEN;
  } else if (line.piece_size() > 0) {
    n = line.piece_size();
    memcpy(result, line.piece(), static_cast<size_t>(n));
  }
  if (n > 0) result[n - 1] = 0x0D;
  tcflush(fd, TCOFLUSH);
  isLOCK = 0;
  trace(TraceTo::Out, "Get Result = %x %x %x %x %x %x %x\n", result[0], result[1], result[2],
        result[3], result[4], result[5], result[6]);
  emit_met();
  return 1;
}

}  // namespace trn
