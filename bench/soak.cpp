// Soak run: many command exchanges against the simulated board with randomly
// mixed faults while the button status monitor runs, checking after every
// step that
//   - isLOCK is 0 between exchanges;
//   - a failed command leaves its buffer untouched, a clean one succeeds;
//   - every status frame sent between exchanges is decoded exactly once, and
//     none sent during an exchange (before or after its reply) is decoded;
//   - with TRN_FAST_EXCHANGE=1 the exchange ends as soon as its reply is in,
//     so a status frame sent 50 ms after an early reply comes after the
//     exchange: such frames are tagged apart and each is decoded at most once;
//   - no step hangs (a watchdog ends the run with a message).
// Usage: soak [exchanges] [pattern]   (pattern picks the random sequence;
// build with -DTRN_SANITIZE=address,undefined to check for leaks too).
#include <glib.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <thread>

#include "VXTRN.h"
#include "bench_util.h"
#include "board.h"
#include "serial.h"

namespace {

// Status frames are tagged: byte 3 carries only ignored bits (0x04 plus 0x10
// for "between", 0x20 for "during", both for "after a fast exchange"), byte 4
// a sequence number.
constexpr unsigned char BETWEEN = 0x14;
constexpr unsigned char DURING = 0x24;
constexpr unsigned char AFTER_FAST = 0x34;

std::map<int, int> decoded_between;  // sequence -> times decoded
std::map<int, int> decoded_after;
int decoded_during = 0;

void on_status(unsigned char a, unsigned char b) {
  if (a == BETWEEN) decoded_between[b]++;
  if (a == AFTER_FAST) decoded_after[b]++;
  if (a == DURING) decoded_during++;
}

std::atomic<long> step_started{0};
std::atomic<bool> finished{false};

[[noreturn]] void fail(const char *what, long step) {
  fprintf(stderr, "soak: step %ld: %s\n", step, what);
  exit(1);
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

  const bool fast = fast_exchange();
  long failures = 0, sent_between = 0, sent_during = 0, sent_after = 0;
  double started = bench::now_ms();
  {
    bench::QuietStdout quiet;  // the trace is not what is measured here
    if (!OpenTRNService(board.slave_path().c_str(), port_speed, port_parity, port_databits,
                        port_stopbits))
      fail("cannot open the simulated board's port", 0);
    set_status_handler(on_status);
    GThread *monitor = g_thread_try_new("CradleButtonStatus", CradleButtonStatus, nullptr, nullptr);
    if (!monitor) fail("cannot start the monitor", 0);

    for (long step = 0; step < total; step++) {
      step_started = step;
      // Sometimes a status frame between exchanges, waited for until decoded
      // (a frame still unread when an exchange starts is discarded by it).
      if (rng() % 4 == 0) {
        int seq = static_cast<int>(sent_between++ % 256);
        int before = decoded_between[seq];
        board.send_status(BETWEEN, static_cast<unsigned char>(seq));
        if (!pump_until([&] { return decoded_between[seq] == before + 1; }, 5000))
          fail("a status frame sent between exchanges was not decoded", step);
      }

      const Named &c = commands[rng() % (sizeof commands / sizeof commands[0])];
      enum { CLEAN, SILENT, CHECKSUM, SHORT, NOISE, LATE, DURING_EXCHANGE } kind =
          static_cast<decltype(CLEAN)>(rng() % 7);
      switch (kind) {
        case CLEAN: board.set_fault(trnsim::Fault::None); break;
        case SILENT: board.set_fault(trnsim::Fault::Silent); break;
        case CHECKSUM: board.set_fault(trnsim::Fault::BadChecksum); break;
        case SHORT: board.set_fault(trnsim::Fault::Short, 1 + static_cast<int>(rng() % 6)); break;
        case NOISE: board.set_fault(trnsim::Fault::Noise, 1 + static_cast<int>(rng() % 5)); break;
        case LATE: board.set_fault(trnsim::Fault::Delay, static_cast<int>(rng() % 60)); break;
        case DURING_EXCHANGE: board.set_fault(trnsim::Fault::None); break;
      }
      std::thread during;
      if (kind == DURING_EXCHANGE) {
        // Arrives either while the board holds its reply back (the exchange
        // reads it as its reply) or after an early reply, before the read;
        // either way the monitor must never see it.
        const bool before_reply = rng() % 2 == 0;
        if (before_reply) board.set_fault(trnsim::Fault::Delay, 60);
        // The fast exchange is over long before 50 ms after an early reply.
        const bool after = fast && !before_reply;
        const unsigned char tag = after ? AFTER_FAST : DURING;
        const unsigned char seq = static_cast<unsigned char>(after ? sent_after++ % 256 : 0);
        if (!after) sent_during++;
        during = std::thread([&board, before_reply, tag, seq] {
          std::this_thread::sleep_for(std::chrono::milliseconds(before_reply ? 25 : 50));
          board.send_status(tag, seq);
        });
      }

      unsigned char buf[16] = {};
      snprintf(reinterpret_cast<char *>(buf), sizeof buf, "%s", c.text);
      buf[14] = 0x5A;  // a sentinel beyond the text
      unsigned char before[16];
      memcpy(before, buf, sizeof buf);
      int ok = c.run(buf);
      if (during.joinable()) during.join();

      if (isLOCK != 0) fail("isLOCK stays raised after an exchange", step);
      if (!ok) {
        failures++;
        if (memcmp(before, buf, sizeof buf) != 0) fail("a failed command changed its buffer", step);
      } else if (memcmp(before + 1, buf + 1, sizeof buf - 1) != 0) {
        fail("a command changed more than the first byte of its buffer", step);
      }
      // Noise before a reply usually spoils it, but the check rests on the
      // checksum alone, so one in 256 such replies passes; it is not counted.
      bool must_fail = kind == SILENT || kind == CHECKSUM || kind == SHORT;
      bool must_succeed = kind == CLEAN || kind == LATE || kind == DURING_EXCHANGE;
      if (must_fail && ok) fail("a spoiled reply was accepted", step);
      if (must_succeed && !ok) fail("a clean reply was refused", step);
      // Let the monitor take what the exchange left (late bytes, noise).
      pump_until([] { return false; }, kind == CLEAN ? 0 : 80);
    }
    board.set_fault(trnsim::Fault::None);
    pump_until([] { return false; }, 300);
    CloseTRNService();
    g_thread_join(monitor);
  }
  finished = true;
  watchdog.join();
  board.stop();

  for (const auto &entry : decoded_between)
    if (entry.second != static_cast<int>((sent_between - entry.first + 255) / 256))
      fail("a status frame sent between exchanges was decoded more than once", total);
  long decoded_after_total = 0;
  for (const auto &entry : decoded_after) {
    if (entry.second > static_cast<int>((sent_after - entry.first + 255) / 256))
      fail("a status frame sent after a fast exchange was decoded more than once", total);
    decoded_after_total += entry.second;
  }
  if (decoded_during != 0) fail("a status frame sent during an exchange was decoded", total);

  printf("soak: %ld exchanges (%ld refused as spoiled), %ld status frames between exchanges "
         "decoded once each, %ld during exchanges never decoded, ",
         total, failures, sent_between, sent_during);
  if (fast)
    printf("%ld after fast exchanges (%ld decoded, none twice), ", sent_after, decoded_after_total);
  printf("%.0f s; all invariants held\n", (bench::now_ms() - started) / 1000.0);
  return 0;
}
