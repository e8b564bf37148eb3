// The port trnctl talks through: choosing it, opening it with trnctl's
// options and messages, the frame trace on standard error, and the
// interrupt flag that SIGINT, SIGTERM and SIGHUP raise.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "cli.h"
#include "config.h"
#include "output.h"
#include "ports.h"
#include "serial.h"
#include "text.h"

namespace trnctl {

namespace {

const trn::Clock::time_point started = trn::Clock::now();

// Long arguments are cut in messages (before a character, not inside
// one) and escaped, so that an error stays one short line and nothing in
// it acts on the terminal.
std::string cut(const std::string &text) {
  constexpr size_t kMax = 60;
  if (text.size() <= kMax) return trn::terminal_text(text);
  size_t end = kMax;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xc0) == 0x80) --end;
  return trn::terminal_text(text.substr(0, end)) + "...";
}

// Every frame on standard error: "0.105 -> 1b 42 06 00 00 63 0d".
class StderrTrace : public trn::FrameTrace {
 public:
  void frame(bool sent, const unsigned char *bytes, int n) override {
    fprintf(stderr, "%s %s %s\n", elapsed_text().c_str(), sent ? "->" : "<-",
            hex_bytes(bytes, n).c_str());
  }
};
StderrTrace stderr_trace;

// The stop of the engine running now, if any: a signal stops it too.
std::atomic<std::atomic<bool> *> bound_stop{nullptr};

extern "C" void on_stop_signal(int) {
  stop_requested.store(true);
  if (std::atomic<bool> *engine = bound_stop.load()) engine->store(true);
  // A signal that lands between the waiting code's look at the flag and its
  // poll would otherwise go unseen until the wait ends: the alarm interrupts
  // the poll once a second until the flag has been acted on.
  alarm(1);
}

extern "C" void on_alarm(int) {
  if (stop_requested.load()) alarm(1);
}

}  // namespace

std::atomic<bool> stop_requested{false};

void bind_stop(std::atomic<bool> *engine_stop) {
  bound_stop.store(engine_stop);
  if (engine_stop && stop_requested.load()) engine_stop->store(true);
}

void install_signal_handlers() {
  struct sigaction sa = {};
  sigemptyset(&sa.sa_mask);
  // Reads and writes resume after the handler; poll never does, so a wait
  // for the board ends at once and sees the flag.
  sa.sa_flags = SA_RESTART;
  sa.sa_handler = on_stop_signal;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGHUP, &sa, nullptr);  // a closed SSH session ends a run as SIGTERM does
  sa.sa_handler = on_alarm;
  sigaction(SIGALRM, &sa, nullptr);
}

long elapsed_ms() {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(trn::Clock::now() - started).count());
}

std::string elapsed_text() { return seconds_text(elapsed_ms()); }

std::string seconds_text(long ms) {
  char text[32];
  snprintf(text, sizeof text, "%ld.%03ld", ms / 1000, ms % 1000);
  return text;
}

std::string shown(const std::string &arg) { return "'" + cut(arg) + "'"; }

std::string choose_device(std::string *origin) {
  // TRN_DEVICE first, whatever its length; trn.ini only without it.
  bool too_long = false;
  const std::string named = trn::device_from_environment(trn::ANY_DEVICE_LENGTH, &too_long);
  if (!named.empty()) {
    *origin = "from TRN_DEVICE";
    return named;
  }
  const trn::ConfigReport config = trn::read_config();
  // The reader keeps the value's first five characters (COM=100000 is port
  // 10000), so the message shows the value as read.
  if (atoi(config.value.c_str()) >= 1)
    *origin = "chosen by COM= in ./trn.ini, read as " + trn::terminal_text(config.value);
  else if (config.opened || config.open_error != ENOENT)
    *origin = "the default: ./trn.ini gives no usable COM= value";
  else
    *origin = "the default: no -d, TRN_DEVICE or ./trn.ini";
  return trn::device_from_port_number();
}

trn::station::PortSettings port_settings(const Options &o) {
  trn::station::PortSettings s;
  s.device = o.device;
  s.origin = o.device_origin;
  s.timeout_ms = o.timeout_ms;
  s.retries = o.retries;
  s.trace = o.verbose ? &stderr_trace : nullptr;
  s.roots = sys_roots();
  s.stop = &stop_requested;
  return s;
}

Port::Port(const Options &options) try : trn::station::Port(port_settings(options)) {
} catch (const trn::station::PortUnusable &e) {
  throw Failure{kPortFailed, e.what()};
}

void Port::must(const unsigned char command[7], unsigned char reply[7], const std::string &what) {
  trn::Outcome outcome = exchange(command, reply);
  if (outcome == trn::Outcome::Ok) return;
  throw Failure{outcome == trn::Outcome::Interrupted ? kInterrupted : kBoardFailed,
                failure_text(what, outcome)};
}

uint8_t Port::read(const trn::Setting &s) {
  unsigned char command[7], reply[7];
  trn::read_request(s, command);
  must(command, reply, std::string(s.name) + " read");
  return trn::reply_value(reply);
}

void Port::write(const trn::Setting &s, uint8_t value) {
  unsigned char command[7], reply[7];
  trn::write_request(s, value, command);
  must(command, reply, std::string(s.name) + " write");
}

}  // namespace trnctl
