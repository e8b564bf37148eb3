// trnctl's entry point: the argument table, the checks of every argument
// before the port is opened, and the exit status of each outcome.
#include <CLI/CLI.hpp>
#include <signal.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cli.h"
#include "output.h"
#include "records_cmd.h"
#include "serve.h"
#include "station.h"
#include "text.h"


namespace {

using namespace trnctl;

const char *const kCommands =
    "info, get, set, watch, backlight, raw, selftest, station, records, ports";

// The names of every option that takes a value ("--device", "-d", ...), from
// the argument table itself, the commands' own options included.
std::vector<std::string> value_options(const CLI::App &app) {
  std::vector<std::string> names;
  auto add = [&](const CLI::App *a) {
    for (const CLI::Option *opt : a->get_options()) {
      if (opt->get_positional() || opt->get_type_size() == 0) continue;  // operands, flags
      for (const std::string &l : opt->get_lnames()) names.push_back("--" + l);
      for (const std::string &s : opt->get_snames()) names.push_back("-" + s);
    }
  };
  add(&app);
  for (const CLI::App *sub : app.get_subcommands({})) {
    add(sub);
    for (const CLI::App *subsub : sub->get_subcommands({})) add(subsub);
  }
  return names;
}

// True for an option that takes the next argument as its value: one of
// names, or a cluster of short options whose last one does ("-vd").
bool takes_value(const std::string &arg, const std::vector<std::string> &names) {
  if (std::find(names.begin(), names.end(), arg) != names.end()) return true;
  if (arg.size() < 3 || arg[0] != '-' || arg[1] == '-') return false;
  return std::find(names.begin(), names.end(), std::string("-") + arg.back()) != names.end();
}

// The usual rule: "--" ends the options, and every argument after it is an
// operand, even one that begins with '-'.  Returns the index of the first
// "--" (argc when there is none); *command: whether a command, the first
// argument that is neither an option nor an option's value, comes before it.
int options_end(int argc, char **argv, const std::vector<std::string> &names, bool *command) {
  *command = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--") return i;
    if (a.size() > 1 && a[0] == '-') {
      // CLI11 never takes "--" as a value: "--dut --" lacks its value.
      if (a.find('=') == std::string::npos && takes_value(a, names) && i + 1 < argc &&
          std::strcmp(argv[i + 1], "--") != 0)
        ++i;
    } else {
      *command = true;
    }
  }
  return argc;
}

// An argument quoted and cut short, for a validator's text: CLI11 puts it
// in a message that one_line() escapes, once.
std::string raw_quoted(const std::string &text) {
  if (text.size() <= 60) return "'" + text + "'";
  size_t end = 60;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xc0) == 0x80) --end;
  return "'" + text.substr(0, end) + "...'";
}

// Decimal digits only, from lo to hi ("010" is ten, "0x10" is refused).
CLI::Validator number_in(long lo, long hi) {
  const std::string range = std::to_string(lo) + " to " + std::to_string(hi);
  return CLI::Validator(
      [lo, hi, range](std::string &text) -> std::string {
        bool ok = !text.empty() && text.size() <= 9;
        for (char c : text) ok = ok && std::isdigit(static_cast<unsigned char>(c));
        if (ok) {
          long v = std::stol(text);
          ok = v >= lo && v <= hi;
        }
        return ok ? "" : raw_quoted(text) + " is not a number from " + range;
      },
      "");
}

// Seconds as a decimal number ("2", "0.5"), more than 0 and at most hi.
CLI::Validator seconds_up_to(double hi) {
  const std::string range = "more than 0, at most " + std::to_string(static_cast<long>(hi));
  return CLI::Validator(
      [hi, range](std::string &text) -> std::string {
        bool ok = !text.empty() && text.size() <= 12 && text.find_first_not_of("0123456789.") ==
                                                             std::string::npos;
        char *end = nullptr;
        double v = ok ? std::strtod(text.c_str(), &end) : 0;
        ok = ok && end && *end == '\0' && std::isfinite(v) && v > 0 && v <= hi;
        return ok ? "" : raw_quoted(text) + " is not a number of seconds (" + range + ")";
      },
      "");
}

// One byte in hexadecimal: one or two digits, with or without 0x.
bool parse_hex_byte(std::string text, unsigned char *out) {
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) text.erase(0, 2);
  if (text.empty() || text.size() > 2) return false;
  for (char c : text)
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
  *out = static_cast<unsigned char>(std::stoul(text, nullptr, 16));
  return true;
}

const trn::Setting &setting_named(const std::string &name) {
  const trn::Setting *s = trn::find_setting(name);
  if (!s)
    throw Failure{kUsage, "unknown setting " + shown(name) + " (settings: " + trn::setting_names() + ")"};
  return *s;
}

SetArg parse_assignment(const std::string &arg) {
  size_t eq = arg.find('=');
  if (eq == std::string::npos)
    throw Failure{kUsage, "set: " + shown(arg) + " is not SETTING=VALUE"};
  const trn::Setting &s = setting_named(arg.substr(0, eq));
  const std::string text = arg.substr(eq + 1);
  uint8_t value;
  std::string valid;
  if (!trn::parse_value(s, text, &value, &valid))
    throw Failure{kUsage, std::string(s.name) + ": " + shown(text) + " is not a valid value (" +
                              valid + ")"};
  return {&s, value};
}

// CLI11's own texts, on one line, not too long, and escaped: they may
// quote an argument.
std::string one_line(std::string text) {
  for (char &c : text)
    if (c == '\n' || c == '\r') c = ' ';
  if (text.size() > 200) {
    size_t end = 200;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xc0) == 0x80) --end;
    text = text.substr(0, end) + "...";
  }
  return trn::terminal_text(text);
}

// A failed write to standard output makes the exit status 1, unless the
// command failed already.  EPIPE is no failure for watch, --help and
// --version: the reader has seen all it wanted (trnctl watch | head -n 3).
int with_output_checked(int status, bool reader_may_leave) {
  const int err = output_error();
  if (err == 0 || (err == EPIPE && reader_may_leave)) return status;
  fprintf(stderr, "trnctl: standard output: %s\n", std::strerror(err));
  return status == kDone ? kBoardFailed : status;
}

}  // namespace

int main(int argc, char **argv) {
  // Lines go out as they are printed: watch is read through pipes.
  setvbuf(stdout, nullptr, _IOLBF, 0);
  // A reader that went away is a failed write, not the end of the process:
  // the self-test must still restore the board and write its record.
  signal(SIGPIPE, SIG_IGN);

  Options o;
  std::string device;
  CLI::App app{"trnctl: the TRN board of the Q742 terminal from the command line.", "trnctl"};
  app.footer("Settings: " + trn::setting_names() +
             ".\nExit status: 0 done, 1 the board failed, 2 usage, 3 not a Q742, 4 port unusable."
             "\nSee trnctl(1).");
  app.add_option("-d,--device", device,
                 "The port (default: TRN_DEVICE, else COM=n in ./trn.ini, else /dev/ttyS4)")
      ->type_name("PATH");
  app.add_option("-t,--timeout", o.timeout_ms, "Wait for a whole reply, from the write: 1 to 60000 (100)")
      ->type_name("MS")
      ->check(number_in(1, 60000));
  app.add_option("-r,--retries", o.retries, "Further tries of a failed exchange: 0 to 100 (2)")
      ->type_name("N")
      ->check(number_in(0, 100));
  app.add_flag("-v,--verbose", o.verbose, "Every frame on standard error");
  app.add_flag("--json", o.json, "Machine-readable output");
  app.set_version_flag("--version", "trnctl " TRNCTL_VERSION);
  app.require_subcommand(1);

  app.add_subcommand("info", "Identifier and firmware; exit 3 when not a Q742");
  std::vector<std::string> get_names;
  CLI::App *get = app.add_subcommand("get", "Read the settings named (all of them without names)");
  get->add_option("SETTING", get_names, "Setting names")->type_name("");
  std::vector<std::string> assignments;
  CLI::App *set = app.add_subcommand("set", "Write settings in order, then read them back");
  set->add_option("SETTING=VALUE", assignments, "Settings and their values")->type_name("");
  long count = 0;
  std::string seconds_text;
  CLI::App *watch = app.add_subcommand("watch", "Decode button status frames until SIGINT");
  watch->add_option("--count", count, "End after N frames")->type_name("N")->check(number_in(1, 999999999));
  watch->add_option("--for", seconds_text, "End after this time")
      ->type_name("SECONDS")
      ->check(seconds_up_to(1e7));
  bool reconnect = false;
  watch->add_flag("--reconnect", reconnect,
                  "After a hang-up, wait for the port (a USB adapter by its serial number) and go on");
  // The operands are checked for number after those given past "--" have
  // joined them.
  std::string state;
  CLI::App *backlight = app.add_subcommand("backlight", "Turn the backlight off or on");
  CLI::Option *state_option = backlight->add_option("STATE", state, "off or on")->type_name("");
  std::string raw_text[3];
  CLI::Option *raw_option[3];
  CLI::App *raw = app.add_subcommand("raw", "Send one frame, print the reply's 7 bytes");
  raw_option[0] = raw->add_option("TYPE", raw_text[0], "Type byte, hex")->type_name("");
  raw_option[1] = raw->add_option("RW", raw_text[1], "Operation byte, hex")->type_name("");
  raw_option[2] = raw->add_option("VALUE", raw_text[2], "Value byte, hex")->type_name("");
  SelftestOptions so;
  std::string button_timeout_text = "10";
  CLI::App *selftest = app.add_subcommand("selftest", "The production test");
  selftest->add_flag("--buttons", so.buttons, "Also test each button and jack, with prompts");
  selftest->add_option("--button-timeout", button_timeout_text, "Time for each button (10)")
      ->type_name("SECONDS")
      ->check(seconds_up_to(3600));
  selftest->add_option("--report", so.report, "Write the JSON record to FILE")->type_name("FILE");
  selftest->add_option("--dut", so.dut, "Identifier of the unit under test, for the record")
      ->type_name("ID");
  selftest->add_option("--db", so.db, "Record the run in this database (--db '' is refused)")
      ->type_name("PATH");
  selftest->add_option("--station", so.station, "This station's name (default: the host name)")
      ->type_name("NAME");
  selftest->add_option("--operator", so.operator_name, "The operator (default: the login name)")
      ->type_name("NAME");
  selftest->add_option("--push", so.push,
                       "Then push the recorded runs to the line's database (default: "
                       "TRN_RECORDS_URL); no password in it")
      ->type_name("URL");
  selftest->add_flag("--no-restore-from-record", so.no_restore_from_record,
                     "Take the board's settings as the unit's own, even when its last run "
                     "here was cut short");
  CLI::App *ports = app.add_subcommand("ports", "List the serial ports the kernel has (sysfs)");
  StationArgs station;
  add_station_command(app, station);
  RecordsArgs records;
  add_records_command(app, records);
  ServeArgs serve;
  add_serve_command(*records.records, serve);

  // CLI11 sees the arguments before "--"; those after it are operands of
  // the command, and the first of them is the command when none came before.
  bool command_first = false;
  const int cut = options_end(argc, argv, value_options(app), &command_first);
  std::vector<const char *> before(argv, argv + cut);
  std::vector<std::string> operands(argv + std::min(cut + 1, argc), argv + argc);
  if (!command_first && !operands.empty()) {
    const auto commands = app.get_subcommands({});
    if (std::none_of(commands.begin(), commands.end(),
                     [&](const CLI::App *c) { return c->get_name() == operands.front(); })) {
      fprintf(stderr, "trnctl: unknown command %s (commands: %s)\n",
              shown(operands.front()).c_str(), kCommands);
      return kUsage;
    }
    before.push_back(argv[cut + 1]);
    operands.erase(operands.begin());
  }

  try {
    app.parse(static_cast<int>(before.size()), before.data());
  } catch (const CLI::CallForHelp &e) {
    return with_output_checked(app.exit(e), true);
  } catch (const CLI::CallForAllHelp &e) {
    return with_output_checked(app.exit(e), true);
  } catch (const CLI::CallForVersion &e) {
    return with_output_checked(app.exit(e), true);
  } catch (const CLI::ParseError &e) {
    std::string message;
    const bool no_command = app.get_subcommands().empty();
    if (no_command && !app.remaining().empty())
      message = "unknown command " + shown(app.remaining().front()) + " (commands: " + kCommands + ")";
    else if (no_command && dynamic_cast<const CLI::RequiredError *>(&e))
      message = std::string("a command is needed (") + kCommands + "); see trnctl --help";
    else if (dynamic_cast<const CLI::ExtrasError *>(&e))
      message = one_line(e.what()) + " (options go before the command; see trnctl --help)";
    else
      message = one_line(e.what());
    fprintf(stderr, "trnctl: %s\n", message.c_str());
    return kUsage;
  }

  int status = kDone;
  try {
    if (records.records->parsed()) {
      if (records.show && records.show->parsed() && records.key.empty() && operands.size() == 1) {
        records.key = operands.front();
        operands.clear();
      }
      if (!operands.empty())
        throw Failure{kUsage, "records: " + shown(operands.front()) + " is not expected (see trnctl --help)"};
      if (serve.serve->parsed()) return run_serve(records, serve, o.json);
      return with_output_checked(run_records(records, o.json), false);
    }
    // The operands after "--", then whether each command has what it needs.
    const std::string command = app.get_subcommands().front()->get_name();
    bool state_given = state_option->count() > 0;
    int raw_given = 0;  // CLI11 fills them in order
    while (raw_given < 3 && raw_option[raw_given]->count() > 0) ++raw_given;
    for (const std::string &operand : operands) {
      if (get->parsed()) {
        get_names.push_back(operand);
      } else if (set->parsed()) {
        assignments.push_back(operand);
      } else if (backlight->parsed() && !state_given) {
        state = operand;
        state_given = true;
      } else if (raw->parsed() && raw_given < 3) {
        raw_text[raw_given++] = operand;
      } else {
        throw Failure{kUsage,
                      command + ": " + shown(operand) + " is not expected (see trnctl --help)"};
      }
    }
    if (set->parsed() && assignments.empty()) throw Failure{kUsage, "SETTING=VALUE is required"};
    if (backlight->parsed() && !state_given) throw Failure{kUsage, "STATE is required"};
    if (raw->parsed() && raw_given < 3)
      throw Failure{kUsage, raw_option[raw_given]->get_name() + " is required"};

    // Every argument is checked before the port is opened.
    std::vector<const trn::Setting *> which;
    std::vector<SetArg> writes;
    bool on = false;
    unsigned char raw_bytes[3] = {};
    if (get->parsed()) {
      // Each setting once, in the order first named.
      for (const std::string &name : get_names) {
        const trn::Setting *s = &setting_named(name);
        if (std::find(which.begin(), which.end(), s) == which.end()) which.push_back(s);
      }
      if (which.empty())
        for (const trn::Setting &s : trn::settings()) which.push_back(&s);
    } else if (set->parsed()) {
      for (const std::string &a : assignments) writes.push_back(parse_assignment(a));
    } else if (backlight->parsed()) {
      if (state != "off" && state != "on")
        throw Failure{kUsage, "backlight: " + shown(state) + " is not a state (off, on)"};
      on = state == "on";
    } else if (raw->parsed()) {
      for (int i = 0; i < 3; ++i)
        if (!parse_hex_byte(raw_text[i], &raw_bytes[i]))
          throw Failure{kUsage, "raw: " + shown(raw_text[i]) + " is not a byte (hex, 00 to ff)"};
    }
    so.button_timeout_s = std::strtod(button_timeout_text.c_str(), nullptr);
    if (selftest->count("--report") > 0 && so.report.empty())
      throw Failure{kUsage, "--report: the path is empty"};
    so.record = selftest->count("--db") > 0;
    if (so.record && so.db.empty()) throw Failure{kUsage, "--db: the path is empty"};
    if (selftest->parsed()) {
      check_local_db(so.db);
      // --push records the run (in the default database without --db);
      // TRN_RECORDS_URL pushes the runs of a unit, those given --dut.
      const bool push_given = selftest->count("--push") > 0;
      if (push_given || so.record || !so.dut.empty())
        so.push = line_database(so.push, push_given);
      if (!so.push.empty()) so.record = true;
    }
    if (so.report == "-")
      throw Failure{kUsage, "--report: '-' is not a file here; --json prints the record on "
                            "standard output"};

    if (ports->parsed()) return with_output_checked(run_ports(o), true);
    if (app.count("--device") > 0 && device.empty())
      throw Failure{kUsage, "--device: the path is empty"};
    o.device = device.empty() ? choose_device(&o.device_origin) : device;
    install_signal_handlers();

    if (get->parsed()) status = run_get(o, which);
    else if (set->parsed()) status = run_set(o, writes);
    else if (watch->parsed())
      status = run_watch(o, count,
                         seconds_text.empty() ? 0 : std::strtod(seconds_text.c_str(), nullptr),
                         reconnect);
    else if (backlight->parsed()) status = run_backlight(o, on);
    else if (raw->parsed()) status = run_raw(o, raw_bytes);
    else if (selftest->parsed()) status = run_selftest(o, so);
    else if (station.command->parsed()) status = run_station(o, station);
    else status = run_info(o);
  } catch (const Failure &f) {
    if (!f.message.empty()) fprintf(stderr, "trnctl: %s\n", f.message.c_str());
    status = f.status;
  }
  return with_output_checked(status, watch->parsed());
}
