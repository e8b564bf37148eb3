#include "unit.h"

namespace trn::station {

namespace rec = trn::records;

Records::Records(const std::string &path, const std::string &station)
    : store_(rec::open_store(path, rec::OpenMode::Create)) {
  abandoned_ = store_->close_abandoned(station);
}

namespace {

const rec::Step *step_named(const rec::Run &run, const std::string &name) {
  for (const rec::Step &s : run.steps)
    if (s.name == name) return &s;
  return nullptr;
}

}  // namespace

std::optional<EarlierSave> earlier_save(rec::LocalStore &store, const std::string &dut,
                                        const std::string &run_id) {
  const std::string latest = store.latest_run(dut, run_id);
  if (latest.empty()) return std::nullopt;
  std::string id = latest;
  // A run that restored an earlier one's settings names it in its save
  // step: those are the ones to follow.  Each names an older run, and the
  // bound keeps a doctored file from holding the station up.
  for (int hop = 0; hop < 100; ++hop) {
    rec::Run run;
    for (rec::Run &r : store.show(id))
      if (r.id == id) run = std::move(r);
    // Still open (another station's run under way), or put back.
    if (run.outcome.empty()) return std::nullopt;
    const rec::Step *restore = step_named(run, "restore");
    if (id == latest && restore && restore->outcome == rec::kPass) return std::nullopt;
    const rec::Step *save = step_named(run, "save");
    if (!save || !save->read.is_object() || save->read.empty()) return std::nullopt;
    const std::string prefix = kRestoringEarlier;
    if (save->why.compare(0, prefix.size(), prefix) == 0) {
      const std::string rest = save->why.substr(prefix.size());
      id = rest.substr(0, rest.find(' '));
      continue;
    }
    return EarlierSave{run.id, run.started, save->read};
  }
  return std::nullopt;
}

UnitResult test_unit(Engine &engine, rec::Run &run, Records *records,
                     const std::function<void(const UnitResult &)> &handover) {
  UnitResult result;
  run.id = rec::new_run_id();
  run.plan = engine.plan().version();
  run.started = rec::utc_now();
  if (records) {
    rec::LocalStore &store = records->store();
    store.begin(run);
    if (records->restore_from_record)
      if (std::optional<EarlierSave> earlier = earlier_save(store, run.dut, run.id))
        engine.restore_from(std::move(*earlier));
    // The saved settings are in the record before the board is touched: a
    // run cut short leaves them for the next one.
    engine.on_saved([&](const rec::Step &save, int pos) {
      try {
        store.keep_step(run.id, pos, save);
      } catch (const rec::StoreError &e) {
        engine.abort(std::string("records: ") + e.what());
      }
    });
  }
  engine.run(run);
  if (!records) return result;
  try {
    records->store().finish(run);
  } catch (const rec::StoreError &e) {
    result.not_recorded = e.what();
  }
  if (handover) handover(result);
  return result;
}

}  // namespace trn::station
