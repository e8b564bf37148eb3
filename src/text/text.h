// Text from outside the program (a scanned id, a station or operator name, a
// record another station wrote, a sysfs attribute) shown on a terminal.  It
// goes through terminal_text() on its way, so that no byte of it can move
// the cursor, retitle the window, clear the screen or reorder what follows.
#pragma once

#include <string>
#include <string_view>

namespace trn {

// The text as it may reach a terminal:
//   - printable UTF-8 passes unchanged;
//   - a control character (C0, DEL, C1 U+0080..U+009F) shows as \xNN, its
//     code point in two hexadecimal digits (ESC is \x1b);
//   - a byte that is not part of valid UTF-8 shows as \xNN of the byte;
//   - a backslash shows as \\, so that an escaped ESC cannot be confused
//     with one typed as four characters;
//   - the bidirectional embeddings, overrides and isolates (U+202A..U+202E,
//     U+2066..U+2069) show as \u{NNNN}.
std::string terminal_text(std::string_view text);

// The length of the valid UTF-8 sequence at the start of text, and its code
// point in *cp; 0 when text does not start with one (overlong forms,
// surrogates and values above U+10FFFF are not valid).
size_t utf8_sequence(std::string_view text, char32_t *cp);

}  // namespace trn
