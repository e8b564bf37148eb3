#include "sim_client.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
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

Program::Program(const std::string &binary, std::vector<std::string> args) {
  int in[2], out[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return;
  pid_ = fork();
  if (pid_ == 0) {
    dup2(in[0], STDIN_FILENO);
    dup2(out[1], STDOUT_FILENO);
    int null = open("/dev/null", O_WRONLY);  // usage errors are expected
    if (null >= 0) dup2(null, STDERR_FILENO);
    std::vector<char *> argv{const_cast<char *>(binary.c_str())};
    for (auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    execv(binary.c_str(), argv.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  in_ = in[1];
  out_ = out[0];
}

Program::~Program() {
  close_stdin();
  if (out_ >= 0) close(out_);
  if (pid_ > 0 && !reaped_) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

void Program::send(const std::string &line) {
  std::string l = line + "\n";
  ASSERT_EQ(write(in_, l.data(), l.size()), static_cast<ssize_t>(l.size()));
}

void Program::close_stdin() {
  if (in_ >= 0) close(in_);
  in_ = -1;
}

std::string Program::read_until(const std::string &text) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (out_text_.find(text) == std::string::npos && std::chrono::steady_clock::now() < until) {
    pollfd p{out_, POLLIN, 0};
    if (poll(&p, 1, 200) <= 0) continue;
    char buf[512];
    ssize_t n = read(out_, buf, sizeof buf);
    if (n <= 0) break;
    out_text_.append(buf, static_cast<size_t>(n));
  }
  return out_text_;
}

std::string Program::first_line() {
  std::string all = read_until("\n");
  return all.substr(0, all.find('\n'));
}

int Program::wait_exit() {
  for (int i = 0; i < 100; ++i) {
    int st = 0;
    if (waitpid(pid_, &st, WNOHANG) == pid_) {
      reaped_ = true;
      return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    }
    usleep(50000);
  }
  return -1;
}

}  // namespace simclient
