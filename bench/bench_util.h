// Small helpers shared by the benchmarks: statistics, CPU clocks, silencing
// the trace, and starting the simulated board as a separate process.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace bench {

inline double now_ms() {
  using namespace std::chrono;
  return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

inline double percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  size_t i = static_cast<size_t>(p / 100.0 * (v.size() - 1) + 0.5);
  return v[std::min(i, v.size() - 1)];
}

// User + system CPU time of the whole process, in milliseconds.
inline double process_cpu_ms() {
  struct rusage ru;
  getrusage(RUSAGE_SELF, &ru);
  return (ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1e3 +
         (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e3;
}

// CPU time (ms) of the thread of this process whose name starts with prefix,
// read from /proc; -1 when there is none.
inline double thread_cpu_ms(const char *prefix) {
  char dir[64];
  snprintf(dir, sizeof dir, "/proc/%d/task", getpid());
  DIR *tasks = opendir(dir);
  if (!tasks) return -1;
  double result = -1;
  const long ticks = sysconf(_SC_CLK_TCK);
  while (struct dirent *e = readdir(tasks)) {
    if (e->d_name[0] == '.') continue;
    char file[512];
    snprintf(file, sizeof file, "%s/%s/stat", dir, e->d_name);
    FILE *f = fopen(file, "r");
    if (!f) continue;
    char line[1024] = {};
    if (fgets(line, sizeof line, f)) {
      char *open = strchr(line, '(');
      char *close = strrchr(line, ')');
      if (open && close && std::string(open + 1, close).rfind(prefix, 0) == 0) {
        // After the name come state (field 3) ... utime (14) and stime (15).
        unsigned long utime = 0, stime = 0;
        if (sscanf(close + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime,
                   &stime) == 2)
          result = (utime + stime) * 1000.0 / ticks;
      }
    }
    fclose(f);
  }
  closedir(tasks);
  return result;
}

// Sends standard output to /dev/null while alive (the trace is not measured).
class QuietStdout {
 public:
  QuietStdout() {
    fflush(stdout);
    saved_ = dup(1);
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    close(null);
  }
  ~QuietStdout() {
    fflush(stdout);
    dup2(saved_, 1);
    close(saved_);
  }

 private:
  int saved_;
};

// Folder of this executable (where trnsim and trndemo are built).
inline std::string exe_dir() {
  char buf[4096];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return ".";
  buf[n] = 0;
  std::string s(buf);
  return s.substr(0, s.rfind('/'));
}

// The simulated board as a child process; its first output line is the path.
struct SimProcess {
  pid_t pid = -1;
  std::string path;
  // extra: further options, such as {"--line-rate", "9600"}.
  bool start(const std::vector<std::string> &extra = {}) {
    int out[2];
    if (pipe(out) != 0) return false;
    std::string sim = exe_dir() + "/trnsim";
    std::vector<std::string> args = {"trnsim", "--no-stdin", "--quiet"};
    args.insert(args.end(), extra.begin(), extra.end());
    std::vector<char *> argv;
    for (auto &a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    pid = fork();
    if (pid == 0) {
      dup2(out[1], 1);
      close(out[0]);
      close(out[1]);
      execv(sim.c_str(), argv.data());
      _exit(127);
    }
    close(out[1]);
    FILE *f = fdopen(out[0], "r");
    char line[256] = {};
    bool ok = f && fgets(line, sizeof line, f);
    if (f) fclose(f);
    line[strcspn(line, "\n")] = 0;
    path = line;
    return ok && path.rfind("/dev/", 0) == 0;
  }
  ~SimProcess() {
    if (pid > 0) {
      kill(pid, SIGTERM);
      waitpid(pid, nullptr, 0);
    }
  }
};

}  // namespace bench
