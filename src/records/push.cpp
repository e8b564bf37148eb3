#include "push.h"

#include <pthread.h>
#include <signal.h>

#include <memory>
#include <utility>

namespace trn::records {

namespace {

// Runs uploaded in one transaction.
constexpr int kBatch = 100;

SteadyClock::time_point after(double s) {
  return SteadyClock::now() +
         std::chrono::duration_cast<SteadyClock::duration>(std::chrono::duration<double>(s));
}

}  // namespace

PushReport push_outbox(LocalStore &local, const std::string &conninfo, const PushLimits &limits) {
  PushReport report;
  ServerLimits server_limits;
  server_limits.connect_s = limits.connect_s;
  server_limits.answer_s = limits.answer_s;
  server_limits.stop = limits.stop;
  if (limits.budget_s > 0) server_limits.deadline = after(limits.budget_s);
  try {
    if (local.unpushed_count() == 0) return report;
    auto server = connect_server(conninfo, server_limits);
    for (;;) {
      if (limits.stop && limits.stop->load()) throw StoreError("interrupted");
      if (SteadyClock::now() >= server_limits.deadline) {
        report.out_of_time = true;
        break;
      }
      const std::vector<Run> batch = local.unpushed(kBatch);
      if (batch.empty()) break;
      // The same time on both sides.  Marked only once the server has
      // committed: a lost answer leaves the runs to go again, and the server
      // keeps its first copy.
      const std::string now = utc_now();
      server->upload(batch, now);
      std::vector<std::string> ids;
      for (const Run &r : batch) ids.push_back(r.id);
      local.mark_pushed(ids, now);
      report.pushed += static_cast<int>(batch.size());
    }
  } catch (const StoreError &e) {
    report.error = redact_text(e.what(), conninfo);
  }
  try {
    report.waiting = local.unpushed_count();
  } catch (const StoreError &e) {
    if (report.error.empty()) report.error = e.what();
  }
  return report;
}

Pusher::Pusher(std::string path, std::string conninfo, PushLimits limits)
    : state_(std::make_shared<State>()) {
  state_->path = std::move(path);
  state_->conninfo = std::move(conninfo);
  state_->limits = limits;
  // The thread starts with these signals blocked (it inherits the mask), so
  // that none is ever delivered to it.
  sigset_t block, old;
  sigemptyset(&block);
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGALRM}) sigaddset(&block, sig);
  pthread_sigmask(SIG_BLOCK, &block, &old);
  std::shared_ptr<State> state = state_;
  thread_ = std::thread([state] { loop(state); });
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

Pusher::~Pusher() { finish(); }

void Pusher::kick() {
  std::lock_guard<std::mutex> lock(state_->m);
  state_->wanted = true;
  state_->cv.notify_all();
}

bool Pusher::settle(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(state_->m);
  return state_->cv.wait_for(lock, timeout,
                             [this] { return !state_->wanted && !state_->busy; });
}

std::vector<PushReport> Pusher::take_reports() {
  std::lock_guard<std::mutex> lock(state_->m);
  std::vector<PushReport> taken;
  taken.swap(state_->reports);
  return taken;
}

void Pusher::finish() {
  {
    std::lock_guard<std::mutex> lock(state_->m);
    state_->closing = true;
    state_->cv.notify_all();
  }
  if (thread_.joinable()) thread_.join();
}

bool Pusher::finish(std::chrono::milliseconds timeout) {
  if (!thread_.joinable()) return true;
  std::unique_lock<std::mutex> lock(state_->m);
  state_->closing = true;
  state_->cv.notify_all();
  if (!state_->cv.wait_for(lock, timeout, [this] { return !state_->wanted && !state_->busy; })) {
    lock.unlock();
    thread_.detach();
    return false;
  }
  lock.unlock();
  thread_.join();
  return true;
}

void Pusher::loop(const std::shared_ptr<State> &state) {
  std::unique_ptr<LocalStore> local;
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(state->m);
      state->cv.wait(lock, [&] { return state->wanted || state->closing; });
      if (!state->wanted) return;
      state->wanted = false;
      state->busy = true;
    }
    PushReport report;
    try {
      if (!local) local = open_store(state->path, OpenMode::Create);
      report = push_outbox(*local, state->conninfo, state->limits);
    } catch (const std::exception &e) {
      report.error = e.what();
    } catch (...) {
      report.error = "the push failed";
    }
    std::lock_guard<std::mutex> lock(state->m);
    state->reports.push_back(report);
    state->busy = false;
    state->cv.notify_all();
  }
}

}  // namespace trn::records
