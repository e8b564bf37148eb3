// What the stores need of a database, whichever it is: statements with
// bound values, rows read by column, transactions.  SQLite and PostgreSQL
// are the two backends; the queries that read runs are written once, here,
// for both.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "store.h"

namespace trn::records {

// Values for $1, $2 ... in order: texts, numbers and NULLs.
class Params {
 public:
  struct Value {
    enum Type { Null, Number, Text } type;
    long long number;
    std::string text;
  };
  Params &text(const std::string &v) {
    values_.push_back({Value::Text, 0, v});
    return *this;
  }
  Params &number(long long v) {
    values_.push_back({Value::Number, v, {}});
    return *this;
  }
  Params &null() {
    values_.push_back({Value::Null, 0, {}});
    return *this;
  }
  const std::vector<Value> &values() const { return values_; }
  int size() const { return static_cast<int>(values_.size()); }

 private:
  std::vector<Value> values_;
};

// One row of a result; columns from 0.
class Row {
 public:
  virtual ~Row() = default;
  virtual std::string text(int c) const = 0;  // empty for NULL
  virtual long long number(int c) const = 0;
  virtual bool null(int c) const = 0;
  // A JSON value kept as text: the value, or the text itself when it is not
  // JSON (written by hand); null for NULL.
  Json json(int c) const;
};

using EachRow = std::function<void(const Row &)>;

class Database {
 public:
  virtual ~Database() = default;
  // One statement with its values; each row of its result in turn.
  virtual void query(const std::string &text, const Params &p, const EachRow &each) = 0;
  void run(const std::string &text, const Params &p = Params()) {
    query(text, p, [](const Row &) {});
  }
  // Statements without values, separated by semicolons.
  virtual void script(const std::string &text) = 0;
  // The statement that starts a transaction: one that will write, or one
  // that only reads and sees one state of the database throughout.
  virtual const char *begin_text(bool write) const = 0;
};

// A transaction, rolled back unless committed.
class Transaction {
 public:
  Transaction(Database &db, bool write) : db_(db) { db_.script(db_.begin_text(write)); }
  ~Transaction() {
    if (!done_) try {
        db_.script("ROLLBACK");
      } catch (const StoreError &) {
      }
  }
  Transaction(const Transaction &) = delete;
  Transaction &operator=(const Transaction &) = delete;
  void commit() {
    db_.script("COMMIT");
    done_ = true;
  }

 private:
  Database &db_;
  bool done_ = false;
};

// The reading every store does, in one read-only transaction each.
std::vector<Run> list_runs(Database &db, const Filter &f, bool with_steps);
std::vector<Run> show_runs(Database &db, const std::string &id_or_dut);
YieldInput read_yield_input(Database &db, const YieldFilter &f);
// Completed runs not yet pushed, in the order they were inserted.
std::vector<Run> unpushed_runs(Database &db, int limit);

}  // namespace trn::records
