// The plain commands: info, get, set, watch, backlight, raw.
#include <cstdio>

#include "VXTRN.h"
#include "cli.h"
#include "output.h"
#include "text.h"

namespace trnctl {

namespace {

void print_settings(const Options &o, const std::vector<const trn::Setting *> &which,
                    const std::vector<uint8_t> &values) {
  if (o.json) {
    Json object = Json::object();
    for (size_t i = 0; i < which.size(); ++i) object[which[i]->name] = json_value(*which[i], values[i]);
    print_json(object);
    return;
  }
  for (size_t i = 0; i < which.size(); ++i)
    print_line(std::string(which[i]->name) + "=" + trn::format_value(*which[i], values[i]));
}

}  // namespace

int run_info(const Options &o) {
  Port port(o);
  unsigned char command[7], reply[7];
  trn::identify_request(command);
  port.must(command, reply, "identifier request");
  const uint8_t major = reply[3], minor = reply[4];
  trn::firmware_request(command);
  port.must(command, reply, "firmware request");
  const std::string model = trn::model_text(major, minor);
  char firmware[4];  // as the panel shows it: "%x"
  snprintf(firmware, sizeof firmware, "%x", reply[4]);
  const bool accepted = trn::is_q742(major, minor);
  if (o.json) {
    print_json(Json{{"model", model}, {"firmware", firmware}, {"accepted", accepted}});
  } else {
    print_line("model=" + model);
    print_line(std::string("firmware=") + firmware);
    print_line(std::string("accepted=") + (accepted ? "yes" : "no"));
  }
  if (!accepted)
    throw Failure{kNotQ742,
                  trn::terminal_text(port.path()) + ": the board is a " + model + ", not a Q742"};
  return kDone;
}

int run_get(const Options &o, const std::vector<const trn::Setting *> &which) {
  Port port(o);
  std::vector<uint8_t> values;
  for (const trn::Setting *s : which) values.push_back(port.read(*s));
  print_settings(o, which, values);
  return kDone;
}

int run_set(const Options &o, const std::vector<SetArg> &writes) {
  Port port(o);
  // A run that ends during the writes names those the board confirmed (the
  // one whose exchange it ended may have been obeyed too).
  std::string written;
  for (const SetArg &w : writes) {
    try {
      port.write(*w.setting, w.value);
    } catch (Failure &f) {
      if (!written.empty()) f.message += "; written before: " + written;
      throw;
    }
    written += (written.empty() ? "" : " ") + std::string(w.setting->name) + "=" +
               trn::format_value(*w.setting, w.value);
  }
  // Each setting is read back once; a setting named twice must hold the
  // value written last.
  std::vector<const trn::Setting *> which;
  std::vector<uint8_t> wanted;
  for (const SetArg &w : writes) {
    size_t i = 0;
    while (i < which.size() && which[i] != w.setting) ++i;
    if (i == which.size()) {
      which.push_back(w.setting);
      wanted.push_back(w.value);
    } else {
      wanted[i] = w.value;
    }
  }
  std::vector<uint8_t> values;
  for (const trn::Setting *s : which) values.push_back(port.read(*s));
  print_settings(o, which, values);
  int status = kDone;
  for (size_t i = 0; i < which.size(); ++i) {
    if (values[i] == wanted[i]) continue;
    fprintf(stderr, "trnctl: %s: %s written as %s but read back as %s\n",
            trn::terminal_text(port.path()).c_str(),
            which[i]->name, trn::format_value(*which[i], wanted[i]).c_str(),
            trn::format_value(*which[i], values[i]).c_str());
    status = kBoardFailed;
  }
  return status;
}

int run_watch(const Options &o, long count, double seconds, bool reconnect) {
  auto port = std::make_unique<Port>(o);
  const auto begin = trn::Clock::now();
  const bool timed = seconds > 0;
  const auto end = timed ? begin + std::chrono::duration_cast<trn::Clock::duration>(
                                       std::chrono::duration<double>(seconds))
                         : begin + std::chrono::hours(24 * 365 * 100);
  for (long seen = 0; count == 0 || seen < count;) {
    // An adapter is known by its USB identity while it is plugged in.
    trn::SerialPortInfo adapter;
    bool unique = false;
    const bool usb = reconnect && usb_adapter_of(port->fd(), &adapter, &unique);
    StatusStream stream(*port);
    trn::Collected what = trn::Collected::Frame;
    while (count == 0 || seen < count) {
      unsigned char frame[7];
      what = stream.next(frame, end);
      if (what != trn::Collected::Frame) break;
      ++seen;
      const long ms = elapsed_ms();
      std::vector<const char *> active = trn::active_inputs(frame[3], frame[4]);
      if (o.json) {
        Json names = Json::array();
        for (const char *n : active) names.push_back(n);
        print_json(Json{{"t", static_cast<double>(ms) / 1000.0},
                        {"active", names},
                        {"a", hex_byte(frame[3])},
                        {"b", hex_byte(frame[4])}});
      } else {
        std::string line = seconds_text(ms);
        for (const char *n : active) line += std::string(" ") + n;
        if (active.empty()) line += " -";
        print_line(line);
      }
      if (output_error()) return kDone;  // main tells, unless the reader has gone
    }
    if (what != trn::Collected::Closed) break;
    const std::string gone = trn::terminal_text(port->path());
    if (!reconnect) throw Failure{kBoardFailed, gone + ": the port hung up"};
    port.reset();  // closed: the adapter's name is free for it again
    const std::string which =
        !usb ? "it"
        : unique ? "the adapter (USB " + trn::terminal_text(adapter.usb_id) + " serial " +
                       trn::terminal_text(adapter.usb_serial) + ")"
                 : "the adapter on its USB port (" + trn::terminal_text(adapter.usb_port) +
                       "; others look alike)";
    fprintf(stderr, "trnctl: %s: the port hung up at %s s; waiting for %s to come back\n",
            gone.c_str(), elapsed_text().c_str(), which.c_str());
    if (!wait_for_port(o, usb ? &adapter : nullptr, unique, end, &port)) break;
    fprintf(stderr, "trnctl: %s: back at %s s; watching again\n",
            trn::terminal_text(port->path()).c_str(),
            elapsed_text().c_str());
  }
  return kDone;
}

int run_backlight(const Options &o, bool on) {
  Port port(o);
  unsigned char command[7], reply[7];
  trn::backlight_request(on, command);
  port.must(command, reply, "backlight command");
  const std::string state = reply[4] == 0 ? "off" : reply[4] == 1 ? "on" : std::to_string(reply[4]);
  if (o.json)
    print_json(Json{{"backlight", state}});
  else
    print_line("backlight=" + state);
  return kDone;
}

int run_raw(const Options &o, const unsigned char bytes[3]) {
  Port port(o);
  unsigned char command[7], reply[7];
  trn::build_frame(command, bytes[0], bytes[1], bytes[2]);
  port.must(command, reply, "frame " + hex_bytes(command, 7));
  if (o.json)
    print_json(Json{{"sent", hex_bytes(command, 7)}, {"reply", hex_bytes(reply, 7)}});
  else
    print_line(hex_bytes(reply, 7));
  return kDone;
}

}  // namespace trnctl
