#include "libpq.h"

#include <dlfcn.h>

#include <mutex>

#include "store.h"

namespace trn::records {

const Libpq &pq() {
  static Libpq lib;
  static std::string missing;
  static std::once_flag once;
  std::call_once(once, [] {
    void *h = dlopen("libpq.so.5", RTLD_NOW | RTLD_LOCAL);
    if (!h) {
      missing = dlerror();
      return;
    }
#define TRN_LIBPQ_FIND(name)                                       \
  lib.name = reinterpret_cast<decltype(lib.name)>(dlsym(h, #name)); \
  if (!lib.name && missing.empty()) missing = std::string("no ") + #name;
    TRN_LIBPQ_FUNCTIONS(TRN_LIBPQ_FIND)
#undef TRN_LIBPQ_FIND
  });
  if (!missing.empty())
    throw StoreError("the PostgreSQL client library (libpq5) cannot be used: " + missing);
  return lib;
}

std::string first_line(const char *text) {
  std::string s = text ? text : "";
  s = s.substr(0, s.find('\n'));
  while (!s.empty() && (s.back() == ' ' || s.back() == '\r')) s.pop_back();
  return s.empty() ? "unknown error" : s;
}

}  // namespace trn::records
