// Serial link to the TRN board: opening and configuring the port (9600 8E1,
// raw, 100 ms read timeout), closing it, and moving one frame each way.
//
// Two threads use the port: the GUI thread for command exchanges and the
// button status monitor for unsolicited frames.  They meet at the exchange
// lock declared at the bottom of this header.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>

#include <sys/types.h>

// ---- Port service -------------------------------------------------------

// Descriptor of the open serial device; -1 after a failed open.
extern int fd;
// True once the port has been opened and configured.
extern bool ServiceState;

// Fixed line settings handed to OpenTRNService by start-up.
extern const char *port_speed;     // "9600"
extern const char *port_parity;    // "e"
extern const char *port_databits;  // "8"
extern const char *port_stopbits;  // "1"

// Baud rates and their termios codes, row for row.
constexpr int SPEED_ROWS = 18;
extern const int name_arr[SPEED_ROWS];
extern const int speed_arr[SPEED_ROWS];

// Opens and configures the device; 1 when usable, else 0.  Sets fd and
// ServiceState.  The parity applied is always the global port_parity.
int OpenTRNService(const char *ttyS_now, const char *speed, const char *parity,
                   const char *databits, const char *stopbits);
// Closes the port and wakes the monitor.  A second call closes nothing.
void CloseTRNService();

int initport(int fd, int speed, int databits, int stopbits);
void set_speed(int fd, int speed);
int set_Parity(int fd, int databits, int stopbits, int parity);

// True once CloseTRNService has run.
bool service_closed();
// Readable once the service has been closed; the monitor waits on it next to
// the port so that closing the port always wakes it.
int service_wake_fd();

// ---- Frame transport ----------------------------------------------------

// 1 from the start of writeport until readport returns (or a caller gives up
// after writeport, in which case it stays 1).
extern std::atomic<int> isLOCK;

// Counts the exchanges begun (writeport calls).  The monitor compares it
// across its reads: when it moved, an exchange has discarded the port's
// input in between, whatever the monitor itself saw of it.
extern std::atomic<unsigned> exchange_count;

// Raises isLOCK, takes the exchange lock, discards pending input, writes the
// 7 bytes and traces the first six.  Returns 6.
int writeport(int fd, const unsigned char *chars);
// One read of at most 7 bytes into result; discards any further input that
// arrived during the exchange, lowers isLOCK and releases the exchange lock.
// 1 unless the read failed.
int readport(int fd, unsigned char *result);
// readport after its read: n is what the read returned (the bytes are in
// result already) and err its errno when n < 0.  For a caller that collects
// the reply in its own way and then ends the exchange exactly as readport
// does: the CR over the last byte, the flushes, the flag, the trace.
int readport_finish(int fd, unsigned char *result, ssize_t n, int err);
// For a caller that gives up between writeport and readport: releases the
// exchange lock; isLOCK keeps its raised value.
void exchange_abandon();

// ---- Exchange lock --------------------------------------------------------
// An exchange holds exchange_mutex from the raising of isLOCK in writeport
// until readport lowers it.  The monitor holds it from its test of isLOCK
// until its read returns, so no exchange can begin in between.
// exchange_done is notified whenever isLOCK drops or the service closes.
extern std::mutex exchange_mutex;
extern std::condition_variable exchange_done;

// ---- Ports for programs other than the panel ------------------------------

namespace trn {

enum class PortError { None, Open, InUse, Configure };

// Opens path with the panel's line settings (9600 8E1, raw, 100 ms timed
// reads) and an exclusive lock on it, printing nothing.  Returns the
// descriptor, or -1 with *error and *why (the system's text) set; InUse when
// another program holds the lock.  Leaves the panel's globals alone.
int open_port(const char *path, PortError *error, std::string *why);
void close_port(int port);

}  // namespace trn
