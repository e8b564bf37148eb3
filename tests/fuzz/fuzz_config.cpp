// Fuzz target for the configuration reader: any file content as "./trn.ini".
//
// Each input is written to trn.ini in a private scratch directory (the process
// works there from start-up on), read with trn::read_config and turned into
// a device path.  Checked against a reference reader written
// here from the file format (15-character chunks, last character dropped,
// "COM=" anywhere, value after the chunk's first four characters, stripped,
// lower-cased, cut to five characters):
//   - port_number is terminated within its 6 bytes and equals the reference;
//   - the path is exactly "/dev/ttyS<n>", n a plain non-negative decimal,
//     n = atoi(port_number) - 1, or 4 (port "5") when that is negative;
//   - with TRN_DEVICE set to a text from the input, the device named is that
//     text when it fits the length limit, and none (refused whole) when not.
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "config.h"

namespace {

// Under $TMPDIR, else in memory when possible: the file is rewritten for
// every input.
char scratch_dir[4096];

// The TRN_DEVICE entry of the environment.  putenv keeps this buffer itself,
// so changing it changes the variable; setenv would keep a copy of every
// value ever set and grow without end over millions of inputs.
char device_entry[96];

void check(bool ok) {
  if (!ok) __builtin_trap();
}

void remove_scratch() {
  if (chdir("/") == 0) {
    std::string ini = std::string(scratch_dir) + "/trn.ini";
    unlink(ini.c_str());
    rmdir(scratch_dir);
  }
}

bool blank_or_tab(char c) { return c == ' ' || c == '\t'; }
bool trailing_space(char c) { return blank_or_tab(c) || c == '\r' || c == '\n'; }

// The port number the file gives, as text, by the file format alone.
std::string reference_port(const uint8_t *data, size_t size) {
  std::string port;
  size_t pos = 0;
  while (pos < size) {
    // One chunk as fgets(ch, 16, ...) takes it: up to a line feed included,
    // at most 15 bytes.  Only its text up to the first NUL counts.
    size_t end = pos;
    while (end < size && end - pos < 15) {
      if (data[end++] == '\n') break;
    }
    std::string chunk(reinterpret_cast<const char *>(data + pos), end - pos);
    pos = end;
    chunk = chunk.substr(0, chunk.find('\0'));
    if (!chunk.empty()) chunk.pop_back();
    if (chunk.find("COM=") == std::string::npos) continue;
    std::string value = chunk.substr(4);
    size_t first = 0;
    while (first < value.size() && blank_or_tab(value[first])) first++;
    value.erase(0, first);
    while (!value.empty() && trailing_space(value.back())) value.pop_back();
    for (char &c : value) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    port = value.substr(0, 5);
  }
  return port;
}

// True when text is "/dev/ttyS" followed by the plain decimal form of n.
bool is_ttys_path(const char *text, long n) {
  static const char prefix[] = "/dev/ttyS";
  if (strncmp(text, prefix, sizeof prefix - 1) != 0) return false;
  const char *digits = text + sizeof prefix - 1;
  if (!isdigit(static_cast<unsigned char>(digits[0]))) return false;
  if (digits[0] == '0' && digits[1] != '\0') return false;  // no leading zero
  long value = 0;
  for (const char *p = digits; *p; p++) {
    if (!isdigit(static_cast<unsigned char>(*p))) return false;
    value = value * 10 + (*p - '0');
    if (value > 1000000) return false;
  }
  return value == n;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  const char *base = getenv("TMPDIR");
  if (!base || !*base) base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  snprintf(scratch_dir, sizeof scratch_dir, "%s/trn_fuzz_config_XXXXXX", base);
  if (!mkdtemp(scratch_dir) || chdir(scratch_dir) != 0) {
    perror("fuzz_config: scratch directory");
    abort();
  }
  atexit(remove_scratch);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FILE *ini = fopen("trn.ini", "wb");
  if (!ini) abort();
  if (size && fwrite(data, 1, size, ini) != size) abort();
  fclose(ini);

  memset(port_number, 0, sizeof port_number);
  unsetenv("TRN_DEVICE");
  const trn::ConfigReport report = trn::read_config();

  // port_number: terminated inside its 6 bytes and what the file says, as
  // the report says too.
  check(memchr(port_number, '\0', sizeof port_number) != nullptr);
  check(reference_port(data, size) == port_number);
  check(report.opened && report.value == port_number);

  // Device path from the port number: n = atoi - 1, or 4 (and "5").  At most
  // five characters, so atoi cannot overflow.
  long n = atoi(port_number) - 1;
  const bool fallback = n < 0;
  if (fallback) n = 4;
  const std::string ttyS_now = trn::device_from_port_number();
  check(ttyS_now.size() <= trn::PANEL_DEVICE_MAX);
  check(is_ttys_path(ttyS_now.c_str(), n));
  if (fallback) check(strcmp(port_number, "5") == 0);

  // TRN_DEVICE override: the input's first line (without NULs) names the
  // device, under a length limit taken from the input.  A device name that
  // does not fit is refused whole, never cut.
  std::string device;
  for (size_t i = 0; i < size && i < 64 && data[i] != '\n' && data[i] != '\0'; i++)
    device.push_back(static_cast<char>(data[i]));
  const size_t limit = size ? data[size - 1] % 40 : 0;
  snprintf(device_entry, sizeof device_entry, "TRN_DEVICE=%s", device.c_str());
  if (putenv(device_entry) != 0) abort();
  bool too_long = false;
  const std::string named = trn::device_from_environment(limit, &too_long);
  check(too_long == (!device.empty() && device.size() > limit));
  check(named == (too_long ? std::string() : device));
  unsetenv("TRN_DEVICE");
  return 0;
}
