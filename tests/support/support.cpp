#include "support.h"

#include <glib.h>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "serial.h"

StdoutCapture::StdoutCapture() {
  fflush(stdout);
  file_ = tmpfile();
  saved_ = dup(1);
  dup2(fileno(file_), 1);
}

StdoutCapture::~StdoutCapture() { text(); }

std::string StdoutCapture::text() {
  if (file_) {
    fflush(stdout);
    dup2(saved_, 1);
    close(saved_);
    rewind(file_);
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, file_)) > 0) text_.append(buf, n);
    fclose(file_);
    file_ = nullptr;
  }
  return text_;
}

WorkDir::WorkDir() {
  char tmpl[] = "/tmp/trn-test-XXXXXX";
  path_ = mkdtemp(tmpl) ? tmpl : "";
  char cwd[4096];
  saved_ = getcwd(cwd, sizeof cwd) ? cwd : "/";
  ok_ = !path_.empty() && chdir(path_.c_str()) == 0;
}

WorkDir::~WorkDir() {
  if (chdir(saved_.c_str()) != 0) perror("chdir back");
  std::string cmd = "rm -rf '" + path_ + "'";
  if (!path_.empty() && system(cmd.c_str()) != 0) perror("rm");
}

int count_lines(const std::string &text, const std::string &line) {
  int count = 0;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    if (text.compare(start, end - start, line) == 0 && end - start == line.size()) count++;
    start = end + 1;
  }
  return count;
}

bool contains(const std::string &text, const std::string &needle) {
  return text.find(needle) != std::string::npos;
}

bool pump_until(const std::function<bool()> &pred, int timeout_ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!pred()) {
    if (std::chrono::steady_clock::now() > deadline) return pred();
    if (!g_main_context_iteration(nullptr, FALSE)) g_usleep(1000);
  }
  return true;
}

void pump_for(int ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < deadline) {
    if (!g_main_context_iteration(nullptr, FALSE)) g_usleep(1000);
  }
}

namespace {
bool no_display = false;
}  // namespace

void note_no_display() { no_display = true; }

bool display_missing() { return no_display; }

void BoardTest::SetUp() {
  ASSERT_TRUE(board.start());
  StdoutCapture quiet;  // the open prints nothing on success; keep it that way
  ASSERT_EQ(1, OpenTRNService(board.slave_path().c_str(), port_speed, port_parity,
                              port_databits, port_stopbits));
}

void BoardTest::TearDown() {
  CloseTRNService();
  board.stop();
}

std::vector<std::string> BoardTest::wire() const {
  std::vector<std::string> out;
  for (const auto &f : board.received()) out.push_back(trnsim::hex(f));
  return out;
}
