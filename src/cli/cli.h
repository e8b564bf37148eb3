// trnctl: the board from the command line.  What the commands share: the
// global options, exit statuses, the error that ends a command, the port with
// its reply-waiting exchange, the frame trace and the interrupt flag.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "VXTRN.h"
#include "link.h"
#include "port.h"
#include "ports.h"
#include "settings.h"

// The project's version, given by the build.
#ifndef TRNCTL_VERSION
#define TRNCTL_VERSION "unknown"
#endif

namespace trnctl {

// Exit statuses.
enum Status {
  kDone = 0,
  kBoardFailed = 1,  // no valid reply after the retries, a wrong read-back, a failed self-test
  kUsage = 2,        // unknown command, setting or value
  kNotQ742 = 3,
  kPortFailed = 4,   // the port cannot be opened, configured or locked
  kInterrupted = 130,
};

// Ends a command: main prints "trnctl: <message>" on standard error (when
// the message is not empty) and exits with status.
struct Failure {
  int status;
  std::string message;
};

struct Options {
  std::string device;  // chosen by choose_device() when not given
  std::string device_origin;  // how choose_device() chose it; empty for -d
  int timeout_ms = 100;
  int retries = 2;
  bool verbose = false;
  bool json = false;
};

// The device when -d was not given: TRN_DEVICE, else COM=n in ./trn.ini,
// else /dev/ttyS4.  *origin says which, for a message when the device
// cannot be opened: "chosen by COM= in ./trn.ini, read as 10000".
std::string choose_device(std::string *origin);

// An argument as it is shown in a message: quoted, cut short when long,
// and escaped (trn::terminal_text).
std::string shown(const std::string &arg);

// Seconds since trnctl started, with milliseconds: "12.345".
std::string elapsed_text();
std::string seconds_text(long ms);
// Milliseconds since trnctl started.
long elapsed_ms();

// Set by SIGINT, SIGTERM and SIGHUP once install_signal_handlers() has run.
extern std::atomic<bool> stop_requested;
void install_signal_handlers();
// The stop of the self-test engine running now (nullptr: none): those
// signals set it too, so that the engine ends its run.  Set already when a
// signal came before.
void bind_stop(std::atomic<bool> *engine_stop);

// The port's settings from trnctl's options: the device, the timeout and
// retries, the frame trace for -v, sysfs and the interrupt flag.
trn::station::PortSettings port_settings(const Options &o);

// The open, locked port with trnctl's options and the interrupt flag, and
// exchanges that end the command when they fail.
class Port : public trn::station::Port {
 public:
  // Throws Failure (kPortFailed) when the port cannot be used.
  explicit Port(const Options &options);

  // Exchange that throws Failure (kBoardFailed, or kInterrupted) unless Ok.
  void must(const unsigned char command[7], unsigned char reply[7], const std::string &what);
  // A setting's read and write, throwing as must() does.
  uint8_t read(const trn::Setting &s);
  void write(const trn::Setting &s, uint8_t value);
};

using trn::station::StatusStream;

// Commands.  Each returns the exit status or throws Failure.
struct SetArg {
  const trn::Setting *setting;
  uint8_t value;
};
int run_info(const Options &o);
int run_get(const Options &o, const std::vector<const trn::Setting *> &which);
int run_set(const Options &o, const std::vector<SetArg> &writes);
// With reconnect, a hang-up is waited out: watch goes on once the port is
// back (wait_for_port).
int run_watch(const Options &o, long count, double seconds, bool reconnect);
int run_backlight(const Options &o, bool on);
int run_raw(const Options &o, const unsigned char bytes[3]);

// The serial ports the kernel has (sysfs).
int run_ports(const Options &o);
// sysfs and /dev, or the folders TRN_SYS_ROOT and TRN_DEV_ROOT name.
trn::SysRoots sys_roots();
// The USB adapter behind an open port; *unique when no other port shares
// its vendor, product and serial number (it can then be found again on
// another USB port).
bool usb_adapter_of(int port, trn::SerialPortInfo *adapter, bool *unique);
// After a hang-up: looks every 200 ms for the port (when adapter is given,
// the one on its USB port, or the one with its identity when that was
// unique; else o.device) and opens and locks it as before
// into *opened.  False at end or on SIGINT or SIGTERM.  Reasons the port,
// once there, cannot be used are printed on standard error, each once.
bool wait_for_port(const Options &o, const trn::SerialPortInfo *adapter, bool unique,
                   trn::Clock::time_point end, std::unique_ptr<Port> *opened);

struct SelftestOptions {
  bool buttons = false;
  double button_timeout_s = 10;
  std::string report;  // empty: no report
  std::string dut;
  bool record = false;  // --db or a line database: the run goes into the records database
  std::string db;       // empty: the default database
  std::string station, operator_name;  // empty: the defaults
  std::string push;     // the line's database (--push or TRN_RECORDS_URL); empty: none
  bool no_restore_from_record = false;  // the board's settings are the unit's own, always
};
int run_selftest(const Options &o, const SelftestOptions &so);

}  // namespace trnctl
