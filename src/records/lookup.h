// Host names of the line's database looked up against a deadline.  libpq
// looks a name up itself, in one call that waits as long as the name server
// makes it; trnctl looks it up first, on a thread it can leave behind, and
// hands libpq the address (hostaddr) with the name (host, still used for
// TLS and ~/.pgpass).  A name server that never answers then costs a
// connection its time to connect and no more.
#pragma once

#include <atomic>
#include <chrono>
#include <string>

namespace trn::records {

// The hostaddr list for conninfo: one numeric address for each host name
// of the string (or of PGHOST when it has none), an empty entry for a
// socket folder; "" when there is nothing to look up (a hostaddr given, a
// socket only, a service file).  Waits until `until` at most, and stops
// when *stop turns true.  Names are looked up in turn, all within that
// time.  Throws StoreError when a name cannot be found (where libpq would
// go on to the next host of a list; a station names one), "no answer in
// time while looking up NAME" when the time is up, or "interrupted".
std::string host_addresses(const std::string &conninfo,
                           std::chrono::steady_clock::time_point until,
                           const std::atomic<bool> *stop);

}  // namespace trn::records
