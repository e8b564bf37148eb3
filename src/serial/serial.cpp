// Serial port service: opens the device that leads to the board, applies
// 9600 baud, even parity with input parity checking, 8 data bits, 1 stop bit,
// raw mode and 100 ms timed reads, and closes it again.
#include "serial.h"

#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "trace.h"

int fd = -1;
bool ServiceState = false;

const char *port_speed = "9600";
const char *port_parity = "e";
const char *port_databits = "8";
const char *port_stopbits = "1";

const int name_arr[trn::SPEED_ROWS] = {50,   75,   110,  134,  150,   200,   300,   600,    1200,
                                       1800, 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};
const int speed_arr[trn::SPEED_ROWS] = {B50,   B75,    B110,   B134,   B150,    B200,
                                        B300,  B600,   B1200,  B1800,  B2400,   B4800,
                                        B9600, B19200, B38400, B57600, B115200, B230400};

namespace {
// Whether fd currently holds a descriptor this service opened and has not
// closed yet.  Guarded by exchange_mutex so that the monitor never reads a
// descriptor number that was closed and may have been reused.
bool port_open = false;
std::atomic<bool> closed{false};
int wake_fd = -1;

// Unix98 pseudo-terminal slaves (/dev/pts/N) have majors 136 to 143.
bool is_pty_slave(int port) {
  struct stat st;
  if (fstat(port, &st) != 0 || !S_ISCHR(st.st_mode)) return false;
  unsigned m = major(st.st_rdev);
  return m >= 136 && m <= 143;
}

// A pseudo-terminal cannot carry parity: it takes the rest of the settings
// and clears PARENB.  Once everything else matches, a request whose only
// change is PARENB changes nothing and is refused with EINVAL, so a second
// open of the same pty would fail although the line is set up as far as a
// pty can be.  True when port is a pty whose settings are the wanted ones
// but for the parity bits.
bool pty_took_all_but_parity(int port, const struct termios &wanted) {
  if (!is_pty_slave(port)) return false;
  struct termios now;
  if (tcgetattr(port, &now) != 0) return false;
  const tcflag_t parity = PARENB | PARODD;
  return (now.c_cflag & ~parity) == (wanted.c_cflag & ~parity) &&
         now.c_iflag == wanted.c_iflag && now.c_oflag == wanted.c_oflag &&
         now.c_lflag == wanted.c_lflag && now.c_cc[VTIME] == wanted.c_cc[VTIME] &&
         now.c_cc[VMIN] == wanted.c_cc[VMIN] && cfgetispeed(&now) == cfgetispeed(&wanted) &&
         cfgetospeed(&now) == cfgetospeed(&wanted);
}
}  // namespace

namespace trn {

bool service_closed() { return closed.load(); }

int service_wake_fd() {
  std::lock_guard<std::mutex> lock(exchange_mutex);
  if (wake_fd < 0) wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  return wake_fd;
}

void service_wake() {
  if (wake_fd < 0) return;
  uint64_t one = 1;
  ssize_t w = write(wake_fd, &one, sizeof one);
  (void)w;
}

void SetupReport::add(const char *text, int err) {
  if (count < MAX) failures[count++] = SetupFailure{text, err};
}

void apply_speed(int fd, int speed, SetupReport *report) {
  struct termios Opt;
  if (tcgetattr(fd, &Opt) != 0) return;
  for (int i = 0; i < SPEED_ROWS; i++) {
    if (speed == name_arr[i]) {
      tcflush(fd, TCIOFLUSH);
      cfsetispeed(&Opt, speed_arr[i]);
      cfsetospeed(&Opt, speed_arr[i]);
      if (tcsetattr(fd, TCSANOW, &Opt) != 0) {
        report->add("tcsetattr fd1", errno);
        return;
      }
      tcflush(fd, TCIOFLUSH);
    }
  }
}

bool apply_framing(int fd, int databits, int stopbits, int parity, SetupReport *report) {
  struct termios options;
  if (tcgetattr(fd, &options) != 0) {
    report->add("SetupSerial error\n", errno);
    return false;
  }
  options.c_cflag &= ~CSIZE;
  switch (databits) {
    case 5: options.c_cflag |= CS5; break;
    case 6: options.c_cflag |= CS6; break;
    case 7: options.c_cflag |= CS7; break;
    case 8: options.c_cflag |= CS8; break;
    default:
      report->add("Unsupported data size ", 0);
      return false;
  }
  switch (parity) {
    case 'n':
    case 'N':
      options.c_cflag &= ~PARENB;
      break;
    case 'o':
    case 'O':
      options.c_cflag |= (PARENB | PARODD);
      break;
    case 'e':
    case 'E':
      options.c_cflag |= PARENB;
      options.c_cflag &= ~PARODD;
      break;
    case 's':
    case 'S':
      options.c_cflag &= ~PARENB;
      options.c_cflag &= ~CSTOPB;
      break;
    default:
      report->add("Unsupported parity ", 0);
      return false;
  }
  switch (stopbits) {
    case 1: options.c_cflag &= ~CSTOPB; break;
    case 2: options.c_cflag |= CSTOPB; break;
    default:
      report->add("Unsupported stop bits ", 0);
      return false;
  }
  options.c_cflag |= (CLOCAL | HUPCL | CREAD);
  options.c_iflag = 0;
  if (parity != 'n') options.c_iflag |= INPCK;
  options.c_oflag = 0;
  options.c_lflag = FLUSHO;
  tcflush(fd, TCIFLUSH);
  options.c_cc[VTIME] = 1;  // a tenth of a second
  options.c_cc[VMIN] = 0;
  if (tcsetattr(fd, TCSANOW, &options) != 0) {
    const int err = errno;
    if (err == EINVAL && pty_took_all_but_parity(fd, options)) return true;
    report->add("SetupSerial 3", err);
    return false;
  }
  return true;
}

int parity_letter(const char *text) {
  if (strcmp(text, "n") == 0 || strcmp(text, "none") == 0) return 'n';
  if (strcmp(text, "e") == 0 || strcmp(text, "even") == 0) return 'e';
  if (strcmp(text, "o") == 0 || strcmp(text, "odd") == 0) return 'o';
  if (strcmp(text, "s") == 0 || strcmp(text, "space") == 0) return 's';
  return 0;
}

}  // namespace trn

namespace {
// The panel's trace of a set-up failure, on standard error: perror's form
// for a failed system call, the text alone otherwise.
void trace_setup(const trn::SetupReport &report) {
  for (int i = 0; i < report.count; ++i) {
    const trn::SetupFailure &f = report.failures[i];
    if (f.err)
      trn::trace(trn::TraceTo::Err, "%s: %s\n", f.text, strerror(f.err));
    else
      trn::trace(trn::TraceTo::Err, "%s", f.text);
  }
}
}  // namespace

void set_speed(int fd, int speed) {
  trn::SetupReport report;
  trn::apply_speed(fd, speed, &report);
  trace_setup(report);
}

int set_Parity(int fd, int databits, int stopbits, int parity) {
  trn::SetupReport report;
  const bool ok = trn::apply_framing(fd, databits, stopbits, parity, &report);
  trace_setup(report);
  return ok ? 1 : 0;
}

int initport(int fd, int speed, int databits, int stopbits) {
  set_speed(fd, speed);
  return set_Parity(fd, databits, stopbits, trn::parity_letter(port_parity)) ? 1 : 0;
}

int OpenTRNService(const char *ttyS_now, const char *speed, const char * /*parity*/,
                   const char *databits, const char *stopbits) {
  int opened = open(ttyS_now, O_RDWR | O_NOCTTY | O_NONBLOCK | O_TRUNC);
  {
    std::lock_guard<std::mutex> lock(trn::exchange_mutex);
    fd = opened;
    port_open = opened >= 0;
    trn::service_line().attach(opened);
    closed = false;
    if (wake_fd >= 0) {  // a new service starts with no pending wake-up
      uint64_t count;
      ssize_t r = read(wake_fd, &count, sizeof count);
      (void)r;
    }
  }
  if (opened == -1) {
    trn::trace(trn::TraceTo::Out, "Open : Unable to Open %s\n", ttyS_now);
    return 0;
  }
  // trnctl takes the same lock; the panel only warns and goes on.
  if (flock(opened, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK)
    trn::trace(trn::TraceTo::Err, "%s is in use by another program\n", ttyS_now);
  fcntl(fd, F_SETFL, 0);
  int s = atoi(speed);
  int d = atoi(databits);
  int b = atoi(stopbits);
  if (initport(fd, s, d, b)) {
    ServiceState = true;
    return 1;
  }
  ServiceState = false;
  return 0;
}

void CloseTRNService() {
  {
    std::lock_guard<std::mutex> lock(trn::exchange_mutex);
    if (port_open) {
      close(fd);
      port_open = false;
    }
    closed = true;
    trn::service_wake();
  }
  trn::exchange_done.notify_all();
}

namespace trn {

int open_port(const char *path, PortError *error, std::string *why) {
  auto fail = [&](PortError e, int port) {
    const int err = errno;
    if (port >= 0) close(port);
    *error = e;
    if (e != PortError::Configure) *why = strerror(err);
    return -1;
  };
  why->clear();
  int port = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (port < 0) return fail(PortError::Open, -1);
  if (flock(port, LOCK_EX | LOCK_NB) != 0)
    return fail(errno == EWOULDBLOCK ? PortError::InUse : PortError::Open, port);
  fcntl(port, F_SETFL, 0);  // blocking again: reads wait as VTIME says
  // The panel's own set-up; what failed is told in *why, in one line.
  SetupReport report;
  apply_speed(port, atoi(port_speed), &report);
  const bool ok = apply_framing(port, atoi(port_databits), atoi(port_stopbits),
                                parity_letter(port_parity), &report) &&
                  report.count == 0;
  for (int i = 0; i < report.count; ++i) {
    const SetupFailure &f = report.failures[i];
    std::string text = f.text;
    if (f.err) {  // a prefix ending in a line feed loses it
      while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
      text += std::string(": ") + strerror(f.err);
    }
    *why += text;
  }
  if (!ok && why->empty()) *why = "the line settings were refused";
  if (!ok) return fail(PortError::Configure, port);
  *error = PortError::None;
  return port;
}

void close_port(int port) {
  if (port >= 0) close(port);
}

}  // namespace trn
