// Which database a place names, and the dates of filters: what every store
// shares, apart from the databases themselves.
#include "store.h"

#include <cstdlib>

#include "server.h"

namespace trn::records {

namespace {

bool digits(const std::string &s, size_t from, size_t n) {
  if (s.size() < from + n) return false;
  for (size_t i = from; i < from + n; ++i)
    if (s[i] < '0' || s[i] > '9') return false;
  return true;
}

}  // namespace

bool is_server_url(const std::string &where) {
  return where.rfind("postgresql://", 0) == 0 || where.rfind("postgres://", 0) == 0;
}

std::unique_ptr<Store> open_reader(const std::string &where, OpenMode mode) {
  const bool read_only = mode == OpenMode::ReadOnly;
  if (is_server_url(where)) return connect_server(where, ServerLimits::reading(), read_only);
  return open_store(where, read_only ? OpenMode::ReadOnly : OpenMode::Existing);
}

bool parse_since(const std::string &text, std::string *out) {
  std::string t = text;
  if (!t.empty() && t.back() == 'Z') t.pop_back();
  // YYYY-MM-DD, then optionally THH:MM and :SS.
  bool ok = digits(t, 0, 4) && t[4] == '-' && digits(t, 5, 2) && t[7] == '-' && digits(t, 8, 2);
  if (ok && t.size() > 10)
    ok = (t.size() == 16 || t.size() == 19) && t[10] == 'T' && digits(t, 11, 2) && t[13] == ':' &&
         digits(t, 14, 2) && (t.size() == 16 || (t[16] == ':' && digits(t, 17, 2)));
  if (ok) {
    const int month = std::atoi(t.substr(5, 2).c_str()), day = std::atoi(t.substr(8, 2).c_str());
    ok = month >= 1 && month <= 12 && day >= 1 && day <= 31;
    if (ok && t.size() > 10)
      ok = std::atoi(t.substr(11, 2).c_str()) < 24 && std::atoi(t.substr(14, 2).c_str()) < 60 &&
           (t.size() == 16 || std::atoi(t.substr(17, 2).c_str()) < 60);
  }
  if (ok && (t.size() == 10 || t.size() == 16 || t.size() == 19)) {
    *out = t;
    return true;
  }
  return false;
}

bool parse_until(const std::string &text, std::string *out) {
  std::string t;
  if (!parse_since(text, &t)) return false;
  // Start times are "YYYY-MM-DDTHH:MM:SS.mmmZ": what the text leaves out is
  // its last value.
  const std::string last = "YYYY-MM-DDT23:59:59.999Z";
  *out = t + last.substr(t.size());
  return true;
}

}  // namespace trn::records
