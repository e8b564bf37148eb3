// A simulated board whose answers the test chooses.
//
// ScriptedBoardTest keeps the simulated board from answering by itself and
// instead, for every command frame it receives, sends the reply the test has
// set (any bytes: a wrong checksum, a short frame, a status frame, nothing).
// The reply goes out a little after the command, well inside the exchange's
// 100 ms pause, as a real board's would.
#pragma once

#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "support.h"

class ScriptedBoardTest : public BoardTest {
 protected:
  using Bytes = std::vector<uint8_t>;

  void SetUp() override {
    BoardTest::SetUp();
    board.set_fault(trnsim::Fault::Silent);
    board.set_logger([this](const trnsim::LogEntry &e) {
      if (!e.received) return;
      Bytes reply;
      bool genuine;
      {
        std::lock_guard<std::mutex> lock(mu_);
        reply = reply_;
        genuine = genuine_;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(kReplyDelayMs));
      if (genuine) reply = board.respond(e.bytes);
      if (!reply.empty()) board.send_raw(reply);
    });
  }
  void TearDown() override {
    board.set_logger(nullptr);
    BoardTest::TearDown();
  }

  // Every following command is answered with exactly these bytes (none: no
  // answer at all).
  void reply_with(const Bytes &reply) {
    std::lock_guard<std::mutex> lock(mu_);
    reply_ = reply;
    genuine_ = false;
  }
  // Every following command gets the board's own answer.
  void reply_genuinely() {
    std::lock_guard<std::mutex> lock(mu_);
    genuine_ = true;
  }

  static constexpr int kReplyDelayMs = 30;

 private:
  std::mutex mu_;
  Bytes reply_;
  bool genuine_ = false;
};
