// Sends numbered Ethernet frames out of one device, bounded in count, rate
// and time, for the tests and the benchmark.  Meant for a veth end inside a
// namespace of the test's own: frames are broadcast with a local
// experimental EtherType and never leave the link.
//
//   quorvane_sender DEVICE COUNT PAYLOAD_BYTES RATE_PER_S MAX_SECONDS [TAG]
//
// RATE_PER_S 0 sends as fast as the link takes them.  Payload: "QVN1", the
// tag (4 bytes), the sequence number from 0 (8 bytes), then byte i of the
// payload is (sequence + i) mod 256.  Prints "sent N" at the end.
#include <arpa/inet.h>
#include <errno.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

#include "frames.h"

static double now_s() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

static int open_link(const char* device) {
  int fd = socket(AF_PACKET, SOCK_RAW, 0);
  if (fd < 0) return -1;
  sockaddr_ll address = {};
  address.sll_family = AF_PACKET;
  address.sll_protocol = 0;
  address.sll_ifindex = static_cast<int>(if_nametoindex(device));
  if (address.sll_ifindex == 0 ||
      bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  int bypass = 1;
  setsockopt(fd, SOL_PACKET, PACKET_QDISC_BYPASS, &bypass, sizeof bypass);
  return fd;
}

int main(int argc, char** argv) {
  if (argc < 6) {
    fprintf(stderr, "usage: %s DEVICE COUNT PAYLOAD_BYTES RATE_PER_S MAX_SECONDS [TAG]\n", argv[0]);
    return 2;
  }
  const long count = atol(argv[2]);
  const int payload = atoi(argv[3]);
  const double rate = atof(argv[4]);
  const double max_seconds = atof(argv[5]);
  const uint32_t tag = argc > 6 ? static_cast<uint32_t>(atol(argv[6])) : 0;
  if (count < 0 || payload < FRAME_MIN_PAYLOAD || payload > FRAME_MAX_PAYLOAD || rate < 0 ||
      max_seconds <= 0 || max_seconds > 3600) {
    fprintf(stderr, "sender: payload %d..%d bytes, at most 3600 s\n", FRAME_MIN_PAYLOAD,
            FRAME_MAX_PAYLOAD);
    return 2;
  }
  const int fd = open_link(argv[1]);
  if (fd < 0) {
    perror("sender: cannot open the device");
    return 1;
  }

  const int batch_max = 32;
  static uint8_t frames[batch_max][ETH_HLEN + FRAME_MAX_PAYLOAD];
  iovec vectors[batch_max];
  mmsghdr messages[batch_max] = {};
  const double start = now_s();
  long sent = 0;
  while (sent < count) {
    const double elapsed = now_s() - start;
    if (elapsed > max_seconds) break;
    long due = rate > 0 ? static_cast<long>(elapsed * rate) + 1 - sent : batch_max;
    if (due <= 0) {
      const timespec pause = {0, 50000};
      nanosleep(&pause, nullptr);
      continue;
    }
    const int batch = static_cast<int>(std::min({due, static_cast<long>(batch_max), count - sent}));
    for (int i = 0; i < batch; ++i) {
      const size_t length = fill_frame(frames[i], static_cast<uint64_t>(sent + i), payload, tag);
      vectors[i] = {frames[i], length};
      messages[i].msg_hdr.msg_iov = &vectors[i];
      messages[i].msg_hdr.msg_iovlen = 1;
    }
    const int n = sendmmsg(fd, messages, static_cast<unsigned>(batch), 0);
    if (n > 0) sent += n;
    if (n < 0 && errno != ENOBUFS && errno != EAGAIN && errno != EINTR) {
      perror("sender: send");
      break;
    }
  }
  printf("sent %ld\n", sent);
  close(fd);
  return 0;
}
