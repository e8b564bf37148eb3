// Command catalogue: the exact frame each call puts on the wire (seen by the
// simulated board through the pty), the reply byte each command hands back,
// and the commands' special cases.
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "../serial/hang_guard.h"
#include "VXTRN.h"
#include "reply_peer.h"
#include "serial.h"
#include "support.h"

namespace {

using Call = std::function<int(unsigned char *)>;

struct Buffer {
  unsigned char b[16] = {};
  explicit Buffer(const char *text) { snprintf(reinterpret_cast<char *>(b), sizeof b, "%s", text); }
};

unsigned char eeprom_address[1] = {0x10};
unsigned char eeprom_mode_zero[1] = {0x00};

struct WireRow {
  const char *call;
  const char *text;
  Call run;
  const char *frame;
};

// One row a frame: the call, its value text, the frame the board receives.
const WireRow kWire[] = {
    // Identification.
    {"VXTRNDeviceIdentifier", "", [](unsigned char *) {
       unsigned char a, b;
       return VXTRNDeviceIdentifier(&a, &b);
     }, "1b 42 00 00 00 5d 0d"},
    {"VXTRNVer", "", [](unsigned char *) {
       unsigned char v;
       return VXTRNVer(&v);
     }, "1b 42 01 00 00 5e 0d"},
    // The reads the panel issues, each as the panel asks.
    {"RingToneTurn", "2", RingToneTurn, "1b 42 03 02 00 62 0d"},
    {"RingToneVolume", "2", RingToneVolume, "1b 42 03 03 02 65 0d"},
    {"RingToneFreq", "0", RingToneFreq, "1b 42 03 04 00 64 0d"},
    {"RingToneLED", "2", RingToneLED, "1b 42 04 02 00 63 0d"},
    {"VolumeValue", "ff", VolumeValue, "1b 42 06 00 00 63 0d"},
    {"BrightnessValue", "ff", BrightnessValue, "1b 42 07 00 00 64 0d"},
    {"AudioOutOption", "0", AudioOutOption, "1b 42 08 00 00 65 0d"},
    {"MembraneLed", "4", MembraneLed, "1b 42 09 04 00 6a 0d"},
    {"Switch1Status read", "ff", [](unsigned char *r) { return Switch1Status(r, 1); },
     "1b 42 0a 00 00 67 0d"},
    {"Switch2Status read", "ff", [](unsigned char *r) { return Switch2Status(r, 1); },
     "1b 42 0a 01 00 68 0d"},
    {"NurseCallLED read", "", [](unsigned char *r) { return NurseCallLED(r, 1); },
     "1b 42 0b 02 00 6a 0d"},
    {"PwBtnPassThrough read", "", [](unsigned char *r) { return PwBtnPassThrough(r, 1); },
     "1b 42 0c 02 00 6b 0d"},
    {"PassThroughDelay read", "", [](unsigned char *r) { return PassThroughDelay(r, 1); },
     "1b 42 0d 00 00 6a 0d"},
    // Writes and defaults.
    {"RingToneTurn", "1", RingToneTurn, "1b 42 03 01 00 61 0d"},
    {"RingToneTurn", "0", RingToneTurn, "1b 42 03 00 00 60 0d"},
    {"RingToneTurn", "", RingToneTurn, "1b 42 03 00 00 60 0d"},
    {"RingToneVolume", "1", RingToneVolume, "1b 42 03 03 01 64 0d"},
    {"RingToneVolume", "", RingToneVolume, "1b 42 03 03 00 63 0d"},
    {"RingToneFreq", "6", RingToneFreq, "1b 42 03 04 06 6a 0d"},
    {"RingToneLED", "1", RingToneLED, "1b 42 04 01 00 62 0d"},
    {"BackLight", "0", BackLight, "1b 42 05 00 00 62 0d"},
    {"BackLight", "1", BackLight, "1b 42 05 01 00 63 0d"},
    {"VolumeValue", "f", VolumeValue, "1b 42 06 01 0f 73 0d"},
    {"VolumeValue", "10", VolumeValue, "1b 42 06 01 10 74 0d"},
    {"VolumeValue", "FF", VolumeValue, "1b 42 06 01 ff 63 0d"},
    {"VolumeValue", "", VolumeValue, "1b 42 06 01 00 64 0d"},
    {"BrightnessValue", "7", BrightnessValue, "1b 42 07 01 07 6c 0d"},
    {"VolumeDownUp", "1", VolumeDownUp, "1b 42 06 03 00 66 0d"},
    {"VolumeDownUp", "0", VolumeDownUp, "1b 42 06 02 00 65 0d"},
    {"VolumeDownUp", "", VolumeDownUp, "1b 42 06 02 00 65 0d"},
    {"BrightnessDownUp", "1", BrightnessDownUp, "1b 42 07 03 00 67 0d"},
    {"BrightnessDownUp", "0", BrightnessDownUp, "1b 42 07 02 00 66 0d"},
    {"AudioOutOption", "5", AudioOutOption, "1b 42 08 05 00 6a 0d"},
    {"MembraneLed", "3", MembraneLed, "1b 42 09 03 00 69 0d"},
    {"Switch1Status write", "7", [](unsigned char *r) { return Switch1Status(r, 0); },
     "1b 42 0a 80 07 ee 0d"},
    {"Switch1Status read ignores text", "7", [](unsigned char *r) { return Switch1Status(r, 1); },
     "1b 42 0a 00 00 67 0d"},
    {"Switch2Status write", "ff", [](unsigned char *r) { return Switch2Status(r, 0); },
     "1b 42 0a 81 ff e7 0d"},
    {"NurseCallLED write", "1", [](unsigned char *r) { return NurseCallLED(r, 0); },
     "1b 42 0b 01 00 69 0d"},
    {"NurseCallLED write", "2", [](unsigned char *r) { return NurseCallLED(r, 0); },
     "1b 42 0b 00 00 68 0d"},
    {"NurseCallLED write", "101", [](unsigned char *r) { return NurseCallLED(r, 0); },
     "1b 42 0b 01 00 69 0d"},  // compared as an 8-bit value
    {"PwBtnPassThrough write", "1", [](unsigned char *r) { return PwBtnPassThrough(r, 0); },
     "1b 42 0c 01 00 6a 0d"},
    {"PwBtnPassThrough write", "0", [](unsigned char *r) { return PwBtnPassThrough(r, 0); },
     "1b 42 0c 00 00 69 0d"},
    {"PassThroughDelay write", "a", [](unsigned char *r) { return PassThroughDelay(r, 0); },
     "1b 42 0d 01 0a 75 0d"},
    {"EEPROM null mode", "ab",
     [](unsigned char *r) { return EEPROM(nullptr, eeprom_address, r); },
     "1b 42 f0 10 ab 08 0d"},
    {"EEPROM mode given (zero byte)", "ab",
     [](unsigned char *r) { return EEPROM(eeprom_mode_zero, eeprom_address, r); },
     "1b 42 f1 10 ab 09 0d"},
    {"ButtonStatusIntervalTime", "5", ButtonStatusIntervalTime, "1b 42 02 01 35 95 0d"},
    {"ButtonStatusIntervalTime", "", ButtonStatusIntervalTime, "1b 42 02 01 00 60 0d"},
};

class CatalogueTest : public ScriptedBoardTest {};

TEST_F(CatalogueTest, FramesOnTheWire) {
  reply_genuinely();
  StdoutCapture quiet;
  for (const WireRow &row : kWire) {
    SCOPED_TRACE(std::string(row.call) + " \"" + row.text + "\"");
    board.clear_received();
    Buffer buf(row.text);
    {
      HangGuard guard(row.call, 10);
      row.run(buf.b);
    }
    ASSERT_TRUE(board.wait_received(1, std::chrono::seconds(5)));
    std::vector<std::string> sent = wire();
    ASSERT_EQ(1u, sent.size());
    EXPECT_EQ(row.frame, sent[0]);
  }
}

// Every command answered by the same reply (byte 3 = 0x0a, byte 4 = 0x0b):
// which byte lands in refvar, and that nothing lands without a reply.
TEST_F(CatalogueTest, ReplyByteHandedBack) {
  struct Row {
    const char *call;
    const char *text;
    Call run;
    unsigned char stored;
  } rows[] = {
      {"RingToneTurn", "2", RingToneTurn, 0x0B},
      {"RingToneVolume", "2", RingToneVolume, 0x0B},
      {"RingToneFreq", "0", RingToneFreq, 0x0B},
      {"RingToneLED", "2", RingToneLED, 0x0B},
      {"BackLight", "1", BackLight, 0x0B},
      {"VolumeValue", "ff", VolumeValue, 0x0B},
      {"VolumeDownUp", "1", VolumeDownUp, 0x0B},
      {"BrightnessValue", "ff", BrightnessValue, 0x0B},
      {"BrightnessDownUp", "0", BrightnessDownUp, 0x0B},
      {"AudioOutOption", "0", AudioOutOption, 0x0B},
      {"MembraneLed", "4", MembraneLed, 0x0B},
      {"Switch1Status", "ff", [](unsigned char *r) { return Switch1Status(r, 1); }, 0x0B},
      {"Switch2Status", "ff", [](unsigned char *r) { return Switch2Status(r, 0); }, 0x0B},
      {"NurseCallLED read", "", [](unsigned char *r) { return NurseCallLED(r, 1); }, 0x0B},
      {"NurseCallLED write", "1", [](unsigned char *r) { return NurseCallLED(r, 0); }, 0x0A},
      {"PwBtnPassThrough read", "", [](unsigned char *r) { return PwBtnPassThrough(r, 1); },
       0x0B},
      {"PwBtnPassThrough write", "0", [](unsigned char *r) { return PwBtnPassThrough(r, 0); },
       0x0A},
      {"PassThroughDelay", "a", [](unsigned char *r) { return PassThroughDelay(r, 0); }, 0x0B},
      {"EEPROM", "3", [](unsigned char *r) { return EEPROM(nullptr, eeprom_address, r); }, 0x0B},
      // Not a reply byte: the text converted.
      {"ButtonStatusIntervalTime", "5", ButtonStatusIntervalTime, 0x05},
  };
  StdoutCapture quiet;
  for (const Row &row : rows) {
    SCOPED_TRACE(std::string(row.call) + " \"" + row.text + "\"");
    reply_with({0x1B, 0x42, 0x0C, 0x0A, 0x0B, 0x7E, 0x0D});
    Buffer ok(row.text);
    EXPECT_EQ(1, row.run(ok.b));
    EXPECT_EQ(row.stored, ok.b[0]);
    // The rest of the buffer keeps its text.
    if (row.text[0]) {
      EXPECT_EQ(0, memcmp(ok.b + 1, row.text + 1, strlen(row.text)));
    }

    reply_with({});
    Buffer failed(row.text);
    EXPECT_EQ(0, row.run(failed.b));
    EXPECT_EQ(0, memcmp(failed.b, Buffer(row.text).b, sizeof failed.b));
  }
}

// The step commands take only 0 and 1: anything else sends nothing, traces
// nothing and leaves the buffer and the exchange flag alone.
TEST_F(CatalogueTest, StepCommandsRefuseOtherNumbers) {
  reply_genuinely();
  struct Row {
    const char *call;
    const char *text;
    Call run;
  } rows[] = {
      {"VolumeDownUp", "2", VolumeDownUp},       {"VolumeDownUp", "-1", VolumeDownUp},
      {"VolumeDownUp", "10", VolumeDownUp},      {"BrightnessDownUp", "2", BrightnessDownUp},
      {"BrightnessDownUp", " 3x", BrightnessDownUp},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(std::string(row.call) + " \"" + row.text + "\"");
    board.clear_received();
    for (int flag : {0, 1}) {
      isLOCK = flag;
      Buffer buf(row.text);
      StdoutCapture out;
      EXPECT_EQ(0, row.run(buf.b));
      EXPECT_EQ("", out.text());
      EXPECT_EQ(0, memcmp(buf.b, Buffer(row.text).b, sizeof buf.b));
      EXPECT_EQ(flag, isLOCK.load());
    }
    // Nothing went out before the read that follows.
    Buffer read("ff");
    StdoutCapture quiet;
    VolumeValue(read.b);
    ASSERT_TRUE(board.wait_received(1, std::chrono::seconds(5)));
    EXPECT_EQ(std::vector<std::string>{"1b 42 06 00 00 63 0d"}, wire());
  }
}

}  // namespace
