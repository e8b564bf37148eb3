#include "columns.h"

#include <algorithm>

namespace trn::records {

// The database's order is that of its SELECT lists; JSON and CSV keep the
// order their readers have always had.
const std::vector<Column<Run>> kRunTable = {
    // name          member               null               json csv  writes
    {"id", &Run::id, Null::Never, 0, 0, kAtBegin},
    {"dut", &Run::dut, Null::Never, 1, 1, kAtBegin},
    {"station", &Run::station, Null::Never, 2, 2, kAtBegin},
    {"operator", &Run::operator_name, Null::Never, 3, 3, kAtBegin},
    {"tool", &Run::tool, Null::Never, 4, 9, kAtBegin},
    {"version", &Run::version, Null::Never, 5, 10, kAtBegin},
    {"plan", &Run::plan, Null::Never, 6, 8, kAtBegin},
    {"started", &Run::started, Null::Never, 7, 4, kAtBegin},
    {"ended", &Run::ended, Null::IfEmpty, 8, 5, kAtFinish},
    {"outcome", &Run::outcome, Null::IfEmpty, 15, 6, kAtFinish},
    {"try", &Run::try_number, Null::Never, 17, 7, kNone},
    {"options", &Run::options, Null::Never, 10, -1, kAtBegin | kAtFinish},
    {"device", &Run::device, Null::IfEmpty, 11, 11, kAtBegin | kAtFinish},
    {"board", &Run::board, Null::IfEmpty, 12, 12, kAtFinish},
    {"model", &Run::model, Null::IfEmpty, 13, 13, kAtFinish},
    {"firmware", &Run::firmware, Null::IfEmpty, 14, 14, kAtFinish},
    {"duration_ms", &Run::duration_ms, Null::IfNegative, 9, 15, kAtFinish},
    {"passed", &Run::passed, Null::Never, 18, 16, kAtFinish},
    {"planned", &Run::planned, Null::Never, 19, 17, kAtFinish},
    {"reason", &Run::reason, Null::IfEmpty, 16, 18, kAtFinish},
};

const std::vector<Column<Step>> kStepTable = {
    {"name", &Step::name, Null::Never, 0, -1, kNone},
    {"outcome", &Step::outcome, Null::Never, 1, -1, kNone},
    {"start_ms", &Step::start_ms, Null::Never, 2, -1, kNone},
    {"ms", &Step::ms, Null::Never, 3, -1, kNone},
    {"written", &Step::written, Null::IfEmpty, 4, -1, kNone},
    {"read", &Step::read, Null::IfEmpty, 5, -1, kNone},
    {"tries", &Step::tries, Null::Never, 6, -1, kNone},
    {"why", &Step::why, Null::IfEmpty, 7, -1, kNone},
};

namespace {

std::string dumped(const Json &v) { return v.dump(-1, ' ', false, Json::error_handler_t::replace); }

// Each kind of member: bound, read, as JSON and as a CSV cell.
void bind(Params &p, const std::string &v, Null n) {
  if (n == Null::IfEmpty && v.empty())
    p.null();
  else
    p.text(v);
}
void bind(Params &p, int v, Null) { p.number(v); }
void bind(Params &p, long v, Null n) {
  if (n == Null::IfNegative && v < 0)
    p.null();
  else
    p.number(v);
}
void bind(Params &p, const Json &v, Null n) {
  if (!v.is_null())
    p.text(dumped(v));
  else if (n == Null::Never)
    p.text("{}");
  else
    p.null();
}

void read(const Row &row, int c, std::string &v, Null) { v = row.text(c); }
void read(const Row &row, int c, int &v, Null) { v = static_cast<int>(row.number(c)); }
void read(const Row &row, int c, long &v, Null n) {
  v = n == Null::IfNegative && row.null(c) ? -1 : static_cast<long>(row.number(c));
}
void read(const Row &row, int c, Json &v, Null) { v = row.json(c); }

Json json_of(const std::string &v, Null n) {
  return n == Null::IfEmpty && v.empty() ? Json() : Json(v);
}
Json json_of(int v, Null) { return v; }
Json json_of(long v, Null n) { return n == Null::IfNegative && v < 0 ? Json() : Json(v); }
Json json_of(const Json &v, Null) { return v; }

// A text cell (RFC 4180), guarded for spreadsheets: a cell starting with
// = + - @ TAB or CR would be taken as a formula, so it starts with ' instead
// (inside the quotes when it has them).
std::string csv_of(const std::string &v, Null) {
  const bool formula = !v.empty() && std::string("=+-@\t\r").find(v[0]) != std::string::npos;
  const std::string text = formula ? "'" + v : v;
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string out = "\"";
  for (char c : text) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}
std::string csv_of(int v, Null) { return std::to_string(v); }
std::string csv_of(long v, Null n) { return n == Null::IfNegative && v < 0 ? "" : std::to_string(v); }
std::string csv_of(const Json &v, Null) { return csv_of(dumped(v), Null::Never); }

template <class R>
void read_columns(const Row &row, int first, R &r, const std::vector<Column<R>> &table) {
  int c = first;
  for (const Column<R> &col : table)
    std::visit([&](auto m) { read(row, c++, r.*m, col.null); }, col.member);
}

template <class R>
void bind_columns(Params &p, const R &r, const std::vector<Column<R>> &table, unsigned writes) {
  for (const Column<R> &col : table)
    if (writes == kNone || (col.writes & writes))
      std::visit([&](auto m) { bind(p, r.*m, col.null); }, col.member);
}

// The columns that have a place in an output, in that place's order.
template <class R>
std::vector<const Column<R> *> in_order(const std::vector<Column<R>> &table, int Column<R>::*place) {
  std::vector<const Column<R> *> out;
  for (const Column<R> &col : table)
    if (col.*place >= 0) out.push_back(&col);
  std::sort(out.begin(), out.end(),
            [place](const Column<R> *a, const Column<R> *b) { return a->*place < b->*place; });
  return out;
}

template <class R>
Json json_object(const R &r, const std::vector<Column<R>> &table) {
  static const auto order = in_order(table, &Column<R>::json);
  Json j;
  for (const Column<R> *col : order)
    std::visit([&](auto m) { j[col->name] = json_of(r.*m, col->null); }, col->member);
  return j;
}

template <class R>
std::string names(const std::vector<Column<R>> &table, const char *prefix, unsigned writes = kNone) {
  std::string out;
  for (const Column<R> &col : table)
    if (writes == kNone || (col.writes & writes))
      out += (out.empty() ? "" : ", ") + std::string(prefix) + col.name;
  return out;
}

std::string placeholders(int first, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += (i ? ", $" : "$") + std::to_string(first + i);
  return out;
}

int count(unsigned writes) {
  int n = 0;
  for (const Column<Run> &col : kRunTable) n += (col.writes & writes) != 0;
  return n;
}

}  // namespace

Run read_run(const Row &row) {
  Run r;
  read_columns(row, 0, r, kRunTable);
  return r;
}

Step read_step(const Row &row) {
  Step st;
  read_columns(row, 1, st, kStepTable);
  return st;
}

void bind_run(Params &p, const Run &run, unsigned writes) { bind_columns(p, run, kRunTable, writes); }

void bind_step(Params &p, const std::string &run_id, int pos, const Step &step) {
  p.text(run_id).number(pos);
  bind_columns(p, step, kStepTable, kNone);
}

Json to_json(const Step &st) { return json_object(st, kStepTable); }

Json to_json(const Run &r) {
  Json j = json_object(r, kRunTable);
  Json steps = Json::array();
  for (const Step &st : r.steps) steps.push_back(to_json(st));
  j["steps"] = steps;
  return j;
}

void write_csv(const std::vector<Run> &runs, const std::function<void(const std::string &)> &line) {
  static const auto order = in_order(kRunTable, &Column<Run>::csv);
  std::string text;
  for (const Column<Run> *col : order) text += (text.empty() ? "" : ",") + std::string(col->name);
  line(text);
  for (const Run &r : runs) {
    text.clear();
    for (size_t i = 0; i < order.size(); ++i) {
      if (i) text += ',';
      std::visit([&](auto m) { text += csv_of(r.*m, order[i]->null); }, order[i]->member);
    }
    line(text);
  }
}

namespace sql {

const std::string &run_columns() {
  static const std::string text = names(kRunTable, "r.");
  return text;
}

const std::string &step_columns() {
  static const std::string text = "s.run_id, " + names(kStepTable, "s.");
  return text;
}

const std::string &begin_run() {
  static const std::string text = [] {
    const int n = count(kAtBegin);
    int dut = 0;  // the $ of the run's DUT id
    for (const Column<Run> &col : kRunTable)
      if (col.writes & kAtBegin) {
        ++dut;
        if (std::string(col.name) == "dut") break;
      }
    return "INSERT INTO runs (" + names(kRunTable, "", kAtBegin) + ", owner, try) VALUES (" +
           placeholders(1, n + 1) + ", (SELECT COUNT(*) + 1 FROM runs WHERE dut = $" +
           std::to_string(dut) + ")) RETURNING try";
  }();
  return text;
}

const std::string &finish_run() {
  static const std::string text = [] {
    std::string set;
    int n = 1;
    for (const Column<Run> &col : kRunTable)
      if (col.writes & kAtFinish)
        set += (set.empty() ? "" : ", ") + std::string(col.name) + " = $" + std::to_string(++n);
    return "UPDATE runs SET " + set + " WHERE id = $1 AND outcome IS NULL";
  }();
  return text;
}

const std::string &insert_steps() {
  static const std::string text = "INSERT INTO steps (run_id, pos, " + names(kStepTable, "") +
                                  ") VALUES ";
  return text;
}
int step_row_size() { return static_cast<int>(kStepTable.size()) + 2; }

const std::string &upload_runs() {
  static const std::string text = "INSERT INTO runs (" + names(kRunTable, "") + ", pushed) VALUES ";
  return text;
}
int upload_row_size() { return static_cast<int>(kRunTable.size()) + 1; }

}  // namespace sql

}  // namespace trn::records
