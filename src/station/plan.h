// The self-test's plan: its steps in order, from the options, and its
// version, which every record keeps.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace trn::station {

// Raise it whenever the steps change: their list, their order, what they
// write or what passes.
inline constexpr int kPlanVersion = 1;

struct PlanOptions {
  bool buttons = false;  // each button and jack, with prompts
  bool checks = false;   // the outputs only a person can judge, asked about
};

// The outputs only a person can judge: the engine sets each one and asks.
struct Check {
  const char *name;
  const char *setting;  // nullptr: the backlight, which has no setting to read
  const char *value;    // a word of the setting, or off/on for the backlight
  const char *question;
};

enum class StepKind { Identify, Save, Setting, Backlight, Check, Restore, Button };

struct PlannedStep {
  std::string name;
  StepKind kind;
  size_t index;  // of the setting, check or input
};

class Plan {
 public:
  explicit Plan(const PlanOptions &options);
  int version() const { return kPlanVersion; }
  const std::vector<PlannedStep> &steps() const { return steps_; }
  std::vector<std::string> names() const;
  // The slot of the first step of this kind (every plan has one restore).
  size_t slot_of(StepKind kind) const;
  static const Check &check(size_t index);

 private:
  std::vector<PlannedStep> steps_;
};

}  // namespace trn::station
