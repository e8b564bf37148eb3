// A run and a step from a result row of either database, in the column
// order of sql::kRunColumns and sql::kStepColumns.  Row is the database's
// own row type, with column_text(c) (empty for NULL), column_number(c),
// column_null(c) and column_json(c).
#pragma once

#include "record.h"

namespace trn::records {

template <class Row>
Run read_run(const Row &s) {
  Run r;
  r.id = s.column_text(0);
  r.dut = s.column_text(1);
  r.station = s.column_text(2);
  r.operator_name = s.column_text(3);
  r.tool = s.column_text(4);
  r.version = s.column_text(5);
  r.plan = static_cast<int>(s.column_number(6));
  r.started = s.column_text(7);
  r.ended = s.column_text(8);
  r.outcome = s.column_text(9);
  r.try_number = static_cast<int>(s.column_number(10));
  r.options = s.column_json(11);
  r.device = s.column_text(12);
  r.board = s.column_text(13);
  r.model = s.column_text(14);
  r.firmware = s.column_text(15);
  r.duration_ms = s.column_null(16) ? -1 : static_cast<long>(s.column_number(16));
  r.passed = static_cast<int>(s.column_number(17));
  r.planned = static_cast<int>(s.column_number(18));
  r.reason = s.column_text(19);
  return r;
}

// Column 0 is the step's run id.
template <class Row>
Step read_step(const Row &s) {
  Step st;
  st.name = s.column_text(1);
  st.outcome = s.column_text(2);
  st.start_ms = static_cast<long>(s.column_number(3));
  st.ms = static_cast<long>(s.column_number(4));
  st.written = s.column_json(5);
  st.read = s.column_json(6);
  st.tries = static_cast<int>(s.column_number(7));
  st.why = s.column_text(8);
  return st;
}

// A JSON value kept as text: the value, or the text itself when it is not
// JSON (written by hand); null for NULL.
inline Json json_of_text(const std::string &text, bool null) {
  if (null) return Json();
  Json v = Json::parse(text, nullptr, false);
  return v.is_discarded() ? Json(text) : v;
}

}  // namespace trn::records
