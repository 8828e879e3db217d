// One report's round trip through a bootloader's hidraw node, measured in
// the end-to-end guest: CMD_BOOT_INFO out, the boot-info record back, N
// times. Prints the median and the 90th percentile in microseconds.
//
// Usage: e2e-round-trip /dev/hidrawN [COUNT]
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: e2e-round-trip /dev/hidrawN [COUNT]\n");
    return 2;
  }
  const int count = argc > 2 ? std::atoi(argv[2]) : 200;
  const int fd = open(argv[1], O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    std::perror(argv[1]);
    return 1;
  }
  std::vector<long> took;
  unsigned char out[65] = {0, 0x0F, 0x02};  // report ID 0, start mark, CMD_BOOT_INFO
  unsigned char in[64];
  for (int i = 0; i < count; ++i) {
    const auto t0 = std::chrono::steady_clock::now();
    if (write(fd, out, sizeof out) != static_cast<ssize_t>(sizeof out)) {
      std::perror("write");
      return 1;
    }
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 2000) != 1 || read(fd, in, sizeof in) <= 0) {
      std::fprintf(stderr, "no answer to report %d\n", i);
      return 1;
    }
    took.push_back(static_cast<long>(
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - t0).count()));
  }
  std::sort(took.begin(), took.end());
  std::printf("%d round trips: median %ld us, 90%% %ld us\n", count, took[took.size() / 2],
              took[took.size() * 9 / 10]);
  close(fd);
  return 0;
}
