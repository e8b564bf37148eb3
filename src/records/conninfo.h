// A connection string to the line's database, read as libpq reads it: a URL
// (postgresql://user@host:port/dbname?key=value...) or key=value words.
// The one place that decides whether a string may be used (never with a
// password in it) and how it is named in a message: as a URL with its user,
// hosts, ports and database and nothing else, so that no secret and no
// option of it reaches a terminal or a log.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace trn::records {

struct Conninfo {
  // The keywords and their values, in the string's order (a URL's user part
  // as "user" and "password", its hosts and ports as "host" and "port", its
  // path as "dbname").
  std::vector<std::pair<std::string, std::string>> words;

  // The last value given for key; "" when none.
  std::string value(const std::string &key) const;
};

// Reads text; false, with *why, when it is no connection string.  The
// keywords are not checked against libpq's list (conninfo_problem does).
bool parse_conninfo(const std::string &text, Conninfo *out, std::string *why);

// "" when conninfo (a URL or key=value words) may be used; otherwise why
// not ("not a connection string: ...", "the connection string holds a
// password: ..."): a password, and the client key's (sslpassword), belong
// in ~/.pgpass (or the file PGPASSFILE names), PGPASSWORD or a service
// file, never on a command line.  *password is set when the reason is a
// password.  Checks the keywords with libpq, loaded for it; throws
// StoreError when it cannot be.
std::string conninfo_problem(const std::string &conninfo, bool *password = nullptr);

// How a message names the database: postgresql://USER@HOST:PORT/DBNAME,
// with the parts the string has, each percent-encoded; "postgresql://" for
// a string that cannot be read.
std::string redacted(const std::string &conninfo);

// text (an error of libpq or of the server) with the connection string
// replaced by its redacted() form, and any password of it by "***".
std::string redact_text(std::string text, const std::string &conninfo);

}  // namespace trn::records
