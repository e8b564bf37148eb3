// What reaches a terminal of untrusted text: every control and bidi code
// point escaped, invalid UTF-8 shown byte by byte, printable text unchanged.
#include <gtest/gtest.h>

#include "text.h"

namespace {

TEST(TerminalText, EscapesWhatCouldSteerATerminal) {
  const struct {
    const char *in, *out;
  } rows[] = {
      {"SN100482", "SN100482"},
      {"Größe 日本 😀", "Größe 日本 😀"},
      {"\x1b]0;pwned\x07\x1b[2J", "\\x1b]0;pwned\\x07\\x1b[2J"},
      {"a\\x1b", "a\\\\x1b"},                        // a typed backslash
      {"gs1\x1d" "10", "gs1\\x1d10"},                // GS between GS1 fields
      {"del\x7f", "del\\x7f"},
      {"c1\xc2\x9b" "2J", "c1\\x9b2J"},              // CSI as a C1 code point
      {"nbsp\xc2\xa0", "nbsp\xc2\xa0"},              // U+00A0 is printable
      {"\xe2\x80\xae" "evil", "\\u{202e}evil"},  // right-to-left override
      {"\xe2\x81\xa6x\xe2\x81\xa9", "\\u{2066}x\\u{2069}"},
      {"\xe2\x80\x8f", "\xe2\x80\x8f"},              // a mark, not an override
      {"bad\xff\xfe", "bad\\xff\\xfe"},
      {"\xc0\xaf", "\\xc0\\xaf"},                    // overlong '/'
      {"\xed\xa0\x80", "\\xed\\xa0\\x80"},           // a surrogate
      {"\xf4\x90\x80\x80", "\\xf4\\x90\\x80\\x80"},  // above U+10FFFF
      {"cut\xe6\x97", "cut\\xe6\\x97"},              // a sequence cut short
  };
  for (const auto &r : rows) EXPECT_EQ(trn::terminal_text(r.in), r.out) << r.in;
  EXPECT_EQ(trn::terminal_text(std::string("a\0b", 3)), "a\\x00b");
}

}  // namespace
