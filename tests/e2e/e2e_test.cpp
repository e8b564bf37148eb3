// The real trndemo program against the simulated board under the virtual X
// server: start-up identifies the board and reads it back, a status frame
// reaches the board as the nurse-call write, and closing the window ends the
// program.  The exit path runs "killall trndemo", so every panel started here
// runs inside a private PID namespace where it can reach nothing else.
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>

#include "support.h"
#include "x11_windows.h"

namespace {

const char kTitle[] = "Q742 VXTRNDemo (V1.1.1)";

bool namespaces_available() {
  return system("unshare -p -f --kill-child --mount-proc true >/dev/null 2>&1") == 0;
}

// A trndemo started inside its own PID namespace, under sh so that it is not
// the namespace's first process (which would ignore SIGTERM).
class Panel {
 public:
  // With also_background, a second trndemo (no board) runs beside it in the
  // same namespace, and the shell reports how that one ended as "second=".
  Panel(const std::string &device, const std::string &path_env, bool also_background = false) {
    int out[2];
    if (pipe(out) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], 1);
      close(out[0]);
      close(out[1]);
      setenv("TRN_DEVICE", device.c_str(), 1);
      // The shell keeps the namespace alive until trndemo ends and passes on
      // how it ended.
      std::string script = "PATH='" + path_env + "' '" TRNDEMO_PATH "'; echo \"exit=$?\"";
      if (also_background)
        script = "TRN_DEVICE=/dev/nonexistent-trn '" TRNDEMO_PATH "' >/dev/null 2>&1 & second=$!; " +
                 script + "; wait $second; echo \"second=$?\"";
      execlp("unshare", "unshare", "-p", "-f", "--kill-child", "--mount-proc", "sh", "-c",
             script.c_str(), static_cast<char *>(nullptr));
      _exit(127);
    }
    close(out[1]);
    out_ = out[0];
    reader_ = std::thread([this] {
      char buf[4096];
      ssize_t n;
      while ((n = read(out_, buf, sizeof buf)) > 0) {
        std::lock_guard<std::mutex> lock(mu_);
        trace_.append(buf, n);
      }
    });
  }

  ~Panel() {
    if (pid_ > 0 && !ended_) {
      kill(pid_, SIGKILL);  // unshare --kill-child takes the namespace with it
      waitpid(pid_, nullptr, 0);
    }
    if (reader_.joinable()) reader_.join();
    if (out_ >= 0) close(out_);
  }

  std::string trace() {
    std::lock_guard<std::mutex> lock(mu_);
    return trace_;
  }

  bool wait_trace(const std::string &needle, int timeout_ms) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < end) {
      if (contains(trace(), needle)) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }

  // Waits for the namespace to end; false on timeout.
  bool wait_end(int timeout_ms) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < end) {
      if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
        ended_ = true;
        if (reader_.joinable()) reader_.join();
        return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  bool ended_ = false;
  std::thread reader_;
  std::mutex mu_;
  std::string trace_;
};

class EndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!getenv("DISPLAY")) {
      note_no_display();
      GTEST_SKIP() << "no display";
    }
    hold_display();
    if (!namespaces_available())
      GTEST_SKIP() << "needs a private PID namespace (run as root): the exit path runs killall";
    ASSERT_TRUE(board.start());
  }
  void TearDown() override { board.stop(); }
  trnsim::Board board;
};

TEST_F(EndToEnd, StartsReadsBackFollowsNurseCallAndEndsOnClose) {
  trnsim::Settings s = board.settings();
  s.nurse_led = 0;
  board.set_settings(s);
  Panel panel(board.slave_path(), getenv("PATH"));
  ASSERT_TRUE(panel.wait_trace("g_thread NOT supported", 30000)) << panel.trace();
  std::string trace = panel.trace();
  EXPECT_TRUE(contains(trace, "The comport now is ==>" + board.slave_path() + "<==")) << trace;
  EXPECT_TRUE(contains(trace, "\tThe device is on !!!"));
  EXPECT_FALSE(contains(trace, "Initialize Device Failed !!!"));

  auto frames = board.received();
  ASSERT_GE(frames.size(), 15u);
  EXPECT_EQ("1b 42 00 00 00 5d 0d", trnsim::hex(frames[0]));
  EXPECT_EQ("1b 42 01 00 00 5e 0d", trnsim::hex(frames[1]));
  EXPECT_EQ("1b 42 09 04 00 6a 0d", trnsim::hex(frames[2]));  // first read-back: membrane LED
  EXPECT_EQ("1b 42 0d 00 00 6a 0d", trnsim::hex(frames.back()));  // last: pass-through delay

  board.clear_received();
  board.send_status(0x08, 0x00);  // nurse-call button pressed
  ASSERT_TRUE(board.wait_received(1, std::chrono::seconds(10)));
  EXPECT_EQ("1b 42 0b 01 00 69 0d", trnsim::hex(board.received()[0]));
  EXPECT_TRUE(panel.wait_trace("****************NURSE_CALL_ON", 5000));

  ASSERT_TRUE(wait_window(kTitle, 10000));
  ASSERT_EQ(1, close_windows(kTitle));
  ASSERT_TRUE(panel.wait_end(20000)) << "the panel did not end when its window was closed";
  // killall ended trndemo by its signal, inside destroy: main's tail never ran.
  EXPECT_TRUE(contains(panel.trace(), "exit=143")) << panel.trace();
}

TEST_F(EndToEnd, EndsWithoutKillallOnceTheMonitorIsJoined) {
  // With no killall on the path the process survives its exit handler:
  // gtk_main returns, the monitor is joined and main returns 0.
  Panel panel(board.slave_path(), "/nonexistent");
  ASSERT_TRUE(panel.wait_trace("g_thread NOT supported", 30000)) << panel.trace();
  ASSERT_TRUE(wait_window(kTitle, 10000));
  ASSERT_EQ(1, close_windows(kTitle));
  ASSERT_TRUE(panel.wait_end(20000)) << "join did not complete";
  EXPECT_TRUE(contains(panel.trace(), "exit=0")) << panel.trace();
}

TEST_F(EndToEnd, ClosingOnePanelEndsEveryPanel) {
  Panel panels(board.slave_path(), getenv("PATH"), true);
  ASSERT_TRUE(panels.wait_trace("g_thread NOT supported", 30000)) << panels.trace();
  ASSERT_TRUE(wait_windows(kTitle, 2, 20000));
  ASSERT_EQ(1, close_windows(kTitle, 1));
  ASSERT_TRUE(panels.wait_end(20000)) << "a panel survived the other's exit\n" << panels.trace();
  EXPECT_TRUE(contains(panels.trace(), "exit=143")) << panels.trace();
  EXPECT_TRUE(contains(panels.trace(), "second=143")) << panels.trace();
}

TEST_F(EndToEnd, WithoutBoardTheWindowShowsAnswersAndStartUpReportsOnce) {
  Panel panel("/dev/nonexistent-trn", getenv("PATH"));
  ASSERT_TRUE(wait_window(kTitle, 20000)) << panel.trace();
  ASSERT_TRUE(panel.wait_trace("Initialize Device Failed !!!", 5000));
  std::string trace = panel.trace();
  EXPECT_EQ(1, count_lines(trace, "Initialize Device Failed !!!")) << trace;
  EXPECT_TRUE(contains(trace, "Open : Unable to Open /dev/nonexistent-trn")) << trace;
  EXPECT_GE(ping_window(kTitle, 10000), 0) << "the window does not answer";
  ASSERT_EQ(1, close_windows(kTitle));
  ASSERT_TRUE(panel.wait_end(20000));
}

}  // namespace
