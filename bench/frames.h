// The frames the sender writes and the tests read back.
#ifndef QUORVANE_BENCH_FRAMES_H_
#define QUORVANE_BENCH_FRAMES_H_

#include <stddef.h>
#include <stdint.h>
#include <string.h>

const int FRAME_MIN_PAYLOAD = 16;
const int FRAME_MAX_PAYLOAD = 9000;  // a jumbo frame
const uint16_t FRAME_ETHERTYPE = 0x88B5;  // IEEE local experimental
const size_t FRAME_HEADER = 14;

// Writes frame number `sequence` into buf and returns its length.
inline size_t fill_frame(uint8_t* buf, uint64_t sequence, int payload, uint32_t tag) {
  memset(buf, 0xff, 6);  // broadcast
  const uint8_t source[6] = {0x02, 0x51, 0x56, 0, 0, static_cast<uint8_t>(tag)};
  memcpy(buf + 6, source, 6);
  buf[12] = FRAME_ETHERTYPE >> 8;
  buf[13] = FRAME_ETHERTYPE & 0xff;
  uint8_t* p = buf + FRAME_HEADER;
  memcpy(p, "QVN1", 4);
  memcpy(p + 4, &tag, 4);
  memcpy(p + 8, &sequence, 8);
  for (int i = 16; i < payload; ++i) p[i] = static_cast<uint8_t>(sequence + i);
  return FRAME_HEADER + static_cast<size_t>(payload);
}

#endif  // QUORVANE_BENCH_FRAMES_H_
