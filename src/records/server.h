// The line's database: one PostgreSQL database that every station pushes its
// completed runs to, with the same tables as a station's file, read with
// the same queries.  Every wait for the server is bounded: a station must
// never stand still because the network or the server did.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "conninfo.h"
#include "store.h"

namespace trn::records {

using SteadyClock = std::chrono::steady_clock;

// How long a connection may wait for the server.
struct ServerLimits {
  double connect_s = 10;  // to connect
  double answer_s = 0;    // for each answer, once connected; 0: no limit
  // Nothing waits past this: the whole push's budget.
  SteadyClock::time_point deadline = SteadyClock::time_point::max();
  // Set (SIGINT, SIGTERM): every wait ends at once.  Null: none.
  const std::atomic<bool> *stop = nullptr;

  // `trnctl records`: a query may take as long as it takes.
  static ServerLimits reading() { return {}; }
};

class ServerStore : public Store {
 public:
  // Uploads completed runs with their steps, in order, in one transaction,
  // noting when they were pushed.  A run the database has already (its id)
  // is left as it is, so that uploading it again after a lost
  // acknowledgement makes no second copy.  Returns how many were new.
  virtual int upload(const std::vector<Run> &runs, const std::string &pushed_at) = 0;
};

// Connects to the line's database and brings its schema up to date (made on
// first use; several stations may do it at once).  read_only: every
// transaction is read-only (a role that may only read is enough), and a
// schema that is missing or not this trnctl's is an error.  Throws
// StoreError, its text starting with the database's redacted() name.
std::unique_ptr<ServerStore> connect_server(const std::string &conninfo,
                                            const ServerLimits &limits, bool read_only = false);

}  // namespace trn::records
