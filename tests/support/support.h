// Helpers shared by the test suites: capturing the trace on stdout, a
// simulated board on a pseudo-terminal with the serial service opened on it,
// and running the main loop.  No toolkit here: the toolkit's helpers are in
// gui.h.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "board.h"

// Captures everything written to standard output (descriptor 1) from
// construction until text() or destruction.
class StdoutCapture {
 public:
  StdoutCapture();
  ~StdoutCapture();
  StdoutCapture(const StdoutCapture &) = delete;
  StdoutCapture &operator=(const StdoutCapture &) = delete;
  // Stops capturing (if still capturing) and returns what was written.
  std::string text();

 private:
  int saved_ = -1;
  FILE *file_ = nullptr;
  std::string text_;
};

// A fresh temporary working directory, entered for the life of the object
// and removed with its contents afterwards.
class WorkDir {
 public:
  WorkDir();
  ~WorkDir();
  WorkDir(const WorkDir &) = delete;
  WorkDir &operator=(const WorkDir &) = delete;
  bool ok() const { return ok_; }

 private:
  std::string path_, saved_;
  bool ok_ = false;
};

// Counts the lines of text that equal line exactly.
int count_lines(const std::string &text, const std::string &line);
// Whether text contains needle.
bool contains(const std::string &text, const std::string &needle);

// Runs the main loop until pred() holds or timeout_ms passes; pred's value.
bool pump_until(const std::function<bool()> &pred, int timeout_ms = 5000);
// Runs pending main-loop work for about ms milliseconds.
void pump_for(int ms);

// Called by a test that is skipped for want of a display, so that a binary
// whose skipped tests all needed one reports itself as skipped (exit 77).
void note_no_display();
bool display_missing();

// A simulated board on a pty, with the serial service opened on its slave.
// Frames the board received are in board.received().
class BoardTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  // Frames received by the board, as "1b 42 06 00 00 63 0d" texts.
  std::vector<std::string> wire() const;
  trnsim::Board board;
};
