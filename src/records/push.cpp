#include "push.h"

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
    : path_(std::move(path)), conninfo_(std::move(conninfo)), limits_(limits) {
  thread_ = std::thread([this] { loop(); });
}

Pusher::~Pusher() { finish(); }

void Pusher::kick() {
  std::lock_guard<std::mutex> lock(m_);
  wanted_ = true;
  cv_.notify_all();
}

bool Pusher::settle(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(m_);
  return cv_.wait_for(lock, timeout, [this] { return !wanted_ && !busy_; });
}

std::vector<PushReport> Pusher::take_reports() {
  std::lock_guard<std::mutex> lock(m_);
  std::vector<PushReport> taken;
  taken.swap(reports_);
  return taken;
}

void Pusher::finish() {
  {
    std::lock_guard<std::mutex> lock(m_);
    closing_ = true;
    cv_.notify_all();
  }
  if (thread_.joinable()) thread_.join();
}

void Pusher::loop() {
  std::unique_ptr<LocalStore> local;
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(m_);
      cv_.wait(lock, [this] { return wanted_ || closing_; });
      if (!wanted_) return;
      wanted_ = false;
      busy_ = true;
    }
    PushReport report;
    try {
      if (!local) local = open_store(path_, OpenMode::Create);
      report = push_outbox(*local, conninfo_, limits_);
    } catch (const StoreError &e) {
      report.error = e.what();
    }
    std::lock_guard<std::mutex> lock(m_);
    reports_.push_back(report);
    busy_ = false;
    cv_.notify_all();
  }
}

}  // namespace trn::records
