// trnctl's entry point: the argument table, the checks of every argument
// before the port is opened, and the exit status of each outcome.
#include <CLI/CLI.hpp>

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "cli.h"
#include "records_cmd.h"


namespace {

using namespace trnctl;

const char *const kCommands = "info, get, set, watch, backlight, raw, selftest, records";

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
        return ok ? "" : shown(text) + " is not a number from " + range;
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
        return ok ? "" : shown(text) + " is not a number of seconds (" + range + ")";
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

// CLI11's own texts, on one line and not too long.
std::string one_line(std::string text) {
  for (char &c : text)
    if (c == '\n' || c == '\r') c = ' ';
  if (text.size() > 200) text = text.substr(0, 200) + "...";
  return text;
}

}  // namespace

int main(int argc, char **argv) {
  // Lines go out as they are printed: watch is read through pipes.
  setvbuf(stdout, nullptr, _IOLBF, 0);

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
  set->add_option("SETTING=VALUE", assignments, "Settings and their values")->type_name("")->required();
  long count = 0;
  std::string seconds_text;
  CLI::App *watch = app.add_subcommand("watch", "Decode button status frames until SIGINT");
  watch->add_option("--count", count, "End after N frames")->type_name("N")->check(number_in(1, 999999999));
  watch->add_option("--for", seconds_text, "End after this time")
      ->type_name("SECONDS")
      ->check(seconds_up_to(1e7));
  std::string state;
  CLI::App *backlight = app.add_subcommand("backlight", "Turn the backlight off or on");
  backlight->add_option("STATE", state, "off or on")->type_name("")->required();
  std::string raw_text[3];
  CLI::App *raw = app.add_subcommand("raw", "Send one frame, print the reply's 7 bytes");
  raw->add_option("TYPE", raw_text[0], "Type byte, hex")->type_name("")->required();
  raw->add_option("RW", raw_text[1], "Operation byte, hex")->type_name("")->required();
  raw->add_option("VALUE", raw_text[2], "Value byte, hex")->type_name("")->required();
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
  RecordsArgs records;
  add_records_command(app, records);

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp &e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp &e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion &e) {
    return app.exit(e);
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

  try {
    if (records.records->parsed()) return run_records(records, o.json);
    // Every argument is checked before the port is opened.
    std::vector<const trn::Setting *> which;
    std::vector<SetArg> writes;
    bool on = false;
    unsigned char raw_bytes[3] = {};
    if (get->parsed()) {
      for (const std::string &name : get_names) which.push_back(&setting_named(name));
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

    if (app.count("--device") > 0 && device.empty())
      throw Failure{kUsage, "--device: the path is empty"};
    o.device = device.empty() ? choose_device() : device;
    install_signal_handlers();

    if (get->parsed()) return run_get(o, which);
    if (set->parsed()) return run_set(o, writes);
    if (watch->parsed())
      return run_watch(o, count, seconds_text.empty() ? 0 : std::strtod(seconds_text.c_str(), nullptr));
    if (backlight->parsed()) return run_backlight(o, on);
    if (raw->parsed()) return run_raw(o, raw_bytes);
    if (selftest->parsed()) return run_selftest(o, so);
    return run_info(o);
  } catch (const Failure &f) {
    if (!f.message.empty()) fprintf(stderr, "trnctl: %s\n", f.message.c_str());
    return f.status;
  }
}
