/* Inflate-only timer for bench_vcf.py: decodes every gzip member of a file with zlib exactly as
 * korvex's line source does (32 KiB input reads, windowBits 15+16, output into a 128 KiB buffer,
 * inflateReset between members) and throws the output away. Prints "<bytes> <seconds>". */
#include <fcntl.h>
#include <stdio.h>
#include <time.h>
#include <unistd.h>
#include <zlib.h>

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  int fd = open(argv[1], O_RDONLY);
  if (fd < 0) return 1;
  static unsigned char in[32 * 1024], out[128 * 1024];
  z_stream zs = {0};
  if (inflateInit2(&zs, 15 + 16) != Z_OK) return 1;
  struct timespec t0, t1;
  clock_gettime(CLOCK_MONOTONIC, &t0);
  unsigned long long total = 0;
  int in_member = 0;
  for (;;) {
    if (zs.avail_in == 0) {
      ssize_t got = read(fd, in, sizeof in);
      if (got < 0) return 1;
      if (got == 0) break;
      zs.next_in = in;
      zs.avail_in = (uInt)got;
    }
    if (!in_member) {
      inflateReset(&zs);
      in_member = 1;
    }
    zs.next_out = out;
    zs.avail_out = sizeof out;
    int rc = inflate(&zs, Z_NO_FLUSH);
    total += sizeof out - zs.avail_out;
    if (rc == Z_STREAM_END) in_member = 0;
    else if (rc != Z_OK && rc != Z_BUF_ERROR) return 1;
  }
  clock_gettime(CLOCK_MONOTONIC, &t1);
  printf("%llu %.6f\n", total, (t1.tv_sec - t0.tv_sec) + (t1.tv_nsec - t0.tv_nsec) / 1e9);
  inflateEnd(&zs);
  return in_member ? 1 : 0;
}
