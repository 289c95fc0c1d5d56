// Writes seed files for the FLIC and ICY fuzz targets: animations of the
// tests' FLIC writer, and ICY replies around the start of an MP3 sample.
//
//   src-files-seeds MP3_FILE FLIC_DIR ICY_DIR
#include <cstdio>
#include <string>

#include "tests/sources/flic/FlicWriter.h"
#include "tests/sources/shoutcast/IcyServer.h"

namespace {

void Save(const std::string& path, const std::vector<uint8_t>& bytes) {
  if (FILE* f = fopen(path.c_str(), "wb")) {
    fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) return 2;
  std::vector<flictest::Frame> frames;
  for (int f = 0; f < 4; f++) {
    flictest::Frame fr;
    fr.pixels.resize(24 * 16);
    for (size_t i = 0; i < fr.pixels.size(); i++) fr.pixels[i] = uint8_t((i / 5 + f * 3) % 17);
    if (f == 0)
      for (int i = 0; i < 768; i++) fr.palette.push_back(uint8_t(i));
    if (f == 2) fr.kind = flictest::Frame::kCopy;
    frames.push_back(fr);
  }
  Save(std::string(argv[2]) + "/anim.flc", flictest::Write(24, 16, frames, {true, 5, true, true}));
  Save(std::string(argv[2]) + "/anim.fli", flictest::Write(23, 16, frames, {false, 5, true, false}));

  icytest::Behaviour b;
  if (FILE* f = fopen(argv[1], "rb")) {
    b.audio.resize(3000);
    b.audio.resize(fread(b.audio.data(), 1, b.audio.size(), f));
    fclose(f);
  }
  b.metaint = 700;
  b.titles = {"StreamTitle='Artist - Song';StreamUrl='http://x/';", ""};
  b.reply = "ICY 200 OK\r\nicy-br:128\r\nicy-metaint:700\r\n\r\n";
  std::vector<uint8_t> stream(b.reply.begin(), b.reply.end());
  const auto body = icytest::Server::Stream(b);
  stream.insert(stream.begin(), 0);  // the receive-size byte
  stream.insert(stream.end(), body.begin(), body.end());
  Save(std::string(argv[3]) + "/stream.bin", stream);
  return 0;
}
