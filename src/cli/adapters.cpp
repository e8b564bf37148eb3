// Real ports and adapters: the ports command, and how watch --reconnect
// finds an unplugged adapter again.
#include <poll.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "cli.h"
#include "output.h"
#include "text.h"

namespace trnctl {

namespace {

// "-" for an empty column.
std::string or_dash(const std::string &s) { return s.empty() ? "-" : s; }

Json or_null(const std::string &s) { return s.empty() ? Json(nullptr) : Json(s); }

// The UART's type name for a serial-core port that has one; empty for a
// port with no UART behind it and for other ports (USB, ...).
std::string uart_name(const trn::SerialPortInfo &p) {
  if (p.no_uart || p.uart_type < 0) return "";
  const char *name = trn::uart_type_name(p.uart_type);
  return name ? name : "type " + std::to_string(p.uart_type);
}

}  // namespace

trn::SysRoots sys_roots() {
  trn::SysRoots roots;
  if (const char *s = getenv("TRN_SYS_ROOT"); s && *s) roots.sys = s;
  if (const char *d = getenv("TRN_DEV_ROOT"); d && *d) roots.dev = d;
  return roots;
}

int run_ports(const Options &o) {
  std::vector<trn::SerialPortInfo> ports;
  std::string why;
  if (!trn::list_serial_ports(sys_roots(), &ports, &why))
    throw Failure{kPortFailed, "ports: cannot read " + why};
  if (ports.empty()) fprintf(stderr, "trnctl: ports: the kernel lists no serial port\n");
  if (o.json) {
    for (const trn::SerialPortInfo &p : ports) {
      Json port{{"path", p.path},
                {"driver", or_null(p.driver)},
                {"uart", or_null(uart_name(p))},
                {"no_uart", p.no_uart},
                {"usb", or_null(p.usb_id)},
                {"serial", or_null(p.usb_serial)},
                {"by_id", or_null(p.by_id)}};
      // Look-alikes only: what tells them apart.
      if (trn::look_alikes(ports, p) > 1) {
        port["look_alike"] = true;
        port["usb_port"] = p.usb_port;
      }
      print_json(port);
    }
    return kDone;
  }
  if (ports.empty()) return kDone;
  // The UART column says "none" for a port with no UART behind it; a serial
  // number that other adapters share is marked with a star.  sysfs texts
  // are shown escaped.
  bool alike = false;
  std::vector<std::vector<std::string>> rows{{"port", "driver", "uart", "usb", "serial", "by-id"}};
  for (const trn::SerialPortInfo &p : ports) {
    const bool shared = trn::look_alikes(ports, p) > 1;
    alike = alike || shared;
    rows.push_back({trn::terminal_text(p.path), or_dash(trn::terminal_text(p.driver)),
                    p.no_uart ? "none" : or_dash(uart_name(p)), or_dash(trn::terminal_text(p.usb_id)),
                    or_dash(trn::terminal_text(p.usb_serial)) + (shared ? "*" : ""),
                    or_dash(trn::terminal_text(p.by_id))});
  }
  std::vector<size_t> width(rows[0].size(), 0);
  for (const auto &r : rows)
    for (size_t i = 0; i < r.size(); ++i) width[i] = std::max(width[i], r[i].size());
  for (const auto &r : rows) {
    std::string line;
    for (size_t i = 0; i < r.size(); ++i) {
      line += r[i];
      if (i + 1 < r.size()) line += std::string(width[i] - r[i].size() + 2, ' ');
    }
    print_line(line);
  }
  if (alike)
    fprintf(stderr, "trnctl: ports: * adapters that look alike (the same USB identity); "
                    "watch --reconnect tells them apart by their USB port\n");
  return kDone;
}

bool usb_adapter_of(int port, trn::SerialPortInfo *adapter, bool *unique) {
  struct stat st;
  if (fstat(port, &st) != 0 || !S_ISCHR(st.st_mode) ||
      !trn::serial_port_of(st.st_rdev, sys_roots(), adapter) || adapter->usb_id.empty())
    return false;
  std::vector<trn::SerialPortInfo> ports;
  std::string why;
  *unique = !adapter->usb_serial.empty() && trn::list_serial_ports(sys_roots(), &ports, &why) &&
            trn::look_alikes(ports, *adapter) == 1;
  return true;
}

namespace {

// The port to open again after adapter hung up: the one on the adapter's
// USB port; else, for an adapter whose identity no other shared, the one
// port with that identity, wherever it is plugged in now; else none yet.
// Never one of several look-alikes.
std::string adapter_path(const trn::SerialPortInfo &adapter, bool unique) {
  std::vector<trn::SerialPortInfo> ports;
  std::string why;
  if (!trn::list_serial_ports(sys_roots(), &ports, &why)) return "";
  for (const trn::SerialPortInfo &p : ports)
    if (!p.usb_port.empty() && p.usb_port == adapter.usb_port && p.usb_id == adapter.usb_id)
      return p.path;
  if (unique && trn::look_alikes(ports, adapter) == 1)
    for (const trn::SerialPortInfo &p : ports)
      if (p.usb_id == adapter.usb_id && p.usb_serial == adapter.usb_serial) return p.path;
  return "";
}

}  // namespace

bool wait_for_port(const Options &o, const trn::SerialPortInfo *adapter, bool unique,
                   trn::Clock::time_point end, std::unique_ptr<Port> *opened) {
  constexpr int kCheckMs = 200;
  std::string last_failure;
  for (;;) {
    if (stop_requested.load() || trn::Clock::now() >= end) return false;
    const std::string path = adapter ? adapter_path(*adapter, unique) : o.device;
    struct stat st;
    if (!path.empty() && stat(path.c_str(), &st) == 0) {
      Options again = o;
      again.device = path;
      again.device_origin.clear();
      try {
        opened->reset(new Port(again));
        return true;
      } catch (const Failure &f) {
        // There but not usable yet (or held by another program): said once
        // for each new reason, then tried again.
        if (f.message != last_failure)
          fprintf(stderr, "trnctl: %s; trying again\n", f.message.c_str());
        last_failure = f.message;
      }
    }
    // Sleeps until the next look; a signal ends the sleep early.
    const long long left =
        std::chrono::duration_cast<std::chrono::milliseconds>(end - trn::Clock::now()).count() + 1;
    poll(nullptr, 0, static_cast<int>(std::max(0LL, std::min<long long>(kCheckMs, left))));
  }
}

}  // namespace trnctl
