// Serves an MP3 file as an ICY stream on 127.0.0.1 for the end-to-end
// cases: prints the port, answers every connection with the whole file
// (a metadata block every METAINT bytes) and closes it, until it is killed
// or five minutes have passed; with PACE, PACE bytes a second.
//
//   icy-serve FILE.mp3 BITRATE_KBIT METAINT TITLE [PACE]
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "tests/sources/shoutcast/IcyServer.h"

int main(int argc, char** argv) {
  if (argc != 5 && argc != 6) {
    fprintf(stderr, "usage: %s FILE.mp3 BITRATE_KBIT METAINT TITLE [PACE]\n", argv[0]);
    return 2;
  }
  icytest::Behaviour b;
  FILE* f = fopen(argv[1], "rb");
  if (!f) {
    fprintf(stderr, "cannot read %s\n", argv[1]);
    return 1;
  }
  uint8_t buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) b.audio.insert(b.audio.end(), buf, buf + n);
  fclose(f);
  b.metaint = strtoul(argv[3], nullptr, 10);
  if (argc == 6) b.bytesPerSecond = strtoul(argv[5], nullptr, 10);
  b.reply = std::string("ICY 200 OK\r\nicy-br:") + argv[2] + "\r\n" +
            (b.metaint ? "icy-metaint:" + std::to_string(b.metaint) + "\r\n" : "") + "\r\n";
  b.titles = {std::string("StreamTitle='") + argv[4] + "';"};
  icytest::Server server(b);
  if (!server.Port()) return 1;
  printf("%d\n", server.Port());
  fflush(stdout);
  sleep(300);
  return 0;
}
