// The self-test engine driven through an observer against the simulated
// board, with no terminal: prompts answered from another thread, a run
// aborted from another thread, and two engines on two boards at once (this
// binary's Engine tests also run under ThreadSanitizer).
#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <thread>

#include "board.h"
#include "engine.h"
#include "support.h"
#include "unit.h"

namespace {

namespace rec = trn::records;
namespace st = trn::station;

// Hears the engine and answers each prompt from a thread of its own: checks
// with yes, except the one named no_to; the button steps by working the
// board's button, except the one named can_not_for; or, with abort_reason,
// aborts the run at the first prompt instead.
class Bench : public st::Observer {
 public:
  std::string no_to, can_not_for, abort_reason;
  std::vector<std::string> events;  // in order, on the engine's thread
  rec::Run run;

  Bench() { EXPECT_TRUE(board_.start()); }
  ~Bench() override {
    if (answerer_.joinable()) answerer_.join();
  }

  void go(st::PlanOptions plan, int timeout_ms = 100) {
    st::EngineOptions options;
    options.port.device = board_.slave_path();
    options.port.timeout_ms = timeout_ms;
    options.plan = plan;
    options.button_timeout_s = 5;
    const trnsim::Settings before = board_.settings();
    st::Engine engine(options, *this);
    engine_ = &engine;
    run.dut = "SN-1";
    engine.run(run);
    if (answerer_.joinable()) answerer_.join();
    const trnsim::Settings after = board_.settings();
    restored = std::memcmp(&before, &after, sizeof before) == 0;
  }
  const rec::Step &step(const std::string &name) const {
    for (const rec::Step &s : run.steps)
      if (s.name == name) return s;
    throw std::runtime_error("no step " + name);
  }
  bool restored = false;

  void run_started(const rec::Run &, const st::Plan &) override { events.push_back("started"); }
  // With abort_at, the run is aborted from another thread as that step starts.
  void step_started(size_t, const std::string &name) override {
    if (name == abort_at) answerer_ = std::thread([this] { engine_->abort(abort_reason); });
  }
  std::string abort_at;
  void step_finished(size_t, const rec::Step &s) override { events.push_back(s.name); }
  void run_finished(const rec::Run &) override { events.push_back("finished"); }
  void prompt(const st::Prompt &p) override {
    if (answerer_.joinable()) answerer_.join();
    answerer_ = std::thread([this, p] { answer(p); });
  }

 private:
  void answer(const st::Prompt &p) {
    if (!abort_reason.empty()) return engine_->abort(abort_reason);
    if (p.kind == st::Prompt::Kind::Check) {
      EXPECT_TRUE(engine_->answer(p.id, p.step == no_to ? st::Answer::No : st::Answer::Yes));
      EXPECT_FALSE(engine_->answer(p.id, st::Answer::Yes)) << "a prompt is answered once";
      return;
    }
    if (p.step == can_not_for) {
      EXPECT_TRUE(engine_->answer(p.id, st::Answer::CanNot));
      return;
    }
    trnsim::Input in;
    ASSERT_TRUE(trnsim::parse_input(p.step, &in)) << p.step;
    board_.press(in);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    board_.release(in);
  }


 public:
  trnsim::Board board_;

 private:
  st::Engine *engine_ = nullptr;
  std::thread answerer_;
};

TEST(Engine, TwoRunsAtOnceOneAnsweredOneAborted) {
  Bench answered, aborted;
  answered.no_to = "ring-led-on";
  answered.can_not_for = "cradle";
  aborted.abort_reason = "the fixture was opened";
  const st::PlanOptions plan{true, true};
  const auto start = std::chrono::steady_clock::now();
  std::thread a([&] { answered.go(plan); });
  std::thread b([&] { aborted.go(plan); });
  a.join();
  b.join();

  // Every planned step told once, between the start and the end.
  ASSERT_EQ(answered.run.steps.size() + 2, answered.events.size());
  EXPECT_EQ("started", answered.events.front());
  EXPECT_EQ("finished", answered.events.back());
  EXPECT_EQ(rec::kFail, answered.run.outcome);
  EXPECT_EQ("no", answered.step("ring-led-on").read);
  EXPECT_EQ("the operator answered no", answered.step("ring-led-on").why);
  EXPECT_EQ("yes", answered.step("membrane-green").read);
  EXPECT_EQ("the operator could not press it", answered.step("cradle").why);
  EXPECT_EQ(rec::kPass, answered.step("vol-up").outcome);
  EXPECT_EQ(answered.run.planned - 2, answered.run.passed);
  EXPECT_TRUE(answered.restored);

  // The abort ends the run at the first prompt, restores the board and
  // gives the reason; what was not reached is skipped.
  EXPECT_EQ(rec::kAborted, aborted.run.outcome);
  EXPECT_EQ("the fixture was opened", aborted.run.reason);
  EXPECT_EQ("the fixture was opened", aborted.step("membrane-green").why);
  EXPECT_EQ(rec::kPass, aborted.step("restore").outcome);
  EXPECT_EQ(rec::kSkipped, aborted.step("cradle").outcome);
  EXPECT_TRUE(aborted.restored);
  // A bound against a hang only: the answers' time limit is 30 s.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
}

// A board that never answers, with a long reply timeout: the abort ends
// the exchange under way, well before its tries could run out (3 x 10 s).
TEST(Engine, AbortEndsAnExchangeUnderWay) {
  Bench bench;
  bench.board_.set_fault(trnsim::Fault::Silent);
  bench.abort_at = "identify";
  bench.abort_reason = "the operator pressed stop";
  const auto start = std::chrono::steady_clock::now();
  bench.go({}, 10000);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));  // not 30 s
  EXPECT_EQ(rec::kAborted, bench.run.outcome);
  EXPECT_EQ("the operator pressed stop", bench.step("identify").why);
}

// Which earlier run's saved settings a retest takes as the unit's own: the
// latest run's, when it did not put them back; through a run that had
// restored an earlier one's in turn; none after a run that put them back,
// or one that saved nothing.
TEST(Engine, EarlierSaveOfARunCutShort) {
  WorkDir dir;
  ASSERT_TRUE(dir.ok());
  auto store = rec::open_store("r.db", rec::OpenMode::Create);
  int n = 0;
  // Records a run of dut: its save step reads volume (or is skipped when
  // volume < 0), then its restore step ends with restore_outcome.
  auto record = [&](const std::string &dut, int volume, const char *restore_outcome,
                    const std::string &save_why = "") {
    rec::Run run;
    run.id = rec::new_run_id();
    run.dut = dut;
    run.started = "2026-12-0" + std::to_string(++n) + "T00:00:00.000Z";
    run.outcome = rec::kAborted;
    rec::Step save, restore;
    save.name = "save";
    save.outcome = volume < 0 ? rec::kSkipped : rec::kPass;
    if (volume >= 0) save.read = st::Json{{"volume", volume}};
    save.why = save_why;
    restore.name = "restore";
    restore.outcome = restore_outcome;
    run.steps = {save, restore};
    store->begin(run);
    store->finish(run);
    return run;
  };
  const rec::Run a = record("A", 11, rec::kSkipped);
  record("A", 15, rec::kSkipped, st::kRestoringEarlier + a.id + " of " + a.started);
  record("B", 4, rec::kSkipped);
  record("B", 15, rec::kPass);
  record("C", 4, rec::kSkipped);
  record("C", -1, rec::kSkipped);
  const auto earlier = st::earlier_save(*store, "A", "new");
  ASSERT_TRUE(earlier);
  EXPECT_EQ(a.id, earlier->run_id);
  EXPECT_EQ(11, earlier->values["volume"]);
  EXPECT_FALSE(st::earlier_save(*store, "B", "new"));
  EXPECT_FALSE(st::earlier_save(*store, "C", "new"));
  EXPECT_FALSE(st::earlier_save(*store, "D", "new"));
}

}  // namespace
