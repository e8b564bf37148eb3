// Soak run: many command exchanges against the simulated board with randomly
// mixed faults while the button monitor runs, and status frames sent before,
// during (before and after the reply) and after the exchanges, checking that
//   - isLOCK is 0 between exchanges;
//   - a failed command leaves its buffer untouched, a clean one succeeds, a
//     spoiled one fails;
//   - every status frame the board sends after the monitor started is
//     decoded exactly once, in the order sent, whichever reader met it;
//   - no step hangs (a watchdog ends the run with a message).
// With TRN_FAST_EXCHANGE=1 the same runs with the fast exchange.
// Usage: soak [exchanges] [pattern]   (pattern picks the random sequence;
// build with -DTRN_SANITIZE=address,undefined to check for leaks too).
#include <glib.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <thread>
#include <utility>
#include <vector>

#include "VXTRN.h"
#include "bench_util.h"
#include "board.h"
#include "serial.h"

namespace {

using Status = std::pair<unsigned char, unsigned char>;

// Status frames are numbered: byte 3 carries only bits the decode ignores
// (so no nurse-call follow-up is set off), byte 4 the low byte of the number.
// Numbers whose byte 4 or checksum is CR are skipped: a reply cut short one
// or two bytes before such a frame would make, with its first bytes, seven
// bytes ending in CR, which the line takes for a frame (as a real line
// would).
constexpr unsigned char kIgnoredA[] = {0x04, 0x10, 0x14, 0x20, 0x24, 0x30, 0x34};

Status status_number(long n) {
  for (;; ++n) {
    const unsigned char a = kIgnoredA[(n / 256) % (sizeof kIgnoredA)];
    const unsigned char b = static_cast<unsigned char>(n % 256);
    const unsigned char sum = static_cast<unsigned char>(0x1B + 0x42 + 0x02 + a + b);
    if (b != 0x0D && sum != 0x0D) return {a, b};
  }
}

std::vector<Status> sent;  // in the order the board sent them
size_t decoded = 0;
long current_step = 0;

std::atomic<long> step_started{0};
std::atomic<bool> finished{false};

[[noreturn]] void fail(const char *what, long step) {
  fprintf(stderr, "soak: step %ld: %s\n", step, what);
  exit(1);
}

// On the GUI thread, for every status frame decoded.
void on_status(unsigned char a, unsigned char b) {
  if (decoded >= sent.size()) fail("a status frame was decoded twice (or never sent)", current_step);
  if (sent[decoded] != Status(a, b)) fail("a status frame was lost or decoded out of order", current_step);
  decoded++;
}

bool pump_until(const std::function<bool()> &done, int timeout_ms) {
  double end = bench::now_ms() + timeout_ms;
  while (!done()) {
    if (bench::now_ms() > end) return false;
    if (!g_main_context_iteration(nullptr, FALSE)) g_usleep(500);
  }
  return true;
}

using Command = int (*)(unsigned char *);
int volume_read(unsigned char *b) { return VolumeValue(b); }
int switch2_read(unsigned char *b) { return Switch2Status(b, 1); }
int nurse_read(unsigned char *b) { return NurseCallLED(b, 1); }
int delay_read(unsigned char *b) { return PassThroughDelay(b, 1); }
struct Named {
  Command run;
  const char *text;
};
const Named commands[] = {{volume_read, "ff"},  {BrightnessValue, "ff"}, {RingToneTurn, "2"},
                          {switch2_read, "ff"}, {nurse_read, ""},        {delay_read, ""},
                          {MembraneLed, "4"},   {VolumeValue, "7"},      {RingToneFreq, "3"}};

}  // namespace

int main(int argc, char **argv) {
  const long total = argc > 1 ? atol(argv[1]) : 10000;
  const unsigned pattern = argc > 2 ? static_cast<unsigned>(atol(argv[2])) : 1;
  std::mt19937 rng(pattern);
  trn::exchange_mode_from_environment();
  trn::set_trace_hook(trn::stdio_trace);  // the panel's trace, as it runs

  trnsim::Board board;
  if (!board.start()) fail("cannot start the simulated board", 0);
  std::thread watchdog([&] {
    long seen = -1;
    double since = bench::now_ms();
    while (!finished) {
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      long now = step_started;
      if (now != seen) {
        seen = now;
        since = bench::now_ms();
      } else if (bench::now_ms() - since > 10000) {
        fprintf(stderr, "soak: step %ld did not finish within 10 s (deadlock?)\n", now);
        _exit(2);
      }
    }
  });

  const bool fast = trn::fast_exchange();
  long failures = 0;
  enum Placement { NONE, BETWEEN, BEFORE, DURING_EARLY, DURING_LATE, AFTER, PLACEMENTS };
  long placed[PLACEMENTS] = {};
  double started = bench::now_ms();
  {
    bench::QuietStdout quiet;  // the trace is not what is measured here
    if (!OpenTRNService(board.slave_path().c_str(), port_speed, port_parity, port_databits,
                        port_stopbits))
      fail("cannot open the simulated board's port", 0);
    trn::set_status_handler(on_status);
    GThread *monitor = g_thread_try_new("CradleButtonStatus", CradleButtonStatus, nullptr, nullptr);
    if (!monitor) fail("cannot start the monitor", 0);
    if (!pump_until([] { return trn::status_delivery(); }, 5000))
      fail("the monitor did not start", 0);

    auto send_next = [&board] {
      const Status s = status_number(static_cast<long>(sent.size()));
      sent.push_back(s);
      board.send_status(s.first, s.second);
    };

    for (long step = 0; step < total; step++) {
      step_started = step;
      current_step = step;
      const Placement where = static_cast<Placement>(rng() % PLACEMENTS);
      placed[where]++;
      // Between exchanges, waited for until decoded.
      if (where == BETWEEN) {
        const size_t want = sent.size() + 1;
        send_next();
        if (!pump_until([want] { return decoded == want; }, 5000))
          fail("a status frame sent between exchanges was not decoded", step);
      }

      const Named &c = commands[rng() % (sizeof commands / sizeof commands[0])];
      enum { CLEAN, SILENT, CHECKSUM, SHORT, NOISE, LATE } kind =
          static_cast<decltype(CLEAN)>(rng() % 6);
      switch (kind) {
        case CLEAN: board.set_fault(trnsim::Fault::None); break;
        case SILENT: board.set_fault(trnsim::Fault::Silent); break;
        case CHECKSUM: board.set_fault(trnsim::Fault::BadChecksum); break;
        case SHORT: board.set_fault(trnsim::Fault::Short, 1 + static_cast<int>(rng() % 6)); break;
        case NOISE: board.set_fault(trnsim::Fault::Noise, 1 + static_cast<int>(rng() % 5)); break;
        case LATE: board.set_fault(trnsim::Fault::Delay, static_cast<int>(rng() % 60)); break;
      }
      // Just before the command: the exchange or the monitor takes it.
      if (where == BEFORE) send_next();
      std::thread during;
      if (where == DURING_EARLY || where == DURING_LATE) {
        // While the board holds its reply back, or after an early reply
        // (before the fixed exchange reads it; after the fast one has).
        const bool early = where == DURING_EARLY;
        if (early) {
          kind = CLEAN;
          board.set_fault(trnsim::Fault::Delay, 60);
        }
        const Status s = status_number(static_cast<long>(sent.size()));
        sent.push_back(s);
        during = std::thread([&board, early, s] {
          std::this_thread::sleep_for(std::chrono::milliseconds(early ? 25 : 50));
          board.send_status(s.first, s.second);
        });
      }

      unsigned char buf[16] = {};
      snprintf(reinterpret_cast<char *>(buf), sizeof buf, "%s", c.text);
      buf[14] = 0x5A;  // a sentinel beyond the text
      unsigned char before[16];
      memcpy(before, buf, sizeof buf);
      int ok = c.run(buf);
      if (during.joinable()) during.join();
      if (where == AFTER) send_next();

      if (isLOCK != 0) fail("isLOCK stays raised after an exchange", step);
      if (!ok) {
        failures++;
        if (memcmp(before, buf, sizeof buf) != 0) fail("a failed command changed its buffer", step);
      } else if (memcmp(before + 1, buf + 1, sizeof buf - 1) != 0) {
        fail("a command changed more than the first byte of its buffer", step);
      }
      // Noise before a reply no longer spoils it: the reply is found behind
      // it.  A reply cut short or with a wrong checksum is refused.
      bool must_fail = kind == SILENT || kind == CHECKSUM || kind == SHORT;
      bool must_succeed = kind == CLEAN || kind == LATE || kind == NOISE;
      if (must_fail && ok) fail("a spoiled reply was accepted", step);
      if (must_succeed && !ok) fail("a clean reply was refused", step);
      // Let the decodes run, and the monitor take what the exchange left
      // (a piece of a short reply turns stale).
      pump_until([] { return false; }, kind == CLEAN && where == NONE ? 0 : 80);
    }
    board.set_fault(trnsim::Fault::None);
    current_step = total;
    if (!pump_until([] { return decoded == sent.size(); }, 5000))
      fail("a status frame was never decoded", total);
    pump_until([] { return false; }, 300);  // nothing more may come
    CloseTRNService();
    g_thread_join(monitor);
  }
  finished = true;
  watchdog.join();
  board.stop();
  if (decoded != sent.size()) fail("a status frame was decoded twice", total);

  printf("soak: %s exchange, %ld exchanges (%ld refused as spoiled); %zu status frames sent "
         "(%ld between exchanges, %ld just before, %ld during before the reply, %ld during after "
         "it, %ld just after), %zu decoded, each once and in order; %.0f s; all invariants held\n",
         fast ? "fast" : "fixed", total, failures, sent.size(), placed[BETWEEN], placed[BEFORE],
         placed[DURING_EARLY], placed[DURING_LATE], placed[AFTER], decoded,
         (bench::now_ms() - started) / 1000.0);
  return 0;
}
