#include "yield.h"

#include <algorithm>
#include <map>
#include <unordered_map>

namespace trn::records {

namespace {

struct Unit {
  std::string group;
  bool counted = false;  // its first pass/fail run is within the filter
  bool first_pass = false, last_pass = false;
  int decisive = 0;  // pass/fail runs
};

struct Tally {
  YieldGroup figures;
  std::unordered_map<std::string, int> failed;  // step name -> fail runs it failed in
};

}  // namespace

std::vector<YieldGroup> compute_yield(const YieldInput &in, GroupBy by, const YieldFilter &f) {
  auto group_of = [by](const YieldRun &r) -> std::string {
    switch (by) {
      case GroupBy::Day:
        return r.started.substr(0, 10);
      case GroupBy::Station:
        return r.station;
      case GroupBy::All:
        break;
    }
    return "all";
  };
  std::map<std::string, Tally> groups;  // sorted by name
  if (by == GroupBy::All) groups["all"];

  std::vector<Unit> units;
  std::unordered_map<std::string, size_t> unit_of_dut;
  units.reserve(in.runs.size());
  unit_of_dut.reserve(in.runs.size());
  auto within = [&f](const YieldRun &r) {
    return r.started >= f.since && (f.station.empty() || r.station == f.station);
  };
  for (const YieldRun &r : in.runs) {
    if (!f.until.empty() && r.started > f.until) continue;
    const bool pass = r.outcome == kPass;
    if (!pass && r.outcome != kFail) {
      if (within(r)) {
        YieldGroup &g = groups[group_of(r)].figures;
        (r.outcome == kError ? g.errors : g.aborted) += 1;
      }
      continue;
    }
    auto found = unit_of_dut.emplace(r.dut, units.size());
    if (found.second) {
      Unit u;
      u.group = group_of(r);
      u.counted = within(r);
      u.first_pass = pass;
      units.push_back(std::move(u));
    }
    Unit &u = units[found.first->second];
    u.last_pass = pass;
    ++u.decisive;
  }

  for (const Unit &u : units) {
    if (!u.counted) continue;
    YieldGroup &g = groups[u.group].figures;
    ++g.units;
    g.first_pass += u.first_pass;
    g.final_pass += u.last_pass;
    g.retests += u.decisive - 1;
  }
  for (const auto &fs : in.failed_steps) {
    auto it = unit_of_dut.find(fs.first);
    if (it != unit_of_dut.end() && units[it->second].counted)
      ++groups[units[it->second].group].failed[fs.second];
  }

  std::vector<YieldGroup> out;
  for (auto &entry : groups) {
    YieldGroup g = entry.second.figures;
    g.group = entry.first;
    std::vector<std::pair<std::string, int>> steps(entry.second.failed.begin(),
                                                   entry.second.failed.end());
    // Most failures first; a tie goes by name, so the list is the same every time.
    std::sort(steps.begin(), steps.end(), [](const auto &a, const auto &b) {
      return a.second != b.second ? a.second > b.second : a.first < b.first;
    });
    g.top_failures.assign(steps.begin(), steps.begin() + std::min<size_t>(steps.size(), 5));
    g.failures = std::move(steps);
    out.push_back(std::move(g));
  }
  return out;
}

Json to_json(const YieldGroup &g) {
  auto fraction = [](double v) { return v < 0 ? Json() : Json(v); };
  Json j;
  j["group"] = g.group;
  j["units"] = g.units;
  j["first_pass_yield"] = fraction(g.first_pass_yield());
  j["final_yield"] = fraction(g.final_yield());
  j["retests"] = g.retests;
  j["errors"] = g.errors;
  j["aborted"] = g.aborted;
  Json top = Json::array();
  for (const auto &t : g.top_failures) top.push_back(Json{{"step", t.first}, {"count", t.second}});
  j["top_failures"] = top;
  return j;
}

}  // namespace trn::records
