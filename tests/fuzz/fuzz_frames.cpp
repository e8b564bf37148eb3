// Fuzz target for frame handling: any byte stream as it might come off the
// serial line.
//
// Input layout: byte 0 gives k (0..15), the next k bytes are piece sizes
// (0..255, used in turn), the rest is the stream.  Checked:
//   - isOkCMD on every 7-byte window of the stream agrees with the frame rule
//     (byte 5 = low 8 bits of 0x1B + 0x42 + bytes 2..4, byte 6 = CR), and a
//     frame built from the window's bytes 2..4 is valid and well formed;
//   - a trn::FrameAssembler (the line's) fed the stream in those pieces emits only 7-byte frames
//     that start with ESC 'B', and reports every other byte as dropped in runs
//     of 1 to 7: exactly the frames and dropped bytes, in the same order (and
//     leaves exactly the partial frame) that a plain scan of the whole stream
//     finds, however the stream is cut;
//   - every frame that passes the monitor's filter (1B 42 02) decodes into
//     CRADLE_BUTTON as the status bit table says.
#include <cstdint>
#include <cstring>
#include <vector>

#include "VXTRN.h"
#include "line.h"

namespace {

void check(bool ok) {
  if (!ok) __builtin_trap();
}

using Frame = std::vector<uint8_t>;

bool reference_valid(const uint8_t *w) {
  unsigned sum = 0x1B + 0x42 + w[2] + w[3] + w[4];
  return w[5] == (sum & 0xFF) && w[6] == 0x0D;
}

// What a plain scan of the whole stream makes of it, byte by byte, in order:
// each item is a whole frame (7 bytes) or one dropped byte.  Find ESC 'B' and
// take the 7 bytes from there; they are a frame when they end in CR or hold no
// fresh lead-in (ESC 'B' from byte 1 to 5, or ESC as byte 6); otherwise the
// bytes before the first such ESC are dropped and the scan goes on from it.
// Every other byte is dropped.  partial receives what is left of an
// unfinished frame.
std::vector<Frame> reference_scan(const uint8_t *s, size_t n, Frame &partial) {
  std::vector<Frame> items;
  partial.clear();
  auto drop = [&items](uint8_t byte) { items.push_back(Frame{byte}); };
  size_t i = 0;
  while (i < n) {
    if (s[i] != 0x1B) {
      drop(s[i++]);
      continue;
    }
    if (i + 1 == n) {  // a lone ESC at the very end may still start a frame
      partial.assign(s + i, s + n);
      break;
    }
    if (s[i + 1] != 0x42) {
      drop(s[i++]);
      continue;
    }
    if (n - i < 7) {
      partial.assign(s + i, s + n);
      break;
    }
    const uint8_t *w = s + i;
    size_t restart = 0;
    if (w[6] != 0x0D) {
      for (size_t at = 1; at < 7 && !restart; at++)
        if (w[at] == 0x1B && (at == 6 || w[at + 1] == 0x42)) restart = at;
    }
    if (restart) {
      for (size_t k = 0; k < restart; k++) drop(w[k]);
      i += restart;
      continue;
    }
    items.emplace_back(w, w + 7);
    i += 7;
  }
  return items;
}

// The status bit table: source byte (3 or 4), mask, CRADLE_BUTTON element.
struct StatusBit {
  int byte;
  uint8_t mask;
  int element;
};
constexpr StatusBit status_table[] = {
    {3, 0x01, 0},  // cradle
    {4, 0x01, 1},  // volume down
    {4, 0x02, 2},  // volume up
    {4, 0x04, 4},  // channel down
    {4, 0x08, 5},  // channel up
    {3, 0x02, 6},  // power
    {3, 0x40, 3},  // line-out jack
    {3, 0x80, 7},  // microphone-in jack
    {3, 0x08, 8},  // nurse call
};

void check_decode(const Frame &f) {
  // Start from a pattern decode_status must overwrite completely.
  memset(CRADLE_BUTTON, 0xA5, sizeof CRADLE_BUTTON);
  trn::decode_status(f[3], f[4]);
  for (const StatusBit &bit : status_table)
    check(CRADLE_BUTTON[bit.element] == (f[bit.byte] & bit.mask));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  const size_t k = data[0] % 16;
  if (size < 1 + k) return 0;
  const uint8_t *pieces = data + 1;
  const uint8_t *stream = data + 1 + k;
  const size_t n = size - 1 - k;

  // (a) Reply validation on every window, and frames built from it.
  for (size_t i = 0; i + 7 <= n; i++) {
    const uint8_t *w = stream + i;
    check(isOkCMD(w) == (reference_valid(w) ? 1 : 0));
    unsigned char built[7];
    trn::build_frame(built, w[2], w[3], w[4]);
    check(built[0] == 0x1B && built[1] == 0x42 && built[6] == 0x0D);
    check(memcmp(built + 2, w + 2, 3) == 0);
    check(isOkCMD(built) == 1);
  }

  // (b) Frame assembly across arbitrary cuts equals the scan of the whole:
  // the same frames and the same dropped bytes, in the same order.
  Frame expected_partial;
  const std::vector<Frame> expected = reference_scan(stream, n, expected_partial);
  std::vector<Frame> got;
  trn::FrameAssembler assembler;
  auto collect = [&got](const unsigned char *frame) {
    check(frame[0] == 0x1B && frame[1] == 0x42);
    got.emplace_back(frame, frame + trn::FRAME_LEN);
  };
  auto collect_dropped = [&got](const unsigned char *bytes, int count) {
    check(count >= 1 && count <= trn::FRAME_LEN);
    for (int b = 0; b < count; b++) got.push_back(Frame{bytes[b]});
  };
  size_t pos = 0;
  for (size_t piece = 0; pos < n; piece++) {
    size_t len = k ? pieces[piece % k] : n;
    if (len > n - pos) len = n - pos;
    // Each piece goes through a buffer of its own size, so a read past the
    // piece is caught.
    std::vector<uint8_t> chunk(stream + pos, stream + pos + len);
    assembler.feed(chunk.data(), static_cast<int>(len), collect, collect_dropped);
    pos += len;
    if (piece > n + 16) break;  // only zero-sized pieces: stop feeding
  }
  if (pos == n) {
    check(got == expected);
    check(assembler.have == static_cast<int>(expected_partial.size()));
    check(Frame(assembler.buf, assembler.buf + assembler.have) == expected_partial);
    // A stale piece comes out whole as dropped bytes, and nothing is left.
    std::vector<Frame> rest;
    assembler.drop_piece([&rest](const unsigned char *bytes, int count) {
      rest.emplace_back(bytes, bytes + count);
    });
    check(assembler.have == 0);
    check(expected_partial.empty() ? rest.empty() : rest == std::vector<Frame>{expected_partial});
  } else {
    // The stream was not fed to its end: what came out is a prefix.
    check(got.size() <= expected.size());
    for (size_t i = 0; i < got.size(); i++) check(got[i] == expected[i]);
  }

  // (c) The monitor's filter and the status decode.
  for (const Frame &f : expected)
    if (f.size() == 7 && f[0] == 0x1B && f[1] == 0x42 && f[2] == 0x02) check_decode(f);
  return 0;
}
