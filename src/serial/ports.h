// The serial ports the kernel has, as sysfs lists them (/sys/class/tty):
// the driver behind each, a USB adapter's vendor, product, serial number
// and USB port, the link udev made in /dev/serial/by-id, and the 8250-family
// ports with no UART behind them.  Reads files only; opens no port.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace trn {

// Where sysfs and the device folder are; tests point them at a fake tree.
struct SysRoots {
  std::string sys = "/sys";
  std::string dev = "/dev";
};

struct SerialPortInfo {
  std::string name;        // "ttyUSB0"
  std::string path;        // the device: dev + "/ttyUSB0"
  std::string driver;      // as sysfs names it: "serial8250", "ftdi_sio", ...; empty: none bound
  int uart_type = -1;      // a serial-core port's "type" (4: 16550A); -1 for other ports
  bool no_uart = false;    // a serial-core port with no UART behind it
  std::string usb_id;      // "0403:6001"; empty when the port is not on USB
  std::string usb_serial;  // the USB device's serial number; empty when it has none
  std::string by_id;       // dev + "/serial/by-id/..."; empty when udev made none
  // The USB port and interface the adapter is plugged into, as sysfs names
  // its interface ("pci0000:00/usb1/1-2/1-2:1.0", what /dev/serial/by-path
  // names too): it tells apart adapters that look alike.  Empty off USB.
  std::string usb_port;
};

// How many of ports share port's USB identity (vendor, product and
// serial number, or the lack of one), port itself included; 0 off USB.
// Cheap adapters often share one: several with 1 are look-alikes.
int look_alikes(const std::vector<SerialPortInfo> &ports, const SerialPortInfo &port);

// Every tty that sysfs ties to a device (consoles and pseudo-terminals have
// none), in name order with numbers compared as numbers (ttyS2 before
// ttyS10).  False, with *why, when the class folder cannot be read.
bool list_serial_ports(const SysRoots &roots, std::vector<SerialPortInfo> *ports,
                       std::string *why);

// The port behind a character device number (st_rdev of an open port),
// found through sysfs's /dev/char; false when sysfs does not list it as a
// serial port (a pseudo-terminal).
bool serial_port_of(dev_t device, const SysRoots &roots, SerialPortInfo *info);

// "16550A" for a serial-core port type; nullptr for a number not named.
const char *uart_type_name(int type);

}  // namespace trn
