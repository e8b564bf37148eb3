// Serial port service: opens the device that leads to the board, applies
// 9600 baud, even parity with input parity checking, 8 data bits, 1 stop bit,
// raw mode and 100 ms timed reads, and closes it again.
#include "serial.h"

#include <fcntl.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int fd = -1;
bool ServiceState = false;

const char *port_speed = "9600";
const char *port_parity = "e";
const char *port_databits = "8";
const char *port_stopbits = "1";

const int name_arr[SPEED_ROWS] = {50,   75,   110,  134,  150,   200,   300,   600,    1200,
                                  1800, 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};
const int speed_arr[SPEED_ROWS] = {B50,   B75,   B110,  B134,   B150,   B200,
                                   B300,  B600,  B1200, B1800,  B2400,  B4800,
                                   B9600, B19200, B38400, B57600, B115200, B230400};

namespace {
// Whether fd currently holds a descriptor this service opened and has not
// closed yet.  Guarded by exchange_mutex so that the monitor never reads a
// descriptor number that was closed and may have been reused.
bool port_open = false;
std::atomic<bool> closed{false};
int wake_fd = -1;
}  // namespace

bool service_closed() { return closed.load(); }

int service_wake_fd() {
  std::lock_guard<std::mutex> lock(exchange_mutex);
  if (wake_fd < 0) wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  return wake_fd;
}

void set_speed(int fd, int speed) {
  struct termios Opt;
  if (tcgetattr(fd, &Opt) != 0) return;
  for (int i = 0; i < SPEED_ROWS; i++) {
    if (speed == name_arr[i]) {
      tcflush(fd, TCIOFLUSH);
      cfsetispeed(&Opt, speed_arr[i]);
      cfsetospeed(&Opt, speed_arr[i]);
      if (tcsetattr(fd, TCSANOW, &Opt) != 0) {
        perror("tcsetattr fd1");
        return;
      }
      tcflush(fd, TCIOFLUSH);
    }
  }
}

int set_Parity(int fd, int databits, int stopbits, int parity) {
  struct termios options;
  if (tcgetattr(fd, &options) != 0) {
    perror("SetupSerial error\n");
    return 0;
  }
  options.c_cflag &= ~CSIZE;
  switch (databits) {
    case 5: options.c_cflag |= CS5; break;
    case 6: options.c_cflag |= CS6; break;
    case 7: options.c_cflag |= CS7; break;
    case 8: options.c_cflag |= CS8; break;
    default:
      fprintf(stderr, "Unsupported data size ");
      return 0;
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
      fprintf(stderr, "Unsupported parity ");
      return 0;
  }
  switch (stopbits) {
    case 1: options.c_cflag &= ~CSTOPB; break;
    case 2: options.c_cflag |= CSTOPB; break;
    default:
      fprintf(stderr, "Unsupported stop bits ");
      return 0;
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
    perror("SetupSerial 3");
    return 0;
  }
  return 1;
}

int initport(int fd, int speed, int databits, int stopbits) {
  set_speed(fd, speed);
  int letter = 0;
  if (strcmp(port_parity, "n") == 0 || strcmp(port_parity, "none") == 0)
    letter = 'n';
  else if (strcmp(port_parity, "e") == 0 || strcmp(port_parity, "even") == 0)
    letter = 'e';
  else if (strcmp(port_parity, "o") == 0 || strcmp(port_parity, "odd") == 0)
    letter = 'o';
  else if (strcmp(port_parity, "s") == 0 || strcmp(port_parity, "space") == 0)
    letter = 's';
  return set_Parity(fd, databits, stopbits, letter) ? 1 : 0;
}

int OpenTRNService(const char *ttyS_now, const char *speed, const char * /*parity*/,
                   const char *databits, const char *stopbits) {
  int opened = open(ttyS_now, O_RDWR | O_NOCTTY | O_NONBLOCK | O_TRUNC);
  {
    std::lock_guard<std::mutex> lock(exchange_mutex);
    fd = opened;
    port_open = opened >= 0;
    closed = false;
    if (wake_fd >= 0) {  // a new service starts with no pending wake-up
      uint64_t count;
      ssize_t r = read(wake_fd, &count, sizeof count);
      (void)r;
    }
  }
  if (opened == -1) {
    printf("Open : Unable to Open %s\n", ttyS_now);
    return 0;
  }
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
    std::lock_guard<std::mutex> lock(exchange_mutex);
    if (port_open) {
      close(fd);
      port_open = false;
    }
    closed = true;
    if (wake_fd >= 0) {
      uint64_t one = 1;
      ssize_t w = write(wake_fd, &one, sizeof one);
      (void)w;
    }
  }
  exchange_done.notify_all();
}
