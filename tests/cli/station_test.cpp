// trnctl station as an operator works it: standard input and standard error
// on a terminal (a pseudo-terminal whose master side is the operator's
// keyboard and screen, the station's controlling terminal, so Ctrl-C is a
// keystroke), standard output on a pipe for the watching script, the
// simulated board pressing each button when the station asks for it.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "../records/pg_server.h"
#include "../serial/hang_guard.h"
#include "board.h"

using nlohmann::json;

namespace {

// What the station asks for: a DUT id, a yes/no check, a button or jack.
struct Prompt {
  enum Kind { Dut, Question, Button } kind;
  std::string what;  // the question, or the input's name
};

struct Session {
  int status = -1;
  std::string screen;  // what the terminal showed, without CRs
  std::vector<std::string> out;  // standard output's lines
};

// Runs trnctl with args; answer() is called for each prompt and its result
// is typed.  A station still running after limit_s is killed (a bound
// against hangs, not a timing).
Session run_station(const std::vector<std::string> &args,
                    const std::function<std::string(const Prompt &)> &answer, int limit_s = 90) {
  Session s;
  int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  int out[2];
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 || pipe2(out, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pty or pipe";
    return s;
  }
  const std::string slave = ptsname(master);
  pid_t pid = fork();
  if (pid == 0) {
    setsid();
    int tty = open(slave.c_str(), O_RDWR);  // the controlling terminal
    ioctl(tty, TIOCSCTTY, 0);
    dup2(tty, 0);
    dup2(tty, 2);
    dup2(out[1], 1);
    std::vector<char *> argv{const_cast<char *>(TRNCTL_PATH)};
    for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    execv(TRNCTL_PATH, argv.data());
    _exit(127);
  }
  close(out[1]);
  std::string out_text;
  size_t seen = 0;  // of screen, up to the end of the last prompt answered
  pollfd fds[2] = {{master, POLLIN, 0}, {out[0], POLLIN, 0}};
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(limit_s);
  while (fds[0].fd >= 0 || fds[1].fd >= 0) {
    if (std::chrono::steady_clock::now() > limit) {
      ADD_FAILURE() << "the station did not end within " << limit_s << " s:\n" << s.screen;
      kill(pid, SIGKILL);
      break;
    }
    if (poll(fds, 2, 100) <= 0) continue;
    for (int i = 0; i < 2; ++i) {
      char buf[4096];
      const ssize_t n = fds[i].revents ? read(fds[i].fd, buf, sizeof buf) : 1;
      if (n <= 0) fds[i].fd = -1;  // EIO on the master once the station has gone
      for (ssize_t k = 0; fds[i].revents && k < n; ++k)
        if (buf[k] != '\r') (i ? out_text : s.screen) += buf[k];
    }
    // The station waits at each prompt, so at most one is unanswered.
    Prompt p;
    size_t at;
    if ((at = s.screen.find("DUT id: ", seen)) != std::string::npos) {
      p = {Prompt::Dut, ""};
      seen = at + 8;
    } else if ((at = s.screen.find(" [y/n] ", seen)) != std::string::npos) {
      const size_t line = s.screen.rfind('\n', at) + 1;  // npos + 1 is 0
      p = {Prompt::Question, s.screen.substr(line, at - line)};
      seen = at + 7;
    } else if ((at = s.screen.find(" (Enter if you can't)\n", seen)) != std::string::npos) {
      const size_t name = s.screen.rfind(' ', at - 1) + 1;
      p = {Prompt::Button, s.screen.substr(name, at - name)};
      seen = at + 1;
    } else {
      continue;
    }
    const std::string keys = answer(p);
    if (write(master, keys.data(), keys.size()) < 0) ADD_FAILURE() << "typing";
  }
  close(master);
  close(out[0]);
  int st = 0;
  waitpid(pid, &st, 0);
  s.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  for (size_t at = 0, nl; (nl = out_text.find('\n', at)) != std::string::npos; at = nl + 1)
    s.out.push_back(out_text.substr(at, nl - at));
  return s;
}

// Every byte the board keeps (the struct holds bytes only).
bool same_settings(const trnsim::Settings &a, const trnsim::Settings &b) {
  return memcmp(&a, &b, sizeof a) == 0;
}

// trnctl records --json of a database, one record per run, oldest first.
std::vector<json> records_of(const std::string &db) {
  std::vector<json> runs;
  FILE *p = popen((std::string(TRNCTL_PATH) + " records --json --db " + db).c_str(), "r");
  char line[1 << 16];
  while (p && fgets(line, sizeof line, p)) runs.insert(runs.begin(), json::parse(line));
  if (p) pclose(p);
  return runs;
}

std::string fresh_db(const std::string &name) {
  const std::string path = testing::TempDir() + name;
  for (const char *end : {"", "-wal", "-shm"}) unlink((path + end).c_str());
  return path;
}

class Station : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(board.start()); }
  void TearDown() override {
    board.set_logger(nullptr);
    board.stop();
  }
  // Presses and releases (or plugs and unplugs) the input on the board.
  static void work(trnsim::Board &b, const std::string &name) {
    trnsim::Input in;
    ASSERT_TRUE(trnsim::parse_input(name, &in)) << name;
    b.press(in);
    b.release(in);
  }
  static std::vector<std::string> args(trnsim::Board &b, const std::string &db,
                                       const std::string &station,
                                       std::vector<std::string> more = {}) {
    std::vector<std::string> a = {"-d", b.slave_path(), "station", "--db", db, "--station",
                                  station, "--operator", "ann", "--button-timeout", "20"};
    a.insert(a.end(), more.begin(), more.end());
    return a;
  }
  trnsim::Board board;
  HangGuard guard{"station test", 240};
};

// An id that would retitle and clear the operator's terminal reaches neither
// output raw, and the record keeps it exactly; a line too long for an id is
// refused whole and the station asks again.  Standard input, output and
// error are files here.
TEST_F(Station, IdWithTerminalControlsIsShownEscapedAndKeptExactly) {
  const std::string db = fresh_db("station_escape.db"), files = testing::TempDir() + "station_esc";
  const std::string id = "\x1b]0;pwned\x07\x1b[2J";
  std::ofstream(files + ".in") << std::string(5000, 'A') << "\n" << id << "\n"
                               << std::string(9, '\n') << "q\n";
  std::string command = TRNCTL_PATH;
  for (const std::string &a : args(board, db, "bench-1", {"--no-visual"})) command += " '" + a + "'";
  command += " <" + files + ".in >" + files + ".out 2>" + files + ".err";
  EXPECT_EQ(0, std::system(command.c_str()));
  auto slurp = [](const std::string &path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  const std::string out = slurp(files + ".out"), err = slurp(files + ".err");
  EXPECT_EQ("\\x1b]0;pwned\\x07\\x1b[2J fail 1\n", out);
  EXPECT_EQ(std::string::npos, err.find('\x1b')) << err;
  EXPECT_NE(std::string::npos, err.find("longer than 4096 bytes: refused\nDUT id: ")) << err;
  const std::vector<json> runs = records_of(db);
  ASSERT_EQ(1u, runs.size());
  EXPECT_EQ(id, runs[0]["dut"]);
}

// A unit that passes; one whose orange membrane the operator sees wrong and
// whose vol-up button cannot be pressed (Enter); that unit again, passing.
TEST_F(Station, OperatorTestsUnitsAndRetestsOne) {
  const trnsim::Settings before = board.settings();
  const std::string db = fresh_db("station_retest.db");
  const std::vector<std::string> ids = {"XX-1", "SN-1", "SN-2", "SN-2", "q"};
  size_t scans = 0;
  int questions = 0;
  Session s = run_station(args(board, db, "bench-1", {"--dut-pattern", "SN-[0-9]+"}),
                          [&](const Prompt &p) {
    const bool failing = scans == 3;  // SN-2's first run
    if (p.kind == Prompt::Dut) return ids.at(scans++) + "\n";
    if (p.kind == Prompt::Question) {
      if (++questions == 1) return std::string("maybe\n");  // asked again
      return std::string(failing && p.what == "Is the membrane LED orange?" ? "n\n" : "Yes\n");
    }
    if (failing && p.what == "vol-up") return std::string("\n");
    work(board, p.what);
    return std::string();
  });
  EXPECT_EQ(0, s.status) << s.screen;
  EXPECT_EQ((std::vector<std::string>{"SN-1 pass 1", "SN-2 fail 1", "SN-2 pass 2"}), s.out);
  EXPECT_EQ(1 + 6 * 3, questions);
  EXPECT_TRUE(same_settings(before, board.settings()));
  EXPECT_NE(std::string::npos, s.screen.find("'XX-1' does not match --dut-pattern")) << s.screen;
  EXPECT_NE(std::string::npos, s.screen.find("failed steps: membrane-orange, vol-up\033[0m"));
  // The banners in colour: green, red, green.
  const size_t red = s.screen.find("\033[1;31m");
  EXPECT_LT(s.screen.find("\033[1;32m"), red);
  EXPECT_NE(std::string::npos, s.screen.find("\033[1;32m", red));

  const std::vector<json> runs = records_of(db);
  ASSERT_EQ(3u, runs.size());
  const json &failed = runs[1];
  EXPECT_EQ(json({"fail", "bench-1", "ann", 1, 32, 30}),
            json({failed["outcome"], failed["station"], failed["operator"], failed["plan"],
                  failed["planned"], failed["passed"]}));
  EXPECT_EQ("SN-[0-9]+", failed["options"]["dut_pattern"]);
  EXPECT_EQ("1b 42 00 07 42 a6 0d", failed["board"]);
  std::map<std::string, json> step;
  for (const json &st : failed["steps"]) step[st["name"]] = st;
  EXPECT_EQ(32u, step.size());
  EXPECT_EQ(json({"orange", "no", "the operator answered no"}),
            json({step["membrane-orange"]["written"], step["membrane-orange"]["read"],
                  step["membrane-orange"]["why"]}));
  EXPECT_EQ("the operator could not press it", step["vol-up"]["why"]);
  EXPECT_EQ(json({"high", "low"}), step["ring-volume"]["written"]);
  EXPECT_EQ(4, step["ring-volume"]["tries"]);
  EXPECT_EQ(json({"pass", 2}), json({runs[2]["outcome"], runs[2]["try"]}));
}

// Ctrl-C at a check: the board gets its settings back (the backlight on),
// the run is recorded as aborted, the station ends with 130.  Ctrl-C at the
// prompt ends it with 130 and records nothing.
TEST_F(Station, CtrlCRestoresTheBoardAndRecordsAborted) {
  trnsim::Settings before = board.settings();
  before.membrane = 0;
  before.nurse_led = 0;
  board.set_settings(before);
  const std::string db = fresh_db("station_ctrl_c.db");
  Session s = run_station(args(board, db, "bench-1"), [&](const Prompt &p) {
    if (p.kind == Prompt::Dut) return std::string("SN-3\n");
    return std::string(p.what == "Is the backlight off?" ? "\x03" : "y\n");
  });
  EXPECT_EQ(130, s.status) << s.screen;
  EXPECT_EQ((std::vector<std::string>{"SN-3 aborted 1"}), s.out);
  EXPECT_TRUE(same_settings(before, board.settings()));
  EXPECT_NE(std::string::npos, s.screen.find("ABORTED  SN-3")) << s.screen;
  ASSERT_EQ(1u, records_of(db).size());
  EXPECT_EQ("interrupted", records_of(db)[0]["reason"]);

  s = run_station(args(board, db, "bench-1"), [](const Prompt &) { return std::string("\x03"); });
  EXPECT_EQ(130, s.status);
  EXPECT_TRUE(s.out.empty());
  EXPECT_EQ(1u, records_of(db).size());
}

// The board hangs up in the middle: an error, not a failed unit, and the
// station goes on; the port, now gone, cannot be opened for the retest.
TEST_F(Station, HangUpAndPortThatCannotBeOpenedAreErrors) {
  board.set_logger([&](const trnsim::LogEntry &e) {
    if (e.received && e.bytes[2] == 0x07 && e.bytes[3] == 0x01) board.hang_up();
  });
  const std::string db = fresh_db("station_hangup.db");
  int scans = 0;
  Session s = run_station(args(board, db, "bench-1", {"--json"}), [&](const Prompt &p) {
    return std::string(p.kind == Prompt::Dut ? (++scans < 3 ? "SN-4\n" : "\x04") : "y\n");
  });
  EXPECT_EQ(0, s.status) << s.screen;
  ASSERT_EQ(2u, s.out.size());
  const json first = json::parse(s.out[0]), second = json::parse(s.out[1]);
  EXPECT_EQ("error", first["outcome"]);
  EXPECT_EQ("the port hung up", first["reason"]);
  EXPECT_EQ("skipped", first["steps"][31]["outcome"]);
  EXPECT_EQ(json({"error", 2}), json({second["outcome"], second["try"]}));
  EXPECT_NE(std::string::npos, second["reason"].get<std::string>().find("cannot open"));
  EXPECT_NE(std::string::npos, s.screen.find("a fixture or port fault, not the unit"));
}

// Two stations, each with its own board, record into one new database at
// once; the unit both test gets tries 1 and 2 (which is which depends on
// which insert came first).
TEST_F(Station, TwoStationsShareOneDatabase) {
  trnsim::Board other;
  ASSERT_TRUE(other.start());
  const std::string db = fresh_db("station_two.db");
  auto station = [&db](trnsim::Board &b, const std::string &name, const std::string &own) {
    const std::vector<std::string> ids = {own, "SN-SHARED", ""};
    size_t scan = 0;
    return run_station(args(b, db, name, {"--no-visual"}), [&](const Prompt &p) {
      if (p.kind == Prompt::Dut) return ids.at(scan++) + "\n";
      work(b, p.what);
      return std::string();
    });
  };
  Session a;
  std::thread t([&] { a = station(board, "bench-a", "SN-A"); });
  const Session b = station(other, "bench-b", "SN-B");
  t.join();
  other.stop();
  EXPECT_EQ(0, a.status) << a.screen;
  EXPECT_EQ(0, b.status) << b.screen;
  std::map<std::string, std::set<int>> tries;
  for (const json &r : records_of(db)) {
    EXPECT_EQ(json({"pass", 26}), json({r["outcome"], r["planned"]}));
    tries[r["dut"]].insert(r["try"].get<int>());
  }
  EXPECT_EQ((std::map<std::string, std::set<int>>{
                {"SN-A", {1}}, {"SN-B", {1}}, {"SN-SHARED", {1, 2}}}),
            tries);
}

// The line's database stops during a station's runs and starts again: the
// station says so and goes on, the runs wait in its file and reach the
// server in the order they were tested, each once.  Then a selftest given
// --push records in the default database and pushes its run.
TEST_F(Station, LineDatabaseGoesAwayAndComesBack) {
  PgServer server;
  if (!server.start() && server.missing()) {
    GTEST_SKIP() << "no PostgreSQL server programs";
  }
  ASSERT_TRUE(server.running()) << "the test server did not start";
  const std::string db = fresh_db("station_line.db"), url = server.url();
  const std::vector<std::string> ids = {"SN-1", "SN-2", "SN-3", "SN-4", ""};
  size_t scans = 0;
  Session s = run_station(args(board, db, "bench-1", {"--no-visual", "--push", url}),
                          [&](const Prompt &p) {
    if (p.kind != Prompt::Dut) {
      work(board, p.what);
      return std::string();
    }
    if (scans == 1) server.stop();
    if (scans == 3) {
      EXPECT_TRUE(server.start());
    }
    return ids.at(scans++) + "\n";
  });
  EXPECT_EQ(0, s.status) << s.screen;
  EXPECT_EQ((std::vector<std::string>{"SN-1 pass 1", "SN-2 pass 1", "SN-3 pass 1", "SN-4 pass 1"}),
            s.out);
  // The database as messages name it: postgresql://USER@HOST/DBNAME.
  std::string host = url.substr(url.find("host=") + 5);
  host = host.substr(0, host.find('&'));
  for (size_t at; (at = host.find('/')) != std::string::npos;) host.replace(at, 1, "%2F");
  const size_t failed =
      s.screen.find("trnctl: push: postgresql://postgres@" + host + "/postgres: connection to server");
  EXPECT_NE(std::string::npos, failed) << s.screen;
  EXPECT_LT(failed, s.screen.find("trnctl: push: the line's database answers again")) << s.screen;
  const std::vector<std::string> order = {"SN-1", "SN-2", "SN-3", "SN-4"};
  EXPECT_EQ(order, server.column("SELECT dut FROM runs ORDER BY seq", "postgres"));
  const Session rest = run_station({"records", "--db", db, "push", "--push", url}, nullptr);
  EXPECT_EQ((std::vector<std::string>{"0 pushed, 0 waiting"}), rest.out);

  const std::string data = testing::TempDir() + "station_line_data";
  fresh_db("station_line_data/trnctl/records.db");
  setenv("XDG_DATA_HOME", data.c_str(), 1);
  s = run_station({"-d", board.slave_path(), "selftest", "--dut", "SN-5", "--push", url}, nullptr);
  unsetenv("XDG_DATA_HOME");
  EXPECT_EQ(0, s.status) << s.screen;
  EXPECT_EQ(1u, records_of(data + "/trnctl/records.db").size());
  EXPECT_EQ((std::vector<std::string>{"SN-1", "SN-2", "SN-3", "SN-4", "SN-5"}),
            server.column("SELECT dut FROM runs ORDER BY seq", "postgres"));
}

}  // namespace
