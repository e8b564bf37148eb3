// Serial ports from sysfs.  /sys/class/tty/NAME links to the tty's class
// device; its "device" link leads to the device the driver bound:
//
//   ttyS0    -> pnp0/00:04                          driver "serial" (8250 by PNP)
//   ttyS2    -> platform/serial8250                 driver "serial8250"
//   ttyUSB0  -> .../usb1/1-1/1-1:1.0/ttyUSB0        driver "ftdi_sio" (usb-serial)
//   ttyACM0  -> .../usb1/1-2/1-2:1.0                driver "cdc_acm"
//
// Newer kernels put serial-core's own port and controller devices between
// a UART's tty and its device; those are passed over.  A USB port's adapter
// is the first device above it with idVendor and idProduct.
#include "ports.h"

#include <sys/sysmacros.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>

namespace trn {

namespace fs = std::filesystem;

namespace {

// The first line of a sysfs attribute, without its line feed; empty when
// the file cannot be read.
std::string attribute(const fs::path &file) {
  std::ifstream in(file);
  std::string line;
  if (!in || !std::getline(in, line)) return "";
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' '))
    line.pop_back();
  return line;
}

// The last component of where a link points; empty when it is no link.
std::string link_name(const fs::path &link) {
  std::error_code ec;
  const fs::path target = fs::read_symlink(link, ec);
  return ec ? "" : target.filename().string();
}

// "0x3F8", "0x0", "4" as sysfs prints them; -1 when unreadable.
long number(const std::string &text) {
  if (text.empty()) return -1;
  char *end = nullptr;
  const long v = std::strtol(text.c_str(), &end, 0);
  return end && *end == '\0' ? v : -1;
}

// ttyS2 before ttyS10: the letters, then the number that ends the name.
bool name_before(const std::string &a, const std::string &b) {
  auto split = [](const std::string &s) {
    size_t digits = s.size();
    while (digits > 0 && std::isdigit(static_cast<unsigned char>(s[digits - 1]))) --digits;
    const std::string tail = s.substr(digits);
    return std::make_pair(s.substr(0, digits), tail.empty() || tail.size() > 9 ? -1L : std::stol(tail));
  };
  const auto x = split(a), y = split(b);
  if (x != y) return x < y;
  return a < b;
}

// What sysfs says of the tty NAME; false when it has no device.
bool describe(const std::string &name, const SysRoots &roots, SerialPortInfo *info) {
  const fs::path sys(roots.sys);
  const fs::path tty = sys / "class" / "tty" / name;
  std::error_code ec;
  const fs::path device = fs::canonical(tty / "device", ec);
  if (ec) return false;
  *info = SerialPortInfo{};
  info->name = name;
  info->path = roots.dev + "/" + name;

  std::error_code ignored;
  const fs::path devices = fs::canonical(sys / "devices", ignored);
  auto inside = [&](const fs::path &p) {
    const std::string s = p.string(), top = devices.string();
    return !top.empty() && s.size() > top.size() && s.compare(0, top.size(), top) == 0;
  };
  // The driver: the first device up from the tty's that is not serial-core's.
  for (fs::path d = device; inside(d); d = d.parent_path()) {
    if (link_name(d / "subsystem") == "serial-base") continue;
    info->driver = link_name(d / "driver");
    break;
  }
  // The USB adapter, when there is one, and the interface below it: the
  // port it is plugged into.
  for (fs::path d = device, below = device; inside(d); below = d, d = d.parent_path()) {
    const std::string vendor = attribute(d / "idVendor"), product = attribute(d / "idProduct");
    if (vendor.empty() || product.empty()) continue;
    info->usb_id = vendor + ":" + product;
    info->usb_serial = attribute(d / "serial");
    info->usb_port = below.string().substr(devices.string().size() + 1);
    break;
  }
  // A serial-core port: its type, 0 when no UART answered at its address;
  // one with neither an I/O port nor a memory address has none either.
  const std::string type = attribute(tty / "type");
  if (!type.empty()) {
    info->uart_type = static_cast<int>(number(type));
    const long port = number(attribute(tty / "port"));
    const long iomem = number(attribute(tty / "iomem_base"));
    info->no_uart = info->uart_type == 0 || (port == 0 && iomem == 0);
  }
  // The by-id link udev made, if any: the first, in name order, to this tty.
  std::vector<std::string> links;
  for (const auto &e : fs::directory_iterator(fs::path(roots.dev) / "serial" / "by-id", ignored))
    if (link_name(e.path()) == name) links.push_back(e.path().string());
  std::sort(links.begin(), links.end());
  if (!links.empty()) info->by_id = links.front();
  return true;
}

}  // namespace

bool list_serial_ports(const SysRoots &roots, std::vector<SerialPortInfo> *ports,
                       std::string *why) {
  ports->clear();
  const fs::path folder = fs::path(roots.sys) / "class" / "tty";
  std::error_code ec;
  fs::directory_iterator it(folder, ec);
  if (ec) {
    *why = folder.string() + ": " + ec.message();
    return false;
  }
  for (const auto &e : it) {
    // Most ttys (consoles) have no device: one look each, then the next.
    if (!fs::exists(e.path() / "device", ec)) continue;
    SerialPortInfo info;
    if (describe(e.path().filename().string(), roots, &info)) ports->push_back(info);
  }
  std::sort(ports->begin(), ports->end(), [](const SerialPortInfo &a, const SerialPortInfo &b) {
    return name_before(a.name, b.name);
  });
  return true;
}

bool serial_port_of(dev_t device, const SysRoots &roots, SerialPortInfo *info) {
  const fs::path node = fs::path(roots.sys) / "dev" / "char" /
                        (std::to_string(major(device)) + ":" + std::to_string(minor(device)));
  std::error_code ec;
  const fs::path target = fs::canonical(node, ec);
  // A tty's class device sits in a folder named "tty".
  if (ec || target.parent_path().filename() != "tty") return false;
  return describe(target.filename().string(), roots, info);
}

int look_alikes(const std::vector<SerialPortInfo> &ports, const SerialPortInfo &port) {
  if (port.usb_id.empty()) return 0;
  return static_cast<int>(std::count_if(ports.begin(), ports.end(), [&](const SerialPortInfo &p) {
    return p.usb_id == port.usb_id && p.usb_serial == port.usb_serial;
  }));
}

const char *uart_type_name(int type) {
  // The 8250 driver's names for serial-core's first port types.
  static const char *const names[] = {"unknown", "8250",      "16450",   "16550",
                                      "16550A",  "Cirrus",    "ST16650", "ST16650V2",
                                      "TI16750", "Startech",  "16C950/954", "ST16654",
                                      "XR16850", "RSA",       "NS16550A", "XScale"};
  if (type < 0 || type >= static_cast<int>(sizeof names / sizeof *names)) return nullptr;
  return names[type];
}

}  // namespace trn
