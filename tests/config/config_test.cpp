// Configuration reader: trn.ini contents (each case in a working directory
// of its own) to the device path and the reader's report, the TRN_DEVICE
// override and its length rules, and the text helpers the reader uses.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "config.h"
#include "support.h"

namespace {

bool write_file(const char *name, const std::string &bytes) {
  FILE *f = fopen(name, "wb");
  if (!f) return false;
  bool ok = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return fclose(f) == 0 && ok;
}

// Saves TRN_DEVICE and restores it afterwards.
class DeviceEnv {
 public:
  DeviceEnv() {
    const char *v = getenv("TRN_DEVICE");
    if (v) saved_ = v;
  }
  ~DeviceEnv() {
    if (saved_)
      setenv("TRN_DEVICE", saved_->c_str(), 1);
    else
      unsetenv("TRN_DEVICE");
  }

 private:
  std::optional<std::string> saved_;
};

enum class Ini { None, File, Directory };

struct Chosen {
  std::string path, trace, port_number;
  trn::ConfigReport report;
};

// Runs the reader and the panel's choice of device in a fresh working
// directory.  The reader prints nothing: trace is what it wrote.
Chosen choose(Ini kind, const std::string &content = "") {
  WorkDir dir;
  EXPECT_TRUE(dir.ok());
  if (kind == Ini::File) {
    EXPECT_TRUE(write_file("trn.ini", content));
  } else if (kind == Ini::Directory) {
    EXPECT_EQ(0, mkdir("trn.ini", 0755));
  }
  memset(port_number, 0, sizeof port_number);
  Chosen c;
  StdoutCapture out;
  c.report = trn::read_config();
  c.path = trn::device_from_port_number();
  bool too_long = false;
  const std::string named = trn::device_from_environment(trn::PANEL_DEVICE_MAX, &too_long);
  if (!named.empty()) c.path = named;
  c.trace = out.text();
  c.port_number = port_number;
  return c;
}

class ConfigTest : public ::testing::Test {
 protected:
  void SetUp() override { unsetenv("TRN_DEVICE"); }
  DeviceEnv env_;
};

TEST_F(ConfigTest, NoFileMeansPortFive) {
  Chosen c = choose(Ini::None);
  EXPECT_EQ("/dev/ttyS4", c.path);
  EXPECT_EQ("", c.trace);
  EXPECT_FALSE(c.report.opened);
  EXPECT_EQ(ENOENT, c.report.open_error);
  EXPECT_EQ("5", c.port_number);
}

TEST_F(ConfigTest, FileContentToDevicePath) {
  const std::string long_line(10 * 1024, 'x');
  // Control bytes, bytes above 0x7f and NUL bytes; the key behind a NUL is
  // cut across two chunks and never seen whole.
  std::string junk("\x00\x01\xff\xfe", 4);
  junk += " garbage";
  junk.push_back('\0');
  junk += "COM=9\n";
  junk += std::string("\x7f\x00\x00\n", 4);
  struct Row {
    const char *name;
    std::string content;
    const char *path;
  } rows[] = {
      {"one line COM=1", "COM=1\n", "/dev/ttyS0"},
      {"last line without a line feed loses its last character", "COM=3", "/dev/ttyS4"},
      {"last line without a line feed, two digits", "COM=23", "/dev/ttyS1"},
      {"blank, 12, blank, CR LF", "COM= 12 \r\n", "/dev/ttyS11"},
      {"tabs around the value", "COM=\t7\t\n", "/dev/ttyS6"},
      {"key after two blanks: value is m=2", "  COM=2\n", "/dev/ttyS4"},
      {"COM=0", "COM=0\n", "/dev/ttyS4"},
      {"COM=-3", "COM=-3\n", "/dev/ttyS4"},
      {"non-numeric", "COM=abc\n", "/dev/ttyS4"},
      {"empty value", "COM=\n", "/dev/ttyS4"},
      {"leading digits count", "COM=3a\n", "/dev/ttyS2"},
      {"last COM= wins", "COM=2\nCOM=3\n", "/dev/ttyS2"},
      {"other lines ignored", "BAUD=9600\nCOM=2\nPARITY=E\n", "/dev/ttyS1"},
      {"lower-case key is not the key", "com=2\n", "/dev/ttyS4"},
      {"20-character line with a comment", "COM=2 #serial port 2\n", "/dev/ttyS1"},
      {"value cut to five characters", "COM=123456789\n", "/dev/ttyS12344"},
      {"empty file", "", "/dev/ttyS4"},
      {"binary junk with NUL bytes", junk, "/dev/ttyS4"},
      {"junk, then a good line", junk + "COM=4\n", "/dev/ttyS3"},
      {"10 KB line", long_line + "\n", "/dev/ttyS4"},
      {"10 KB line, then a good line", long_line + "\nCOM=4\n", "/dev/ttyS3"},
      {"good line, then a 10 KB line", "COM=4\n" + long_line + "\n", "/dev/ttyS3"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    Chosen c = choose(Ini::File, row.content);
    EXPECT_EQ(row.path, c.path);
    EXPECT_EQ("", c.trace);
  }
}

TEST_F(ConfigTest, DirectoryNamedTrnIniReadsNothing) {
  Chosen c = choose(Ini::Directory);
  EXPECT_EQ("/dev/ttyS4", c.path);
  EXPECT_EQ("", c.trace);
  EXPECT_TRUE(c.report.opened);
  EXPECT_TRUE(c.report.read_failed);
}

// What the reader found and what it did not use: the value kept, the COM=
// values a later one replaced, the pieces without the key.
TEST_F(ConfigTest, ReportSaysWhatWasFoundAndNotUsed) {
  struct Row {
    const char *name, *content, *value;
    int replaced, ignored;
  } rows[] = {
      {"one line", "COM=2\n", "2", 0, 0},
      {"last COM= wins", "COM=2\nBAUD=9600\nCOM=3\n", "3", 1, 1},
      {"value cut to five characters", "COM=123456789\n", "12345", 0, 0},
      {"long line: its rest is a piece of its own", "COM=2 #serial port 2\n", "2 #se", 0, 1},
      {"no key", "PORT=1\n\n", "", 0, 2},
      {"empty file", "", "", 0, 0},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    Chosen c = choose(Ini::File, row.content);
    EXPECT_TRUE(c.report.opened);
    EXPECT_FALSE(c.report.read_failed);
    EXPECT_EQ(row.value, c.report.value);
    EXPECT_EQ(row.replaced, c.report.replaced);
    EXPECT_EQ(row.ignored, c.report.ignored);
  }
}

TEST_F(ConfigTest, TrnDeviceOverridesWhenSetAndNotEmpty) {
  setenv("TRN_DEVICE", "/dev/pts/trn-test", 1);
  Chosen c = choose(Ini::File, "COM=2\n");
  EXPECT_EQ("/dev/pts/trn-test", c.path);
  EXPECT_EQ("2", c.port_number);

  setenv("TRN_DEVICE", "", 1);
  c = choose(Ini::File, "COM=2\n");
  EXPECT_EQ("/dev/ttyS1", c.path);

  // A path longer than the panel's 31 characters is refused whole, never
  // cut into the name of some other device; trnctl takes it.
  const std::string by_id = "/dev/serial/by-id/usb-0000-0000-if00-port0";
  setenv("TRN_DEVICE", by_id.c_str(), 1);
  c = choose(Ini::File, "COM=2\n");
  EXPECT_EQ("/dev/ttyS1", c.path);
  bool too_long = false;
  EXPECT_EQ("", trn::device_from_environment(trn::PANEL_DEVICE_MAX, &too_long));
  EXPECT_TRUE(too_long);
  EXPECT_EQ(by_id, trn::device_from_environment(trn::ANY_DEVICE_LENGTH, &too_long));
  EXPECT_FALSE(too_long);
  const std::string longest(trn::PANEL_DEVICE_MAX, 'x');
  setenv("TRN_DEVICE", longest.c_str(), 1);
  EXPECT_EQ(longest, choose(Ini::File, "COM=2\n").path);
}

TEST(TextHelpers, StrStrip) {
  struct Row {
    std::string in, out;
  } rows[] = {
      {"  abc  ", "abc"},
      {"\t a b \t\r\n", "a b"},
      {"abc", "abc"},
      {"", ""},
      {" \t \r\n", ""},
      {"\r\n  ", ""},
      {"\r\nabc \n", "\r\nabc"},  // a CR or LF at the front stays
      {" \rabc", "\rabc"},
      {"\nx", "\nx"},
  };
  for (const Row &r : rows) {
    SCOPED_TRACE("\"" + r.in + "\"");
    char buf[32];
    snprintf(buf, sizeof buf, "%s", r.in.c_str());
    str_strip(buf);
    EXPECT_EQ(r.out, buf);
  }
}

TEST(TextHelpers, ParserHelperAndSubString) {
  struct Row {
    const char *ch, *compare, *result;
  } rows[] = {
      {"COM= 12 \r", "COM=", "12"},
      {"COM=ABC", "COM=", "abc"},
      {"  COM=2", "COM=", "m=2"},
      {"COM=", "COM=", ""},
      {"COM=\tX1 ", "COM=", "x1"},
      {"KEY:Value", "KEY:", "value"},
  };
  for (const Row &r : rows) {
    SCOPED_TRACE(r.ch);
    char result[16];
    memset(result, 'z', sizeof result);
    parser_helper(result, r.ch, r.compare);
    EXPECT_STREQ(r.result, result);
  }
  char buf[] = "abcdef";
  EXPECT_EQ(buf + 2, sub_string(buf, 2));
  EXPECT_EQ(buf, sub_string(buf, 0));
}

}  // namespace
