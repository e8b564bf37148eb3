#include "plan.h"

#include "settings.h"

namespace trn::station {

namespace {

const Check kChecks[] = {
    {"membrane-green", "membrane", "green", "Is the membrane LED green?"},
    {"membrane-orange", "membrane", "orange", "Is the membrane LED orange?"},
    {"nurse-led-on", "nurse-led", "on", "Is the nurse-call LED on?"},
    {"ring-led-on", "ring-led", "on", "Is the ring LED on?"},
    {"backlight-off", nullptr, "off", "Is the backlight off?"},
    {"backlight-on", nullptr, "on", "Is the backlight on again?"},
};

}  // namespace

Plan::Plan(const PlanOptions &options) {
  steps_ = {{"identify", StepKind::Identify, 0}, {"save", StepKind::Save, 0}};
  const auto &table = trn::settings();
  for (size_t i = 0; i < table.size(); ++i) steps_.push_back({table[i].name, StepKind::Setting, i});
  steps_.push_back({"backlight", StepKind::Backlight, 0});
  if (options.checks)
    for (size_t i = 0; i < sizeof kChecks / sizeof kChecks[0]; ++i)
      steps_.push_back({kChecks[i].name, StepKind::Check, i});
  steps_.push_back({"restore", StepKind::Restore, 0});
  if (options.buttons)
    for (size_t i = 0; i < trn::inputs().size(); ++i)
      steps_.push_back({trn::inputs()[i].name, StepKind::Button, i});
}

std::vector<std::string> Plan::names() const {
  std::vector<std::string> names;
  for (const PlannedStep &p : steps_) names.push_back(p.name);
  return names;
}

size_t Plan::slot_of(StepKind kind) const {
  size_t slot = 0;
  while (steps_[slot].kind != kind) ++slot;
  return slot;
}

const Check &Plan::check(size_t index) { return kChecks[index]; }

}  // namespace trn::station
