// `trnctl records serve`: the routes of the quality page over a records
// database opened read-only.  A watcher thread asks the database four times
// a second whether runs were added or completed (a cheap stamp), and tells
// every open page through the event stream; the pages then fetch what they
// show again.  Answers are kept per query until the data changes, so many
// pages following one line cost the database one query each time.
#include "serve.h"

#include <signal.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "cli.h"
#include "http.h"
#include "output.h"
#include "server.h"
#include "store.h"
#include "text.h"

std::vector<trn::web::StaticFile> records_page_files();

namespace trnctl {

namespace {

namespace rec = trn::records;
namespace web = trn::web;

constexpr int kRecordsFailed = 1;
constexpr long kMaxLimit = 10000;
constexpr size_t kMaxFilterText = 256;

#ifndef TRN_CHARTJS
#define TRN_CHARTJS "/usr/share/javascript/chart.js/chart.min.js"
#endif

// A filter value that cannot be used: 400 with this reason.
struct BadRequest {
  std::string reason;
};

struct Filters {
  std::string since, until, station;        // as given (shown back to the page)
  rec::YieldFilter normalised;
};

// Since, until and station of a request: each one given (even empty) or the
// command's default.
Filters filters_of(const web::Request &q, const Filters &defaults) {
  Filters f;
  f.since = q.has("since") ? q.param("since") : defaults.since;
  f.until = q.has("until") ? q.param("until") : defaults.until;
  f.station = q.has("station") ? q.param("station") : defaults.station;
  if (f.station.size() > kMaxFilterText) throw BadRequest{"station: too long"};
  if (!f.since.empty() && !rec::parse_since(f.since, &f.normalised.since))
    throw BadRequest{"since: not a date (YYYY-MM-DD, or YYYY-MM-DDTHH:MM[:SS], UTC)"};
  if (!f.until.empty() && !rec::parse_until(f.until, &f.normalised.until))
    throw BadRequest{"until: not a date (YYYY-MM-DD, or YYYY-MM-DDTHH:MM[:SS], UTC)"};
  f.normalised.station = f.station;
  return f;
}

long limit_of(const web::Request &q, long fallback) {
  if (!q.has("limit")) return fallback;
  const std::string t = q.param("limit");
  const bool digits = !t.empty() && t.size() <= 9 &&
                      t.find_first_not_of("0123456789") == std::string::npos;
  const long n = digits ? std::atol(t.c_str()) : 0;
  if (n < 1 || n > kMaxLimit) throw BadRequest{"limit: not a number from 1 to 10000"};
  return n;
}

std::string outcome_of(const web::Request &q) {
  const std::string o = q.param("outcome");
  if (!o.empty() && !rec::is_run_outcome(o))
    throw BadRequest{"outcome: not an outcome (pass, fail, error, aborted)"};
  return o;
}

std::string text_param(const web::Request &q, const char *name) {
  const std::string v = q.param(name);
  if (v.size() > kMaxFilterText) throw BadRequest{std::string(name) + ": too long"};
  return v;
}

std::string jtext(const rec::Json &j) { return json_text(j); }

// The records database, read-only, reopened after a failure; the answers
// made from it, until its stamp changes.
class Records {
 public:
  explicit Records(std::string db) : db_(std::move(db)) {}

  // Runs fn with the store.  A connection that failed (the server went
  // away and came back) is dropped and fn tried once more on a new one.
  template <class Fn>
  auto with_store(Fn fn) -> decltype(fn(std::declval<rec::Store &>())) {
    std::lock_guard<std::mutex> lock(m_);
    for (int attempt = 0;; ++attempt) {
      const bool fresh = !store_;
      try {
        if (fresh) store_ = rec::open_reader(db_, rec::OpenMode::ReadOnly);
        return fn(*store_);
      } catch (const rec::StoreError &) {
        store_.reset();
        if (fresh || attempt > 0) throw;
      }
    }
  }

  // The answer kept for key, or made by make and kept.
  std::string cached(const std::string &key, const std::function<std::string()> &make) {
    {
      std::lock_guard<std::mutex> lock(cache_m_);
      auto it = cache_.find(key);
      if (it != cache_.end()) return it->second;
    }
    std::string value = make();
    std::lock_guard<std::mutex> lock(cache_m_);
    if (cache_.size() > 256) cache_.clear();
    cache_[key] = value;
    return value;
  }
  void forget() {
    std::lock_guard<std::mutex> lock(cache_m_);
    cache_.clear();
  }

 private:
  std::string db_;
  std::mutex m_;
  std::unique_ptr<rec::Store> store_;
  std::mutex cache_m_;
  std::map<std::string, std::string> cache_;
};

rec::Json filters_json(const Filters &f) {
  return rec::Json{{"since", f.since}, {"until", f.until}, {"station", f.station}};
}

rec::Json groups_json(const std::vector<rec::YieldGroup> &groups) {
  rec::Json a = rec::Json::array();
  for (const auto &g : groups) a.push_back(rec::to_json(g));
  return a;
}

rec::Json failures_json(const rec::YieldGroup &all) {
  rec::Json a = rec::Json::array();
  for (const auto &f : all.failures) a.push_back(rec::Json{{"step", f.first}, {"count", f.second}});
  return a;
}

// The runs of a listing, newest first, at most limit; with step, only those
// in which that step failed.
std::vector<rec::Run> runs_of(rec::Store &s, const Filters &f, const web::Request &q, long limit) {
  rec::Filter lf;
  lf.dut = text_param(q, "dut");
  lf.station = f.station;
  lf.outcome = outcome_of(q);
  lf.since = f.normalised.since;
  lf.until = f.normalised.until;
  const std::string step = text_param(q, "step");
  if (step.empty()) {
    // The newest runs alone, then the steps of those shown, rather than the
    // steps of every run of the period.
    lf.limit = limit;
    return s.list(lf, true);
  }
  std::vector<rec::Run> runs = s.list(lf, true);
  if (!step.empty())
    runs.erase(std::remove_if(runs.begin(), runs.end(),
                              [&](const rec::Run &r) {
                                return std::none_of(r.steps.begin(), r.steps.end(),
                                                    [&](const rec::Step &st) {
                                                      return st.name == step &&
                                                             st.outcome == rec::kFail;
                                                    });
                              }),
               runs.end());
  if (static_cast<long>(runs.size()) > limit) runs.resize(static_cast<size_t>(limit));
  return runs;
}

class Routes {
 public:
  Routes(Records &records, Filters defaults, std::vector<web::StaticFile> files)
      : records_(records), defaults_(std::move(defaults)), files_(std::move(files)) {}

  web::Response operator()(const web::Request &q) {
    try {
      return route(q);
    } catch (const BadRequest &b) {
      return web::text_response(400, b.reason);
    } catch (const rec::StoreError &) {
      // The reason may name the database: it stays here.
      return web::text_response(503, "the records database is not answering");
    }
  }

 private:
  web::Response file(const char *path) {
    for (const auto &f : files_)
      if (std::string(f.path) == path) {
        web::Response r;
        r.type = f.type;
        r.body.assign(reinterpret_cast<const char *>(f.data), f.size);
        return r;
      }
    return web::text_response(404, "not found");
  }

  std::string key(const web::Request &q) {
    std::string k = q.path;
    for (const auto &p : q.query) k += "\n" + p.first + "=" + p.second;
    return k;
  }

  web::Response route(const web::Request &q) {
    const std::string &p = q.path;
    if (p == "/") return file("/index.html");
    if (p.rfind("/unit/", 0) == 0 && p.size() > 6) return file("/unit.html");
    if (p == "/api/events") {
      web::Response r;
      r.event_stream = true;
      return r;
    }
    if (p == "/api/overview") return json(q, [&] { return overview(q); });
    if (p == "/api/yield") return json(q, [&] { return yield(q); });
    if (p == "/api/failures") return json(q, [&] { return failures(q); });
    if (p == "/api/runs") return json(q, [&] { return runs(q); });
    if (p.rfind("/api/units/", 0) == 0 && p.size() > 11) return unit(p.substr(11));
    if (p == "/runs.csv") {
      web::Response r;
      r.type = "text/csv; charset=utf-8";
      r.headers.emplace_back("Content-Disposition", "attachment; filename=\"runs.csv\"");
      r.body = records_.cached(key(q), [&] { return csv(q); });
      return r;
    }
    return web::text_response(404, "not found");
  }

  web::Response json(const web::Request &q, const std::function<std::string()> &make) {
    return web::json_response(records_.cached(key(q), make));
  }

  rec::YieldInput input(const Filters &f) {
    return records_.with_store([&](rec::Store &s) { return s.yield_input(f.normalised); });
  }

  std::string overview(const web::Request &q) {
    const Filters f = filters_of(q, defaults_);
    const rec::YieldInput in = input(f);
    const auto all = rec::compute_yield(in, rec::GroupBy::All, f.normalised);
    rec::Json j;
    j["filters"] = filters_json(f);
    j["yield"] = rec::to_json(all.front());
    j["by_day"] = groups_json(rec::compute_yield(in, rec::GroupBy::Day, f.normalised));
    j["by_station"] = groups_json(rec::compute_yield(in, rec::GroupBy::Station, f.normalised));
    j["failures"] = failures_json(all.front());
    j["as_of"] = utc_text("%H:%M:%S");
    return jtext(j);
  }

  std::string yield(const web::Request &q) {
    const Filters f = filters_of(q, defaults_);
    const std::string by = q.param("by");
    rec::GroupBy g = rec::GroupBy::All;
    if (by == "day") g = rec::GroupBy::Day;
    else if (by == "station") g = rec::GroupBy::Station;
    else if (!by.empty()) throw BadRequest{"by: not a grouping (day, station)"};
    return jtext(groups_json(rec::compute_yield(input(f), g, f.normalised)));
  }

  std::string failures(const web::Request &q) {
    const Filters f = filters_of(q, defaults_);
    return jtext(failures_json(rec::compute_yield(input(f), rec::GroupBy::All, f.normalised).front()));
  }

  std::string runs(const web::Request &q) {
    const Filters f = filters_of(q, defaults_);
    const long limit = limit_of(q, 100);
    const auto list = records_.with_store([&](rec::Store &s) { return runs_of(s, f, q, limit); });
    rec::Json a = rec::Json::array();
    for (const rec::Run &r : list) a.push_back(rec::to_json(r));
    return jtext(a);
  }

  std::string csv(const web::Request &q) {
    const Filters f = filters_of(q, defaults_);
    const long limit = limit_of(q, kMaxLimit);
    const auto list = records_.with_store([&](rec::Store &s) { return runs_of(s, f, q, limit); });
    std::string out;
    rec::write_csv(list, [&out](const std::string &line) { out += line + "\n"; });
    return out;
  }

  web::Response unit(const std::string &id) {
    if (id.size() > kMaxFilterText) return web::text_response(400, "unit: too long");
    const std::string body = records_.cached("unit\n" + id, [&]() -> std::string {
      auto runs = records_.with_store([&](rec::Store &s) { return s.show(id); });
      rec::Json a = rec::Json::array();
      for (const rec::Run &r : runs)
        if (r.dut == id) a.push_back(rec::to_json(r));
      return a.empty() ? std::string() : jtext(a);
    });
    if (body.empty()) return web::text_response(404, "no runs of that unit");
    return web::json_response(body);
  }

  Records &records_;
  Filters defaults_;
  std::vector<web::StaticFile> files_;
};

// Watches the database's stamp and tells the pages; keeps the event
// streams' connections checked.
class Watcher {
 public:
  Watcher(const std::string &db, Records &records, Routes &routes, web::EventHub &hub)
      : db_(db), records_(records), routes_(routes), hub_(hub) {}
  ~Watcher() { stop(); }

  // The first look, on the caller's thread: throws StoreError.
  void first(std::unique_ptr<rec::Store> store) {
    store_ = std::move(store);
    stamp_ = store_->change_stamp();
    as_of_ = utc_text("%H:%M:%S");
    hub_.publish("change", std::to_string(version_));
    hub_.publish("database", jtext(rec::Json{{"ok", true}, {"as_of", as_of_}}));
    thread_ = std::thread([this] { loop(); });
  }
  void stop() {
    {
      std::lock_guard<std::mutex> lock(m_);
      stopping_ = true;
    }
    cv_.notify_all();
    if (thread_.joinable()) thread_.join();
  }

 private:
  void loop() {
    int ticks = 0;
    bool up = true;
    std::unique_lock<std::mutex> lock(m_);
    while (!cv_.wait_for(lock, std::chrono::milliseconds(250), [this] { return stopping_; })) {
      if (++ticks % 60 == 0) hub_.heartbeat();  // every 15 s
      std::string stamp;
      bool ok = true;
      try {
        if (!store_) store_ = rec::open_reader(db_, rec::OpenMode::ReadOnly);
        stamp = store_->change_stamp();
      } catch (const rec::StoreError &) {
        store_.reset();
        ok = false;
      }
      if (!ok) {
        if (up) hub_.publish("database", jtext(rec::Json{{"ok", false}, {"as_of", as_of_}}));
        up = false;
        continue;
      }
      as_of_ = utc_text("%H:%M:%S");
      if (!up) {
        up = true;
        hub_.publish("database", jtext(rec::Json{{"ok", true}, {"as_of", as_of_}}));
        stamp_.clear();  // whatever happened meanwhile: the pages fetch again
      }
      if (stamp != stamp_) {
        stamp_ = stamp;
        records_.forget();
        hub_.publish("change", std::to_string(++version_));
      }
    }
  }

  std::string db_;
  Records &records_;
  Routes &routes_;
  web::EventHub &hub_;
  std::unique_ptr<rec::Store> store_;
  std::string stamp_, as_of_;
  long version_ = 1;
  std::mutex m_;
  std::condition_variable cv_;
  bool stopping_ = false;
  std::thread thread_;
};

// HOST:PORT, the port 0 to 65535 (0: any free port).
void parse_listen(const std::string &text, std::string *host, int *port) {
  const size_t colon = text.rfind(':');
  const std::string p = colon == std::string::npos ? "" : text.substr(colon + 1);
  const bool digits = !p.empty() && p.size() <= 5 && p.find_first_not_of("0123456789") == std::string::npos;
  if (colon == std::string::npos || colon == 0 || !digits || std::atol(p.c_str()) > 65535)
    throw Failure{kUsage, "--listen: " + shown(text) + " is not HOST:PORT"};
  *host = text.substr(0, colon);
  *port = std::atoi(p.c_str());
}

}  // namespace

void add_serve_command(CLI::App &records, ServeArgs &a) {
  a.serve = records.add_subcommand("serve", "The records as a live page in a browser, and as "
                                            "JSON and CSV for scripts");
  a.serve->add_option("--listen", a.listen, "Address and port (default: 127.0.0.1:8080)")
      ->type_name("HOST:PORT");
  a.serve->add_option("--token-file", a.token_file,
                      "The token browsers and scripts must show (else TRN_WEB_TOKEN)")
      ->type_name("FILE");
  a.serve->add_option("--host", a.hosts, "A further host name the page is reached by")
      ->type_name("NAME");
  a.serve->fallthrough();
}

int run_serve(const RecordsArgs &a, const ServeArgs &s, bool json) {
  std::vector<const char *> refused;
  if (!a.dut.empty()) refused.push_back("--dut");
  if (!a.outcome.empty()) refused.push_back("--outcome");
  if (a.csv) refused.push_back("--csv");
  if (json || a.json) refused.push_back("--json");
  if (!refused.empty())
    throw Failure{kUsage, std::string("records serve: ") + refused.front() +
                              " does not apply to the page (its filters are on the page)"};
  if (a.records->count("--db") > 0 && a.db.empty()) throw Failure{kUsage, "--db: the path is empty"};
  if (rec::is_server_url(a.db)) {
    std::string problem;
    try {
      problem = rec::conninfo_problem(a.db);
    } catch (const rec::StoreError &e) {
      throw Failure{kRecordsFailed, std::string("--db: ") + e.what()};
    }
    if (!problem.empty()) throw Failure{kUsage, "--db: " + problem};
  }

  web::ServerConfig cfg;
  parse_listen(s.listen, &cfg.host, &cfg.port);
  cfg.names = s.hosts;
  cfg.cookie_prefix = "trn_records";
  std::string why;
  if (!s.token_file.empty()) {
    cfg.token = web::read_token_file(s.token_file, &why);
    if (cfg.token.empty()) throw Failure{kUsage, "--token-file: " + shown(s.token_file) + ": " + why};
  } else if (const char *env = getenv("TRN_WEB_TOKEN")) {
    cfg.token = env;
    if (cfg.token.size() < 16)
      throw Failure{kUsage, "TRN_WEB_TOKEN: the token is shorter than 16 characters"};
  }
  if (cfg.token.empty() && !web::is_loopback(cfg.host))
    throw Failure{kUsage, "--listen: " + shown(cfg.host) + " is not the loopback: a token is "
                          "needed (--token-file FILE or TRN_WEB_TOKEN)"};

  Filters defaults;
  defaults.since = a.since;
  defaults.until = a.until;
  defaults.station = a.station;
  if (a.since.empty() && a.until.empty() && a.station.empty()) defaults.since = utc_text("%Y-%m-%d", 13);
  web::Request none;
  try {
    filters_of(none, defaults);
  } catch (const BadRequest &b) {
    throw Failure{kUsage, "--" + b.reason};
  }

  // Signals are taken by this thread alone, waiting for them below.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  std::unique_ptr<rec::Store> first;
  try {
    first = rec::open_reader(a.db, rec::OpenMode::ReadOnly);
  } catch (const rec::StoreError &e) {
    throw Failure{kRecordsFailed, std::string("records serve: ") + e.what()};
  }
  Records records(a.db);
  std::vector<web::StaticFile> files = records_page_files();
  Routes routes(records, defaults, files);
  web::Server server(cfg, files, std::ref(routes));
  const char *chart = getenv("TRN_CHARTJS");
  server.add_disk_file("/static/chart.js", "text/javascript; charset=utf-8",
                       chart ? chart : TRN_CHARTJS);
  Watcher watcher(a.db, records, routes, server.events());
  try {
    watcher.first(std::move(first));
    server.start();
  } catch (const rec::StoreError &e) {
    throw Failure{kRecordsFailed, std::string("records serve: ") + e.what()};
  } catch (const web::WebError &e) {
    throw Failure{kRecordsFailed, std::string("records serve: ") + e.what()};
  }
  fprintf(stderr, "trnctl: serving http://%s:%d/\n", trn::terminal_text(cfg.host).c_str(),
          server.port());
  int sig = 0;
  while (sigwait(&signals, &sig) != 0) {
  }
  watcher.stop();
  server.stop(2.0);
  return kDone;
}

}  // namespace trnctl
