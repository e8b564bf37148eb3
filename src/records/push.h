// The outbox: a station records every run in its own file first and pushes
// the completed ones to the line's database afterwards, oldest first, so
// that a network or server outage never costs a record or holds up the
// line.  What cannot go now waits, marked unpushed, for the next attempt.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "server.h"
#include "store.h"

namespace trn::records {

struct PushLimits {
  double connect_s = 3;  // to connect
  double budget_s = 10;  // for the whole attempt; what is left waits (0: no limit)
  double answer_s = 0;   // for each answer of the server (0: no limit but the budget)
  const std::atomic<bool> *stop = nullptr;  // set: the attempt ends at once

  // After each run of a station or a self-test: a short connect and a
  // budget per run.
  static PushLimits after_run() { return {}; }
  // `trnctl records push`: everything, however long it takes, as long as
  // the server keeps answering.
  static PushLimits everything() { return {10, 0, 60, nullptr}; }
};

struct PushReport {
  int pushed = 0;     // runs that went (new on the server, or found there already)
  long waiting = 0;   // completed runs still in the outbox afterwards
  bool out_of_time = false;  // the budget ran out before the outbox was empty
  std::string error;  // why the attempt failed; empty when it did not
};

// Pushes the outbox of local to the database at conninfo: in batches, each
// uploaded in one transaction and then marked pushed in the local file.
// Connects only when something waits.
PushReport push_outbox(LocalStore &local, const std::string &conninfo, const PushLimits &limits);

// push_outbox() on a thread of its own, with its own connection to the
// station's file, so that the operator can go on while it waits for the
// server.  Attempts never overlap; reports wait to be taken.  The thread
// blocks SIGINT, SIGTERM, SIGHUP and SIGALRM, so that they reach the
// program's main thread, and an attempt that fails in any way is one
// report with its error.
class Pusher {
 public:
  // path: the station's file (empty: the default one).
  Pusher(std::string path, std::string conninfo, PushLimits limits);
  ~Pusher();
  Pusher(const Pusher &) = delete;
  Pusher &operator=(const Pusher &) = delete;

  // Runs were recorded: an attempt as soon as the one under way has ended.
  void kick();
  // Waits at most timeout for the attempt under way, and the one asked for,
  // to end; true when they have.
  bool settle(std::chrono::milliseconds timeout);
  // The reports of the attempts ended since the last call, oldest first.
  std::vector<PushReport> take_reports();
  // Returns once the attempt under way, and the one asked for, have ended.
  void finish();
  // The same, waiting at most timeout: a thread still in an attempt then is
  // left to end with the program (what it did not push stays waiting in
  // the outbox).  True when the thread ended.
  bool finish(std::chrono::milliseconds timeout);

 private:
  // What the thread shares with the Pusher; the thread keeps it alive when
  // it is left behind.
  struct State {
    std::string path, conninfo;
    PushLimits limits;
    std::mutex m;
    std::condition_variable cv;
    bool wanted = false, busy = false, closing = false;
    std::vector<PushReport> reports;
  };
  static void loop(const std::shared_ptr<State> &state);

  std::shared_ptr<State> state_;
  std::thread thread_;
};

}  // namespace trn::records
