// Real ports and adapters: the ports command, and how watch --reconnect
// finds an unplugged adapter again.
#include <poll.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "cli.h"
#include "output.h"

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
    for (const trn::SerialPortInfo &p : ports)
      print_json(Json{{"path", p.path},
                      {"driver", or_null(p.driver)},
                      {"uart", or_null(uart_name(p))},
                      {"no_uart", p.no_uart},
                      {"usb", or_null(p.usb_id)},
                      {"serial", or_null(p.usb_serial)},
                      {"by_id", or_null(p.by_id)}});
    return kDone;
  }
  if (ports.empty()) return kDone;
  // The UART column says "none" for a port with no UART behind it.
  std::vector<std::vector<std::string>> rows{{"port", "driver", "uart", "usb", "serial", "by-id"}};
  for (const trn::SerialPortInfo &p : ports)
    rows.push_back({p.path, or_dash(p.driver), p.no_uart ? "none" : or_dash(uart_name(p)),
                    or_dash(p.usb_id), or_dash(p.usb_serial), or_dash(p.by_id)});
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
  return kDone;
}

bool usb_adapter_of(int port, trn::SerialPortInfo *adapter) {
  struct stat st;
  return fstat(port, &st) == 0 && S_ISCHR(st.st_mode) &&
         trn::serial_port_of(st.st_rdev, sys_roots(), adapter) && !adapter->usb_id.empty() &&
         !adapter->usb_serial.empty();
}

bool wait_for_port(const Options &o, const trn::SerialPortInfo *adapter,
                   trn::Clock::time_point end, std::unique_ptr<Port> *opened) {
  constexpr int kCheckMs = 200;
  std::string last_failure;
  for (;;) {
    if (stop_requested.load() || trn::Clock::now() >= end) return false;
    // The path given, or the port of the adapter with the same identity.
    std::string path = o.device;
    if (adapter) {
      path.clear();
      std::vector<trn::SerialPortInfo> ports;
      std::string why;
      if (trn::list_serial_ports(sys_roots(), &ports, &why))
        for (const trn::SerialPortInfo &p : ports)
          if (p.usb_id == adapter->usb_id && p.usb_serial == adapter->usb_serial) path = p.path;
    }
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
