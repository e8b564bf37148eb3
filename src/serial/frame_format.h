// What every frame on the line looks like: 7 bytes, ESC 'B' type rw value
// checksum CR.  The line cuts the byte stream into frames by it (line.h)
// and the protocol builds and checks frames by it (VXTRN.h).
#pragma once

namespace trn {

constexpr int FRAME_LEN = 7;
constexpr unsigned char FRAME_ESC = 0x1B;  // lead-in
constexpr unsigned char FRAME_B = 0x42;    // 'B', second byte of the lead-in
constexpr unsigned char FRAME_CR = 0x0D;   // terminator

// Where type, rw and value sit in a frame.
constexpr int FRAME_TYPE = 2;
constexpr int FRAME_RW = 3;
constexpr int FRAME_VALUE = 4;

}  // namespace trn
