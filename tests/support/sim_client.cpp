#include "sim_client.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

namespace simclient {

int open_raw(const std::string &path) {
  int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return -1;
  termios t{};
  if (tcgetattr(fd, &t) != 0) {
    ::close(fd);
    return -1;
  }
  cfmakeraw(&t);
  if (tcsetattr(fd, TCSANOW, &t) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

Port::~Port() {
  if (fd_ >= 0) ::close(fd_);
}

bool Port::write(const std::vector<uint8_t> &bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t w = ::write(fd_, bytes.data() + done, bytes.size() - done);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    done += static_cast<size_t>(w);
  }
  return true;
}

std::vector<uint8_t> Port::read(size_t n, std::chrono::milliseconds timeout) {
  using clock = std::chrono::steady_clock;
  std::vector<uint8_t> out;
  const auto until = clock::now() + timeout;
  while (out.size() < n) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - clock::now());
    if (left.count() <= 0) break;
    pollfd p{fd_, POLLIN, 0};
    int r = poll(&p, 1, static_cast<int>(left.count()));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    uint8_t buf[64];
    size_t want = n - out.size() < sizeof buf ? n - out.size() : sizeof buf;
    ssize_t got = ::read(fd_, buf, want);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;  // hang-up: EOF or EIO
    out.insert(out.end(), buf, buf + got);
  }
  return out;
}

}  // namespace simclient
