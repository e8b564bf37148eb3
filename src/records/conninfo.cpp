// Connection strings, read with the grammar libpq uses: key=value words
// (values plain up to a blank, or in single quotes; a backslash takes the
// next character as it is), or a URL whose parts are percent-encoded.  The
// secrets are found here, before libpq is loaded, so that a string with a
// password is refused even where libpq cannot be used.
#include "conninfo.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "libpq.h"
#include "store.h"

namespace trn::records {

namespace {

// The keywords whose values are secrets.
bool is_secret(const std::string &key) {
  std::string k;
  for (char c : key) k += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return k == "password" || k == "sslpassword";
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A URL part with its %XX decoded; false for a broken or NUL escape.
bool percent_decoded(const std::string &in, std::string *out, std::string *why) {
  out->clear();
  for (size_t i = 0; i < in.size(); ++i) {
    if (in[i] != '%') {
      *out += in[i];
      continue;
    }
    const int h = i + 1 < in.size() ? hex_digit(in[i + 1]) : -1;
    const int l = i + 2 < in.size() ? hex_digit(in[i + 2]) : -1;
    if (h < 0 || l < 0 || (h == 0 && l == 0)) {
      *why = "a broken percent-encoded character";
      return false;
    }
    *out += static_cast<char>(h * 16 + l);
    i += 2;
  }
  return true;
}

bool parse_words(const std::string &s, Conninfo *out, std::string *why) {
  size_t i = 0;
  auto blank = [&](size_t at) { return at < s.size() && std::isspace(static_cast<unsigned char>(s[at])); };
  for (;;) {
    while (blank(i)) ++i;
    if (i >= s.size()) return true;
    const size_t key_start = i;
    while (i < s.size() && s[i] != '=' && !blank(i)) ++i;
    const std::string key = s.substr(key_start, i - key_start);
    while (blank(i)) ++i;
    if (i >= s.size() || s[i] != '=') {
      *why = "a word without \"=\" (key=value)";
      return false;
    }
    ++i;
    while (blank(i)) ++i;
    std::string value;
    if (i < s.size() && s[i] == '\'') {
      for (++i;; ++i) {
        if (i >= s.size()) {
          *why = "a quoted value without its closing quote";
          return false;
        }
        if (s[i] == '\\' && i + 1 < s.size()) {
          value += s[++i];
        } else if (s[i] == '\'') {
          ++i;
          break;
        } else {
          value += s[i];
        }
      }
    } else {
      for (; i < s.size() && !blank(i); ++i) {
        if (s[i] != '\\')
          value += s[i];
        else if (i + 1 < s.size())
          value += s[++i];
      }
    }
    out->words.emplace_back(key, value);
  }
}

bool parse_url(const std::string &s, size_t start, Conninfo *out, std::string *why) {
  auto add = [&](const std::string &key, const std::string &raw) {
    std::string value;
    if (!percent_decoded(raw, &value, why)) return false;
    if (!value.empty()) out->words.emplace_back(key, value);
    return true;
  };
  size_t i = start;
  // user[:password]@, when an @ comes before the path (as libpq reads it,
  // even after a "?").
  const size_t at = s.find('@', i), path = s.find('/', i);
  if (at != std::string::npos && (path == std::string::npos || at < path)) {
    const std::string who = s.substr(i, at - i);
    const size_t colon = who.find(':');
    if (!add("user", who.substr(0, colon))) return false;
    if (colon != std::string::npos && !add("password", who.substr(colon + 1))) return false;
    i = at + 1;
  }
  // host[:port], several separated by commas; an IPv6 address in brackets.
  std::string hosts, ports;
  bool any_port = false;
  for (bool first = true;; first = false) {
    std::string host, port;
    if (i < s.size() && s[i] == '[') {
      const size_t close = s.find(']', i);
      if (close == std::string::npos) {
        *why = "an IPv6 address without its closing bracket";
        return false;
      }
      host = s.substr(i + 1, close - i - 1);
      i = close + 1;
    } else {
      const size_t end = std::min(s.size(), s.find_first_of(":/?,", i));
      host = s.substr(i, end - i);
      i = end;
    }
    if (i < s.size() && s[i] == ':') {
      const size_t end = std::min(s.size(), s.find_first_of("/?,", i + 1));
      port = s.substr(i + 1, end - i - 1);
      any_port = true;
      i = end;
    }
    std::string decoded;
    if (!percent_decoded(host, &decoded, why)) return false;
    hosts += (first ? "" : ",") + decoded;
    if (!percent_decoded(port, &decoded, why)) return false;
    ports += (first ? "" : ",") + decoded;
    if (i < s.size() && s[i] == ',') {
      ++i;
      continue;
    }
    break;
  }
  if (hosts.find_first_not_of(',') != std::string::npos) out->words.emplace_back("host", hosts);
  if (any_port) out->words.emplace_back("port", ports);
  if (i < s.size() && s[i] == '/') {
    const size_t end = std::min(s.size(), s.find('?', i));
    if (!add("dbname", s.substr(i + 1, end - i - 1))) return false;
    i = end;
  }
  if (i < s.size() && s[i] != '?') {
    *why = "unexpected \"" + std::string(1, s[i]) + "\" after the host";
    return false;
  }
  // ?key=value&key=value
  for (size_t p = i + 1; i < s.size() && p <= s.size();) {
    const size_t end = std::min(s.size(), s.find('&', p));
    const std::string pair = s.substr(p, end - p);
    p = end + 1;
    if (pair.empty()) continue;
    const size_t eq = pair.find('=');
    if (eq == std::string::npos || pair.find('=', eq + 1) != std::string::npos) {
      *why = "a URL parameter that is not key=value";
      return false;
    }
    std::string key, value;
    if (!percent_decoded(pair.substr(0, eq), &key, why) ||
        !percent_decoded(pair.substr(eq + 1), &value, why))
      return false;
    // libpq's own alias among the URL parameters.
    if (key == "ssl" && value == "true") key = "sslmode", value = "require";
    out->words.emplace_back(key, value);
  }
  return true;
}

// A part of the URL a message shows: unreserved characters as they are,
// every other byte as %XX (a control character cannot reach a terminal).
std::string encoded(const std::string &part) {
  std::string out;
  for (unsigned char c : part) {
    if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
      out += static_cast<char>(c);
    } else {
      char hex[4];
      snprintf(hex, sizeof hex, "%%%02X", c);
      out += hex;
    }
  }
  return out;
}

std::vector<std::string> split(const std::string &list) {
  std::vector<std::string> items;
  size_t from = 0;
  for (size_t comma; (comma = list.find(',', from)) != std::string::npos; from = comma + 1)
    items.push_back(list.substr(from, comma - from));
  items.push_back(list.substr(from));
  return items;
}

void replace_all(std::string *text, const std::string &what, const std::string &with) {
  if (what.empty()) return;
  for (size_t at = 0; (at = text->find(what, at)) != std::string::npos; at += with.size())
    text->replace(at, what.size(), with);
}

const char *const kPasswordPlaces =
    "give it in ~/.pgpass, in PGPASSWORD or in a service file (~/.pg_service.conf, "
    "PGSERVICEFILE); PGPASSFILE names another password file; never in the connection string";
const char *const kKeyPasswordPlaces =
    "give it in a service file (~/.pg_service.conf, PGSERVICEFILE), or use a key "
    "without one; never in the connection string";

}  // namespace

std::string Conninfo::value(const std::string &key) const {
  std::string v;
  for (const auto &w : words)
    if (w.first == key) v = w.second;
  return v;
}

bool parse_conninfo(const std::string &text, Conninfo *out, std::string *why) {
  *out = Conninfo{};
  for (const char *scheme : {"postgresql://", "postgres://"})
    if (text.rfind(scheme, 0) == 0) return parse_url(text, std::strlen(scheme), out, why);
  return parse_words(text, out, why);
}

std::string conninfo_problem(const std::string &conninfo, bool *password) {
  if (password) *password = false;
  Conninfo c;
  std::string why;
  if (!parse_conninfo(conninfo, &c, &why)) return "not a connection string: " + why;
  std::string secret;
  for (const auto &w : c.words)
    if (is_secret(w.first) && !w.second.empty()) secret = w.first;
  // libpq reads it as well: its keywords, and any secret its reading finds.
  if (secret.empty()) {
    char *error = nullptr;
    PQconninfoOption *options = pq().PQconninfoParse(conninfo.c_str(), &error);
    if (!options) {
      why = error ? first_line(error) : "out of memory";
      pq().PQfreemem(error);
      return "not a connection string: " + redact_text(why, conninfo);
    }
    for (const PQconninfoOption *o = options; o->keyword; ++o)
      if (is_secret(o->keyword) && o->val && o->val[0]) secret = o->keyword;
    pq().PQconninfoFree(options);
  }
  if (secret.empty()) return "";
  if (password) *password = true;
  if (secret == "sslpassword")
    return std::string("the connection string holds a password (sslpassword, for the client key): ") +
           kKeyPasswordPlaces;
  return std::string("the connection string holds a password: ") + kPasswordPlaces;
}

std::string redacted(const std::string &conninfo) {
  std::string out = "postgresql://";
  Conninfo c;
  std::string why;
  if (!parse_conninfo(conninfo, &c, &why)) return out;
  const std::string user = c.value("user");
  if (!user.empty()) out += encoded(user) + "@";
  std::string hosts = c.value("host");
  if (hosts.empty()) hosts = c.value("hostaddr");
  const std::vector<std::string> host = split(hosts), port = split(c.value("port"));
  for (size_t i = 0; i < std::max(host.size(), port.size()); ++i) {
    if (i) out += ",";
    if (i < host.size()) out += encoded(host[i]);
    const std::string &p = port.size() == 1 ? port[0] : i < port.size() ? port[i] : port.back();
    if (!p.empty()) out += ":" + encoded(p);
  }
  const std::string db = c.value("dbname");
  if (!db.empty()) out += "/" + encoded(db);
  return out;
}

std::string redact_text(std::string text, const std::string &conninfo) {
  replace_all(&text, conninfo, redacted(conninfo));
  Conninfo c;
  std::string why;
  if (parse_conninfo(conninfo, &c, &why))
    for (const auto &w : c.words)
      if (is_secret(w.first)) replace_all(&text, w.second, "***");
  return text;
}

}  // namespace trn::records
