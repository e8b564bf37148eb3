// Serial link to the TRN board: opening and configuring the port (9600 8E1,
// raw, 100 ms read timeout), closing it, and moving one frame each way.
//
// Two threads use the port: the GUI thread for command exchanges and the
// button status monitor for unsolicited frames.  They meet at the exchange
// lock declared at the bottom of this header.
//
// The names at the top level are the panel's fixed names; the helpers beside
// them are the project's own, in namespace trn.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>

#include <sys/types.h>

#include "line.h"
#include "trace.h"

// ---- Port service -------------------------------------------------------

// Descriptor of the open serial device; -1 after a failed open.
extern int fd;
// True once the port has been opened and configured.
extern bool ServiceState;

// Fixed line settings handed to OpenTRNService by start-up.
extern const char *port_speed;     // "9600"
extern const char *port_parity;    // "e"
extern const char *port_databits;  // "8"
extern const char *port_stopbits;  // "1"

// Baud rates and their termios codes, row for row.
namespace trn {
constexpr int SPEED_ROWS = 18;
}  // namespace trn
extern const int name_arr[trn::SPEED_ROWS];
extern const int speed_arr[trn::SPEED_ROWS];

// Opens and configures the device; 1 when usable, else 0.  Sets fd and
// ServiceState.  The parity applied is always the global port_parity.
int OpenTRNService(const char *ttyS_now, const char *speed, const char *parity,
                   const char *databits, const char *stopbits);
// Closes the port and wakes the monitor.  A second call closes nothing.
void CloseTRNService();

// Set-up steps; each failure is traced on standard error (trace.h).
int initport(int fd, int speed, int databits, int stopbits);
void set_speed(int fd, int speed);
int set_Parity(int fd, int databits, int stopbits, int parity);

namespace trn {

// True once CloseTRNService has run.
bool service_closed();
// Readable once the service has been closed, and when an exchange has ended
// leaving a piece of a frame in the port's line (its staleness is then the
// monitor's to judge).  The monitor waits on it next to the port.
int service_wake_fd();
// Makes service_wake_fd readable, if it exists.  Called under exchange_mutex.
void service_wake();

}  // namespace trn

// ---- Frame transport ----------------------------------------------------
//
// An exchange holds the port from its write to the end of its read: it takes
// the exchange lock as an ExchangeLock for the whole of it, and writeport and
// readport run inside one.  Both read through service_line(), the one reader
// of the service's port, which the button status monitor reads through too.
//
// Nothing that arrives is thrown away.  writeport first takes what is
// pending into the line (none of it can be the reply); readport takes the
// first frame that the exchange's reply rule accepts as the reply and keeps
// reading what has arrived.  Every other frame and every run of bytes that
// forms no frame is traced with "key ---> " after the Get Result line, in
// the order it arrived, and each such frame is then handed to the met-frame
// handler (the monitor's status path) when one is set.  A piece of a frame
// still arriving stays in the line for the next reader.

// 1 from the start of writeport until readport returns (or an exchange gives
// up after writeport, in which case it stays 1).
extern std::atomic<int> isLOCK;

namespace trn {

// Whether frame is the reply to command.  Without a rule the first frame
// read after the write is the reply.
using ReplyRule = bool (*)(const unsigned char *command, const unsigned char *frame);

// Holds the port for one exchange, from construction to destruction: the
// exchange lock, and the exchange's record of what it meets.  On the way out
// it traces and hands on what readport has not, releases the lock and
// notifies exchange_done.
class ExchangeLock {
 public:
  explicit ExchangeLock(ReplyRule is_reply = nullptr);
  ~ExchangeLock();
  ExchangeLock(const ExchangeLock &) = delete;
  ExchangeLock &operator=(const ExchangeLock &) = delete;

 private:
  std::unique_lock<std::mutex> lock_;
};

}  // namespace trn

// Inside an ExchangeLock: raises isLOCK, takes what is pending into the line,
// writes the 7 bytes and traces the first six.  Returns 6.
int writeport(int fd, const unsigned char *chars);
// Inside an ExchangeLock, after writeport: takes what has arrived and, if the
// reply is not among it, waits for the reply up to 100 ms from now.  The
// reply (or, without one, the piece of a frame received so far) goes into
// result with CR over its last byte; positions not reached keep the caller's
// content.  Lowers isLOCK, traces "Get Result = ..." and then what else it
// met.  1 unless a read failed.
int readport(int fd, unsigned char *result);
namespace trn {

// readport with its own deadline, for an exchange that does not pause
// before it reads (the fast exchange: 100 ms from the write).
int readport_until(int fd, unsigned char *result, Clock::time_point deadline);

// Called for each frame an exchange met that was not its reply, after its
// trace line, in the order the frames arrived.  Null: they are traced only.
using MetFrameHandler = void (*)(const unsigned char *frame);
void set_met_frame_handler(MetFrameHandler handler);

// One "key ---> " trace line: n bytes (a frame or a run of dropped bytes)
// padded with 0s to eight values.
void trace_key(const unsigned char *bytes, int n);

// The one reader of the service's port (attached by OpenTRNService).  Used
// only under exchange_mutex.
Line &service_line();

// ---- Exchange lock --------------------------------------------------------
// An exchange holds exchange_mutex for its whole span (ExchangeLock).  The
// monitor holds it from its test of isLOCK until it has taken what its read
// found, so no exchange can begin in between.  exchange_done is notified
// whenever an exchange ends or the service closes.
extern std::mutex exchange_mutex;
extern std::condition_variable exchange_done;

// ---- Ports for programs other than the panel ------------------------------

// The set-up steps beneath initport, set_speed and set_Parity, which report
// what failed instead of tracing it.
struct SetupFailure {
  const char *text;  // the trace's text: perror's prefix, or the whole text
  int err;           // errno of a failed system call; 0 for a text alone
};
struct SetupReport {
  static constexpr int MAX = 2;  // the speed's failure, then the framing's
  SetupFailure failures[MAX] = {};
  int count = 0;
  void add(const char *text, int err);
};
void apply_speed(int fd, int speed, SetupReport *report);
bool apply_framing(int fd, int databits, int stopbits, int parity, SetupReport *report);
// The parity letter for port_parity's text ('n', 'e', 'o', 's'); 0 when
// the text names none.
int parity_letter(const char *text);

enum class PortError { None, Open, InUse, Configure };

// Opens path with the panel's line settings (9600 8E1, raw, 100 ms timed
// reads) and an exclusive lock on it, printing nothing.  Returns the
// descriptor, or -1 with *error and *why (the system's text) set; InUse when
// another program holds the lock.  Leaves the panel's globals alone.
int open_port(const char *path, PortError *error, std::string *why);
void close_port(int port);

}  // namespace trn
