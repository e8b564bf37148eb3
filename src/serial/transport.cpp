// Frame transport: one command frame out, one reply in, with a trace of both
// on standard output.  The exchange flag isLOCK and the exchange lock keep the
// button status monitor off the port while a command waits for its reply.
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "serial.h"

std::atomic<int> isLOCK{0};
std::atomic<unsigned> exchange_count{0};
std::mutex exchange_mutex;
std::condition_variable exchange_done;

namespace {
// Whether this thread's exchange holds exchange_mutex (writeport took it and
// neither readport nor exchange_abandon has released it yet).
thread_local bool holding = false;

void release_exchange() {
  if (holding) {
    holding = false;
    exchange_mutex.unlock();
  }
  exchange_done.notify_all();
}
}  // namespace

int writeport(int fd, const unsigned char *chars) {
  if (!holding) {
    exchange_mutex.lock();
    holding = true;
  }
  isLOCK = 1;
  exchange_count++;
  tcflush(fd, TCIFLUSH);
  ssize_t written = write(fd, chars, 7);
  (void)written;  // a failed or short write shows up as a missing reply
  for (int i = 0; i < 6; i++) printf("len=%d, %x\n", i, chars[i]);
  tcflush(fd, TCIFLUSH);
  return 6;
}

int readport(int fd, unsigned char *result) {
  ssize_t n = read(fd, result, 7);
  return readport_finish(fd, result, n, errno);
}

int readport_finish(int fd, unsigned char *result, ssize_t n, int err) {
  if (n > 0) result[n - 1] = 0x0D;
  // Whatever else arrived while the exchange owned the port (a status frame
  // after an early reply, the rest of a long one) is dropped here, before
  // the flag drops: the monitor would otherwise read it as a fresh frame.
  tcflush(fd, TCIFLUSH);
  if (n < 0) {
    if (err == EAGAIN)
      puts("SERIAL EAGAIN ERROR");
    else
      printf("SERIAL read error %d %s\n", err, strerror(err));
    isLOCK = 0;
    release_exchange();
    return 0;
  }
  tcflush(fd, TCOFLUSH);
  isLOCK = 0;
  release_exchange();
  printf("Get Result = %x %x %x %x %x %x %x\n", result[0], result[1], result[2], result[3],
         result[4], result[5], result[6]);
  return 1;
}

void exchange_abandon() {
  if (holding) {
    holding = false;
    exchange_mutex.unlock();
  }
}
