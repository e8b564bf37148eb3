// trnsim: the simulated TRN board as a program.  It creates a pseudo-
// terminal, prints the slave path on its first line of output (point the
// panel's serial port at it, or at the --link name) and then takes line
// commands on standard input to press buttons, plug jacks and inject faults.
// The line can be hung up and taken up again; it then has a new slave path,
// printed as a line of its own (the --link name follows it).
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "board.h"

namespace {

const char kHelp[] =
    "usage: trnsim [options]\n"
    "Simulated TRN board on a pseudo-terminal.  The first line printed is the\n"
    "slave path to open as the serial port.\n"
    "\n"
    "options (also as --option=VALUE):\n"
    "  --link PATH      also make PATH a symlink to the slave (removed at exit)\n"
    "  --major HEX      identifier byte 3 (default 07)\n"
    "  --minor HEX      identifier byte 4 (default 42)\n"
    "  --firmware HEX   firmware version byte (default 11)\n"
    "  --latency MS     time between a command and its reply (default 10;\n"
    "                   a real board needs about 8 ms at 9600 baud)\n"
    "  --line-rate BAUD pace the line as a real one at BAUD (50 to 230400, a\n"
    "                   standard rate): 11 bits a byte, so one byte per 1.146 ms\n"
    "                   and a frame in 8.02 ms at 9600; a command is obeyed once\n"
    "                   its last byte would have arrived, and the latency counts\n"
    "                   from then (default: bytes pass at once)\n"
    "  --quiet          do not print the frame log\n"
    "  --no-stdin       do not read commands; run until SIGTERM or SIGINT\n"
    "  --help           this text\n"
    "\n"
    "The frame log goes to standard output, one line per frame received\n"
    "(\"HH:MM:SS.mmm <- 1b 42 ...\") and per byte run sent (\"... -> ...\").\n"
    "Command replies and errors go to standard output as well.\n"
    "\n"
    "commands (one per line, in any case):\n"
    "  press NAME | release NAME   button: cradle, vol-down, vol-up, ch-down,\n"
    "                              ch-up, power, nurse, line-out, mic-in (case,\n"
    "                              '-', '_' and blanks do not matter)\n"
    "  plug line-out|mic-in        jack detected (unplug clears it)\n"
    "  unplug line-out|mic-in\n"
    "  status AA BB                send a status frame with these bytes (hex)\n"
    "  raw HEX...                  send bytes as they are, e.g. raw 1b 42 06\n"
    "  fault none|silent|checksum|short [1-6]|delay MS|noise [1-1000]|hangup\n"
    "                              misbehave when answering commands (hangup:\n"
    "                              at the next command; short 4, noise 3 bytes\n"
    "                              without a number)\n"
    "  hangup                      close the line now, as an unplugged adapter\n"
    "                              (the --link name goes too)\n"
    "  reconnect                   after a hang-up, a new line: its slave path is\n"
    "                              printed (--link follows it)\n"
    "  show                        print every setting\n"
    "  help                        this text\n"
    "  quit                        end (so does end of input)\n";

int g_signal_pipe[2] = {-1, -1};

extern "C" void on_signal(int) {
  int saved = errno;
  char b = 's';
  if (write(g_signal_pipe[1], &b, 1) < 0) {
    // Pipe full: a wake-up is pending already.
  }
  errno = saved;
}

bool parse_byte(const std::string &text, uint8_t *out) {
  if (text.empty() || text.size() > 4) return false;
  char *end = nullptr;
  unsigned long v = std::strtoul(text.c_str(), &end, 16);
  if (*end != '\0' || v > 0xFF) return false;
  *out = static_cast<uint8_t>(v);
  return true;
}

// Tokens of one or two hex digits each, or longer runs read two by two
// ("1b42" is 1b 42).
bool parse_bytes(const std::vector<std::string> &words, size_t from, trnsim::Frame *out) {
  for (size_t i = from; i < words.size(); ++i) {
    std::string w = words[i];
    if (w.size() > 2 && (w.size() % 2) == 0 && w.compare(0, 2, "0x") != 0) {
      for (size_t k = 0; k < w.size(); k += 2) {
        uint8_t b;
        if (!parse_byte(w.substr(k, 2), &b)) return false;
        out->push_back(b);
      }
    } else {
      uint8_t b;
      if (!parse_byte(w, &b)) return false;
      out->push_back(b);
    }
  }
  return !out->empty();
}

const char *fault_name(trnsim::Fault f) {
  switch (f) {
    case trnsim::Fault::None: return "none";
    case trnsim::Fault::Silent: return "silent";
    case trnsim::Fault::BadChecksum: return "checksum";
    case trnsim::Fault::Short: return "short";
    case trnsim::Fault::Delay: return "delay";
    case trnsim::Fault::Noise: return "noise";
    case trnsim::Fault::HangUp: return "hangup";
  }
  return "?";
}

void show(const trnsim::Board &board) {
  trnsim::Settings s = board.settings();
  printf("identifier %02x %02x  firmware %02x\n", s.major, s.minor, s.firmware);
  printf("ring tone %u  ring volume %u  ring frequency %u  ring LED %u\n", s.ring_on,
         s.ring_volume, s.ring_freq, s.ring_led);
  printf("backlight %u  volume %u  brightness %u  audio option %u  membrane %u\n",
         s.backlight, s.volume, s.brightness, s.audio_option, s.membrane);
  printf("switch bank 1 %02x  switch bank 2 %02x  nurse-call LED %u  pass-through %u  "
         "delay %u  interval %02x\n",
         s.switch1, s.switch2, s.nurse_led, s.pass_through, s.pass_delay, s.interval);
  printf("status %02x %02x  fault %s\n", board.status_a(), board.status_b(),
         fault_name(board.fault()));
}

void error(const std::string &what) { printf("error: %s (type 'help')\n", what.c_str()); }

std::string lower(std::string text) {
  for (char &c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// The board and the --link name that follows its slave.
struct Sim {
  trnsim::Board board;
  std::string link;   // empty: none
  std::string linked;  // the slave the link points to; empty while none does
};

// Points the link at the board's slave; false (after a message) on failure.
bool make_link(Sim &sim) {
  if (sim.link.empty()) return true;
  struct stat st {};
  if (lstat(sim.link.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) unlink(sim.link.c_str());
  if (symlink(sim.board.slave_path().c_str(), sim.link.c_str()) != 0) {
    fprintf(stderr, "trnsim: cannot link %s: %s\n", sim.link.c_str(), strerror(errno));
    return false;
  }
  sim.linked = sim.board.slave_path();
  return true;
}

// Removes the link, only if it still points where this program put it.
void remove_link(Sim &sim) {
  if (sim.linked.empty()) return;
  char target[256];
  ssize_t len = readlink(sim.link.c_str(), target, sizeof target - 1);
  if (len > 0) {
    target[len] = '\0';
    if (sim.linked == target) unlink(sim.link.c_str());
  }
  sim.linked.clear();
}

// A count for a fault from lo to hi; false after a message.
bool fault_count(const std::string &kind, const std::string &text, long lo, long hi, int *out) {
  char *end = nullptr;
  long v = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || v < lo || v > hi) {
    error("fault " + kind + ": '" + text + "' is not a number from " + std::to_string(lo) +
          " to " + std::to_string(hi));
    return false;
  }
  *out = static_cast<int>(v);
  return true;
}

// Runs one command line; false when the program should end.
bool command(Sim &sim, const std::string &line) {
  trnsim::Board &board = sim.board;
  std::istringstream in(line);
  std::vector<std::string> w;
  for (std::string t; in >> t;) w.push_back(t);
  if (w.empty()) return true;
  const std::string cmd = lower(w[0]);
  const bool up = board.master_fd() >= 0;
  const bool sends = cmd == "press" || cmd == "release" || cmd == "plug" || cmd == "unplug" ||
                     cmd == "status" || cmd == "raw";
  if (cmd == "quit" || cmd == "exit") return false;
  if (sends && !up) {
    error(cmd + ": the line is hung up ('reconnect' takes it up again)");
  } else if (cmd == "help") {
    fputs(kHelp, stdout);
  } else if (cmd == "show") {
    show(board);
  } else if (cmd == "hangup") {
    if (!up) {
      error("hangup: the line is hung up already");
      return true;
    }
    board.hang_up();
    remove_link(sim);  // as an unplugged adapter's device node goes
    printf("hung up\n");
  } else if (cmd == "reconnect") {
    if (up) {
      error("reconnect: the line is up ('hangup' first)");
      return true;
    }
    if (!board.start()) {
      error(std::string("reconnect: cannot create the pseudo-terminal: ") + strerror(errno));
      return true;
    }
    make_link(sim);
    printf("%s\n", board.slave_path().c_str());
  } else if (cmd == "press" || cmd == "release" || cmd == "plug" || cmd == "unplug") {
    // The name may hold blanks: "press volume up", "plug line out".
    std::string name;
    for (size_t i = 1; i < w.size(); ++i) name += (i > 1 ? " " : "") + w[i];
    trnsim::Input input;
    if (!trnsim::parse_input(name, &input)) {
      error(cmd + ": unknown input '" + name + "'");
      return true;
    }
    bool jack = input == trnsim::Input::LineOut || input == trnsim::Input::MicIn;
    bool plugging = cmd == "plug" || cmd == "unplug";
    if (plugging && !jack) {
      error(cmd + ": only line-out or mic-in");
      return true;
    }
    if (cmd == "press" || cmd == "plug") board.press(input);
    else board.release(input);
  } else if (cmd == "status") {
    uint8_t a, b;
    if (w.size() != 3 || !parse_byte(w[1], &a) || !parse_byte(w[2], &b)) {
      error("status takes two hex bytes, e.g. status 49 03");
      return true;
    }
    board.send_status(a, b);
  } else if (cmd == "raw") {
    trnsim::Frame bytes;
    if (!parse_bytes(w, 1, &bytes)) {
      error("raw takes hex bytes, e.g. raw 1b 42 02");
      return true;
    }
    board.send_raw(bytes);
  } else if (cmd == "fault") {
    const std::string kind = w.size() > 1 ? lower(w[1]) : "";
    // The number each fault takes: a short reply keeps 1 to 6 of the 7
    // bytes; noise is at least a byte; a delay is given in milliseconds.
    trnsim::Fault f;
    long lo = 0, hi = 0;
    int param = 0;
    size_t max_words = 2;
    if (kind == "none") f = trnsim::Fault::None;
    else if (kind == "silent") f = trnsim::Fault::Silent;
    else if (kind == "checksum") f = trnsim::Fault::BadChecksum;
    else if (kind == "short") f = trnsim::Fault::Short, max_words = 3, lo = 1, hi = 6, param = 4;
    else if (kind == "delay") f = trnsim::Fault::Delay, max_words = 3, lo = 0, hi = 600000;
    else if (kind == "noise") f = trnsim::Fault::Noise, max_words = 3, lo = 1, hi = 1000, param = 3;
    else if (kind == "hangup") f = trnsim::Fault::HangUp;
    else {
      error("fault: unknown kind '" + kind + "'");
      return true;
    }
    if (w.size() > max_words) {
      error("fault " + kind + (max_words == 2 ? ": takes no number" : ": takes one number"));
      return true;
    }
    if (f == trnsim::Fault::Delay && w.size() != 3) {
      error("fault delay: how many milliseconds?");
      return true;
    }
    if (w.size() == 3 && !fault_count(kind, w[2], lo, hi, &param)) return true;
    board.set_fault(f, param);
    printf("fault %s", fault_name(f));
    if (max_words == 3) printf(" %d", param);
    printf("\n");
  } else {
    error("unknown command '" + cmd + "'");
  }
  return true;
}

std::string timestamp(std::chrono::steady_clock::time_point when) {
  using namespace std::chrono;
  auto wall = system_clock::now() - duration_cast<system_clock::duration>(
                                        steady_clock::now() - when);
  auto ms = duration_cast<milliseconds>(wall.time_since_epoch()).count();
  time_t secs = static_cast<time_t>(ms / 1000);
  tm t{};
  localtime_r(&secs, &t);
  char buf[32];
  snprintf(buf, sizeof buf, "%02d:%02d:%02d.%03d", t.tm_hour, t.tm_min, t.tm_sec,
           static_cast<int>(ms % 1000));
  return buf;
}

struct Options {
  std::string link;
  bool quiet = false;
  bool no_stdin = false;
  int latency_ms = 10;
  int line_rate = 0;  // baud; 0 for none
  trnsim::Settings settings;
};

// -1 to go on, else the exit code (0 after --help, 2 on a usage error).
// An option's value is the next argument, or follows '=' ("--latency=50").
int parse_args(int argc, char **argv, Options *o) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    std::string value;
    bool inline_value = false;
    const size_t eq = a.find('=');
    if (a.compare(0, 2, "--") == 0 && eq != std::string::npos) {
      value = a.substr(eq + 1);
      a.erase(eq);
      inline_value = true;
    }
    const bool takes_value =
        a == "--link" || a == "--major" || a == "--minor" || a == "--firmware" ||
        a == "--latency" || a == "--line-rate";
    if (takes_value && !inline_value) {
      if (i + 1 >= argc) {
        fprintf(stderr, "trnsim: %s needs a value\n", a.c_str());
        return 2;
      }
      value = argv[++i];
    }
    if (!takes_value && inline_value) {
      fprintf(stderr, "trnsim: %s takes no value\n", a.c_str());
      return 2;
    }
    const char *v = value.c_str();
    if (a == "--help" || a == "-h") {
      fputs(kHelp, stdout);
      return 0;
    } else if (a == "--quiet" || a == "-q") {
      o->quiet = true;
    } else if (a == "--no-stdin") {
      o->no_stdin = true;
    } else if (a == "--link") {
      if (value.empty()) {
        fprintf(stderr, "trnsim: --link needs a path\n");
        return 2;
      }
      o->link = value;
    } else if (a == "--latency") {
      char *end = nullptr;
      long ms = strtol(v, &end, 10);
      if (value.empty() || *end != '\0' || ms < 0 || ms > 10000) {
        fprintf(stderr, "trnsim: --latency wants milliseconds from 0 to 10000\n");
        return 2;
      }
      o->latency_ms = static_cast<int>(ms);
    } else if (a == "--line-rate") {
      static const long kRates[] = {50,   75,   110,  134,   150,   200,   300,    600,   1200,
                                    1800, 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};
      char *end = nullptr;
      long baud = strtol(v, &end, 10);
      bool known = *end == '\0' && end != v;
      known = known && std::find(std::begin(kRates), std::end(kRates), baud) != std::end(kRates);
      if (!known) {
        fprintf(stderr,
                "trnsim: --line-rate wants a standard rate in baud: 50 75 110 134 150 200 300\n"
                "        600 1200 1800 2400 4800 9600 19200 38400 57600 115200 230400\n");
        return 2;
      }
      o->line_rate = static_cast<int>(baud);
    } else if (takes_value) {
      uint8_t b;
      if (!parse_byte(value, &b)) {
        fprintf(stderr, "trnsim: %s wants a hex byte, not '%s'\n", a.c_str(), v);
        return 2;
      }
      if (a == "--major") o->settings.major = b;
      else if (a == "--minor") o->settings.minor = b;
      else o->settings.firmware = b;
    } else {
      fprintf(stderr, "trnsim: unknown option '%s' (see --help)\n", a.c_str());
      return 2;
    }
  }
  return -1;
}

}  // namespace

int main(int argc, char **argv) {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  Options opt;
  int code = parse_args(argc, argv, &opt);
  if (code != -1) return code;

  if (pipe(g_signal_pipe) != 0) {
    perror("trnsim: pipe");
    return 1;
  }
  struct sigaction sa {};
  sa.sa_handler = on_signal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGHUP, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);  // a reader that went away must not stop cleanup

  Sim sim;
  sim.link = opt.link;
  trnsim::Board &board = sim.board;
  board.set_settings(opt.settings);
  board.set_reply_latency(opt.latency_ms);
  board.set_line_rate(opt.line_rate);
  if (!opt.quiet) {
    board.set_logger([](const trnsim::LogEntry &e) {
      printf("%s %s %s\n", timestamp(e.when).c_str(), e.received ? "<-" : "->",
             trnsim::hex(e.bytes).c_str());
    });
  }
  if (!board.start()) {
    perror("trnsim: cannot create the pseudo-terminal");
    return 1;
  }
  if (!make_link(sim)) {
    board.stop();
    return 1;
  }
  // The path goes out only once the link exists, so a reader of the first
  // line may use either at once.
  printf("%s\n", board.slave_path().c_str());
  fflush(stdout);

  bool read_stdin = !opt.no_stdin;
  std::string pending;
  for (bool run = true; run;) {
    pollfd fds[2] = {{g_signal_pipe[0], POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
    int r = poll(fds, read_stdin ? 2 : 1, -1);
    if (r < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[0].revents) break;  // SIGTERM, SIGINT or SIGHUP
    if (!read_stdin || !fds[1].revents) continue;
    char buf[512];
    ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (!pending.empty()) command(sim, pending);
      break;  // end of input
    }
    pending.append(buf, static_cast<size_t>(n));
    for (size_t nl; run && (nl = pending.find('\n')) != std::string::npos;) {
      std::string line = pending.substr(0, nl);
      pending.erase(0, nl + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      run = command(sim, line);
    }
  }

  board.stop();
  remove_link(sim);
  return 0;
}
