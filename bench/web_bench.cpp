// The quality page (`trnctl records serve`) over the made-up runs at
// production size, on a station's SQLite file and on the line's PostgreSQL
// database (a server of its own, as the tests start):
// - the data behind the overview (/api/overview, and the latest 50 runs),
//   each query new to the server's cache (median of 5, slowest);
// - 50 clients following the live updates as a page does: the server's CPU
//   over 10 s while no run arrives;
// - recording a run (SQLite: insert and completion; PostgreSQL: recorded in
//   a station's file and pushed) while those 50 are connected (p99 of 100);
// - a new run's commit to its event at a follower (median, slowest of 20);
// - the server's peak resident memory;
// - with Chromium: the page from navigation to data-ready with its charts,
//   and a new run seen on the open page (tests/web/page_test.py --bench).
// Usage: web_bench [RUNS] [sqlite|pg|both]
//        web_bench RUNS screenshot FILE.png: the README's picture of the page
//        over the made-up runs, taken by the browser tests' script.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "../tests/records/pg_server.h"
#include "bench_util.h"
#include "push.h"
#include "records_fill.h"
#include "records_util.h"
#include "server.h"
#include "store.h"

namespace {

constexpr int kFollowers = 50;

// trnctl records serve on a free port, ended with SIGTERM.
struct Serve {
  pid_t pid = -1;
  int port = 0;
  explicit Serve(const std::string &db) {
    int err[2];
    if (pipe(err) != 0) return;
    pid = fork();
    if (pid == 0) {
      dup2(err[1], 2);
      close(err[0]);
      const std::string exe = bench::exe_dir() + "/trnctl";
      execl(exe.c_str(), "trnctl", "records", "--db", db.c_str(), "--since", "2026-11-01",
            "serve", "--listen", "127.0.0.1:0", static_cast<char *>(nullptr));
      _exit(127);
    }
    close(err[1]);
    FILE *f = fdopen(err[0], "r");
    char line[256] = "";
    if (fgets(line, sizeof line, f)) {
      const char *colon = strrchr(line, ':');
      port = colon ? atoi(colon + 1) : 0;
    }
    fclose(f);
  }
  ~Serve() {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
  }
  double cpu_ms() const {
    FILE *f = fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
    if (!f) return 0;
    char buf[1024] = "";
    fgets(buf, sizeof buf, f);
    fclose(f);
    const char *p = strrchr(buf, ')');
    unsigned long utime = 0, stime = 0;
    // Fields after the name: state ... utime is the 14th field, stime the 15th.
    sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime, &stime);
    return (utime + stime) * 1000.0 / sysconf(_SC_CLK_TCK);
  }
  long peak_kb() const {
    FILE *f = fopen(("/proc/" + std::to_string(pid) + "/status").c_str(), "r");
    char line[256];
    long kb = 0;
    while (f && fgets(line, sizeof line, f))
      if (sscanf(line, "VmHWM: %ld", &kb) == 1) break;
    if (f) fclose(f);
    return kb;
  }
};

int connect_to(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

void send_get(int fd, int port, const std::string &path) {
  const std::string req = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" +
                          std::to_string(port) + "\r\nConnection: close\r\n\r\n";
  if (write(fd, req.data(), req.size()) < 0) perror("write");
}

// One whole answer, timed; its size, or -1.
double get_ms(int port, const std::string &path, long *bytes) {
  const double t0 = bench::now_ms();
  const int fd = connect_to(port);
  if (fd < 0) return -1;
  send_get(fd, port, path);
  char buf[65536];
  long total = 0;
  for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) total += n;
  close(fd);
  *bytes = total;
  return bench::now_ms() - t0;
}

// Reads what is there until text has been seen, or the deadline; true when seen.
bool wait_for(int fd, const std::string &text, double deadline_ms) {
  std::string got;
  while (bench::now_ms() < deadline_ms) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    char buf[4096];
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) return false;
    got.append(buf, static_cast<size_t>(n));
    if (got.find(text) != std::string::npos) return true;
  }
  return false;
}

void drain(int fd) {
  char buf[4096];
  pollfd p{fd, POLLIN, 0};
  while (poll(&p, 1, 0) > 0 && read(fd, buf, sizeof buf) > 0) {
  }
}

// Records one run now: in the file, and pushed when url is given.
void record_one(rec::LocalStore &local, const std::string &url, int i, std::mt19937 &rng) {
  rec::Run r = make_run("SN8" + std::to_string(i), "line1", rec::utc_now(), rec::kPass, rng);
  local.begin(r);
  local.finish(r);
  if (url.empty()) return;
  const rec::PushReport p = rec::push_outbox(local, url, rec::PushLimits::after_run());
  if (!p.error.empty()) throw rec::StoreError("push: " + p.error);
}

void measure(const char *what, const std::string &db, const std::string &local_path,
             const std::string &url) {
  auto local = rec::open_store(local_path, rec::OpenMode::Create);
  Serve s(db);
  if (s.port <= 0) throw rec::StoreError("trnctl records serve did not start");
  long bytes = 0;
  std::vector<double> overview, runs;
  for (int i = 0; i < 5; ++i) {
    // A new since each time: the answer is not in the server's cache.
    const std::string since = "2026-11-01T00:00:0" + std::to_string(i);
    overview.push_back(get_ms(s.port, "/api/overview?since=" + since, &bytes));
    runs.push_back(get_ms(s.port, "/api/runs?limit=50&since=" + since, &bytes));
  }
  printf("%s: overview data: median %.0f ms, slowest %.0f ms; latest 50 runs: median %.0f ms, "
         "slowest %.0f ms (5 each, uncached)\n",
         what, bench::percentile(overview, 50), bench::percentile(overview, 100),
         bench::percentile(runs, 50), bench::percentile(runs, 100));

  std::vector<int> followers;
  for (int i = 0; i < kFollowers; ++i) {
    const int fd = connect_to(s.port);
    send_get(fd, s.port, "/api/events");
    if (!wait_for(fd, "event: change", bench::now_ms() + 5000))
      throw rec::StoreError("a follower got no event");
    followers.push_back(fd);
  }
  const double cpu0 = s.cpu_ms(), t0 = bench::now_ms();
  sleep(10);
  const double idle = (s.cpu_ms() - cpu0) / (bench::now_ms() - t0) * 100;
  printf("%s: %d followers, no run arriving: %.2f%% of one core (10 s)\n", what, kFollowers, idle);

  std::mt19937 rng(11);
  std::vector<double> record_ms, seen_ms;
  for (int i = 0; i < 100; ++i) {
    for (int fd : followers) drain(fd);
    const double start = bench::now_ms();
    record_one(*local, url, i, rng);
    record_ms.push_back(bench::now_ms() - start);
    if (i % 5 == 0) {
      // The commit to its event at a follower.
      if (!wait_for(followers[i % kFollowers], "event: change", bench::now_ms() + 5000))
        throw rec::StoreError("no event for a new run");
      seen_ms.push_back(bench::now_ms() - start);
    }
  }
  printf("%s: recording a run with %d followers: median %.2f ms, p99 %.2f ms (100 runs)\n", what,
         kFollowers, bench::percentile(record_ms, 50), bench::percentile(record_ms, 99));
  printf("%s: a new run's event at a follower: median %.0f ms, slowest %.0f ms (20 runs)\n", what,
         bench::percentile(seen_ms, 50), bench::percentile(seen_ms, 100));
  for (int fd : followers) close(fd);

  // The page itself, when there is a browser to show it.
  const std::string page = std::string("/usr/bin/python3 ") + TRN_PAGE_TEST + " --trnctl " +
                           bench::exe_dir() + "/trnctl --fixture " + bench::exe_dir() +
                           "/tests/web_fixture --bench-page http://127.0.0.1:" +
                           std::to_string(s.port) + "/ --db '" + local_path + "'" +
                           (url.empty() ? "" : " --push '" + url + "'") + " --label " + what;
  fflush(stdout);
  if (system(page.c_str()) != 0) printf("%s: no browser figures\n", what);
  printf("%s: server's peak resident memory: %.1f MiB\n", what, s.peak_kb() / 1024.0);
}

}  // namespace

int main(int argc, char **argv) {
  const long runs = argc > 1 ? std::atol(argv[1]) : 100000;
  const std::string which = argc > 2 ? argv[2] : "both";
  std::string folder = "./web-bench-XXXXXX";
  if (runs < 1 || !mkdtemp(&folder[0])) {
    fprintf(stderr, "usage: web_bench [RUNS] [sqlite|pg|both]\n");
    return 2;
  }
  int rc = 0;
  try {
    if (which == "screenshot" && argc > 3) {
      const std::string file = folder + "/records.db";
      if (!fill(file, runs)) throw rec::StoreError("filling the file failed");
      const std::string shot = std::string("/usr/bin/python3 ") + TRN_PAGE_TEST + " --trnctl " +
                               bench::exe_dir() + "/trnctl --screenshot '" + argv[3] +
                               "' --db '" + file + "' --since 2026-11-01";
      if (system(shot.c_str()) != 0) throw rec::StoreError("no screenshot");
    } else if (which != "pg") {
      const std::string file = folder + "/records.db";
      if (!fill(file, runs)) throw rec::StoreError("filling the file failed");
      printf("filled %ld runs into a station's file\n", runs);
      measure("SQLite", file, file, "");
    }
    if (which == "pg" || which == "both") {
      PgServer server;
      if (!server.start() || !server.exec("CREATE DATABASE line").empty()) {
        printf("PostgreSQL: no server\n");
      } else {
        const std::string url = server.url("line");
        fill_server(url, runs);
        server.exec("VACUUM ANALYZE", "line");
        printf("filled %ld runs into the line's database\n", runs);
        measure("PostgreSQL", url, folder + "/station.db", url);
      }
    }
  } catch (const rec::StoreError &e) {
    fprintf(stderr, "web_bench: %s\n", e.what());
    rc = 1;
  }
  std::string rm = "rm -rf '" + folder + "'";
  if (system(rm.c_str()) != 0) rc = 1;
  return rc;
}
