// The one declaration of a run's columns and a step's: each column's name
// (in the database, in JSON and in CSV), the member of Run or Step that
// holds it, when it is NULL, its place among the JSON keys and the CSV cells,
// and which statements write it.  The statements' column lists, their
// binders, the row readers, the JSON objects and the CSV lines are all made
// from these tables.
#pragma once

#include <string>
#include <variant>
#include <vector>

#include "database.h"
#include "record.h"

namespace trn::records {

// When a value is SQL NULL (and JSON null).
enum class Null {
  Never,       // a JSON member that is null is written as {}
  IfEmpty,     // an empty text, a null JSON value
  IfNegative,  // a number below 0 (a duration not known)
};

// Which of the station's statements write a run column.
enum Writes : unsigned { kNone = 0, kAtBegin = 1, kAtFinish = 2 };

template <class R>
struct Column {
  const char *name;
  std::variant<std::string R::*, int R::*, long R::*, Json R::*> member;
  Null null;
  int json;  // place among the JSON keys; -1: not there
  int csv;   // place among the CSV cells; -1: not there
  unsigned writes;
};

// In the order of the database's SELECT lists.
extern const std::vector<Column<Run>> kRunTable;
extern const std::vector<Column<Step>> kStepTable;

// A run or a step from a row of "SELECT <run_columns()>" or
// "SELECT <step_columns()>" (column 0 of a step's row is its run's id).
Run read_run(const Row &row);
Step read_step(const Row &row);

// The columns' values, in the table's order, that writes flags (every
// column for kNone), appended to p.
void bind_run(Params &p, const Run &run, unsigned writes = kNone);
// A step's row of the steps table: its run's id, its place (from 1), then
// its columns.
void bind_step(Params &p, const std::string &run_id, int pos, const Step &step);

namespace sql {

// "r.id, r.dut, ..." and "s.run_id, s.name, ...".
const std::string &run_columns();
const std::string &step_columns();

// A run inserted open, with its try counted in the same statement: the
// columns written at the start, then the owner; returns try.
const std::string &begin_run();
// A run completed: $1 its id, then the columns written at the end.
const std::string &finish_run();
// "INSERT INTO steps (...) VALUES " and the values of one step's row.
const std::string &insert_steps();
int step_row_size();
// "INSERT INTO runs (...) VALUES " with every column and pushed, for the
// line's database, and the values of one run's row.
const std::string &upload_runs();
int upload_row_size();

}  // namespace sql

}  // namespace trn::records
