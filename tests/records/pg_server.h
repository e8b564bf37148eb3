// A throw-away PostgreSQL server for a test suite, through the project's
// scripts/pg-test-server.sh: a fresh cluster in a temporary folder, reached
// over its Unix socket as the role postgres.  It is stopped by the script,
// and killed by the postmaster's pid if it outlives that.  The tests also
// stop it and start it again, as an outage.
#pragma once

#include <libpq-fe.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#ifndef PG_TEST_SERVER
#error "PG_TEST_SERVER: the path of scripts/pg-test-server.sh"
#endif

class PgServer {
 public:
  PgServer() {
    char folder[] = "/tmp/trn-pg-XXXXXX";
    if (mkdtemp(folder)) dir_ = std::string(folder) + "/srv";
  }
  ~PgServer() {
    stop();
    if (!dir_.empty()) std::filesystem::remove_all(std::filesystem::path(dir_).parent_path());
  }
  PgServer(const PgServer &) = delete;
  PgServer &operator=(const PgServer &) = delete;

  // Starts the server (again, after stop(), on the same data).  False when
  // it could not; missing() tells when its programs are not installed.
  bool start() {
    if (dir_.empty()) return false;
    const int status = script("start");
    missing_ = status == 77;
    return running_ = status == 0;
  }
  // Stops it; a postmaster still there after the script is killed.
  void stop() {
    if (dir_.empty()) return;
    const pid_t pid = postmaster();
    script("stop");
    running_ = false;
    if (pid <= 0) return;
    for (int i = 0; i < 100 && kill(pid, 0) == 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (kill(pid, 0) == 0) {
      fprintf(stderr, "PgServer: the server (pid %d) outlived its stop: killed\n", int(pid));
      kill(pid, SIGKILL);
    }
  }
  bool running() const { return running_; }
  bool missing() const { return missing_; }

  std::string url(const std::string &db = "postgres") const {
    return "postgresql:///" + db + "?host=" + dir_ + "&user=postgres";
  }

  // Runs statements (no results) in database db; "" when done, else why not.
  std::string exec(const std::string &statements, const std::string &db = "postgres") const {
    PGconn *c = PQconnectdb(url(db).c_str());
    std::string why;
    if (PQstatus(c) != CONNECTION_OK) {
      why = PQerrorMessage(c);
    } else {
      PGresult *r = PQexec(c, statements.c_str());
      if (PQresultStatus(r) != PGRES_COMMAND_OK && PQresultStatus(r) != PGRES_TUPLES_OK)
        why = PQresultErrorMessage(r);
      PQclear(r);
    }
    PQfinish(c);
    return why;
  }
  // The first column of a query's rows.
  std::vector<std::string> column(const std::string &query, const std::string &db) const {
    std::vector<std::string> values;
    PGconn *c = PQconnectdb(url(db).c_str());
    PGresult *r = PQexec(c, query.c_str());
    for (int i = 0; PQresultStatus(r) == PGRES_TUPLES_OK && i < PQntuples(r); ++i)
      values.push_back(PQgetvalue(r, i, 0));
    PQclear(r);
    PQfinish(c);
    return values;
  }

 private:
  int script(const char *command) const {
    const std::string line = std::string("bash '") + PG_TEST_SERVER + "' " + command + " '" +
                             dir_ + "' >/dev/null";
    const int st = system(line.c_str());
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  }
  pid_t postmaster() const {
    std::ifstream f(dir_ + "/data/postmaster.pid");
    long pid = 0;
    return f >> pid ? static_cast<pid_t>(pid) : 0;
  }

  std::string dir_;
  bool running_ = false, missing_ = false;
};
