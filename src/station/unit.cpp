#include "unit.h"

namespace trn::station {

namespace rec = trn::records;

Records::Records(const std::string &path, const std::string &station)
    : store_(rec::open_store(path, rec::OpenMode::Create)) {
  abandoned_ = store_->close_abandoned(station);
}

UnitResult test_unit(Engine &engine, rec::Run &run, Records *records,
                     const std::function<void(const UnitResult &)> &handover) {
  UnitResult result;
  run.id = rec::new_run_id();
  run.plan = engine.plan().version();
  run.started = rec::utc_now();
  if (records) records->store().begin(run);
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
