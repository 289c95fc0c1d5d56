// Writes the raw time-coded material (TimeCode.h) for the writers that encode
// and mux it:
//
//   tc-gen picture OUT.y4m SECONDS [FIRST_FRAME]
//       160x120 4:2:0 at 25 frames/s; frame i carries the number FIRST_FRAME + i
//   tc-gen sound OUT.wav SECONDS [FIRST_SECOND [RATE [CHANNELS]]]
//       16-bit PCM (48000 Hz stereo by default); second i is the tone of
//       second FIRST_SECOND + i
//
// A later part of a file (the second of two files joined byte for byte) is
// made with the first numbers after the first part, so every frame and second
// of the joined whole is its own.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "TimeCode.h"

namespace {

using namespace timecode;

// Digits 0-9 in a 3x5 font, one row of three bits per entry.
constexpr uint8_t kFont[10][5] = {{7, 5, 5, 5, 7}, {2, 6, 2, 2, 7}, {7, 1, 7, 4, 7}, {7, 1, 7, 1, 7},
                                  {5, 5, 7, 1, 1}, {7, 4, 7, 1, 7}, {7, 4, 7, 5, 7}, {7, 1, 1, 1, 1},
                                  {7, 5, 7, 5, 7}, {7, 5, 7, 1, 7}};

int Edge(int index, int size, int margin) { return margin + (index * (size - 2 * margin) + kGrid / 2) / kGrid; }
int EdgeX(int index) { return Edge(index, kWidth, kMarginX); }
int EdgeY(int index) { return Edge(index, kHeight, kMarginY); }

void Fill(std::vector<uint8_t>& y, int x0, int y0, int x1, int y1, uint8_t v) {
  for (int r = y0; r < y1; ++r) memset(&y[r * kWidth + x0], v, x1 - x0);
}

void Picture(std::vector<uint8_t>& y, int frame) {
  std::fill(y.begin(), y.end(), kGrey);
  auto cell = [&](Pos p, uint8_t v) {
    Fill(y, EdgeX(p.col), EdgeY(p.row), EdgeX(p.col + 1), EdgeY(p.row + 1), v);
  };
  for (int r = 0; r < kGrid; ++r)
    for (int c = 0; c < kGrid; ++c) {
      const Cell kind = CellKind(r, c);
      if (kind == Cell::White || kind == Cell::Digits) cell({r, c}, kWhite);
      if (kind == Cell::Black) cell({r, c}, kBlack);
    }
  const auto bits = Encode(frame);
  const auto cells = DataCells();
  for (int k = 0; k < kBits; ++k) {
    cell(cells[2 * k], bits[k] ? kWhite : kBlack);
    cell(cells[2 * k + 1], bits[k] ? kBlack : kWhite);
  }
  // The number for a person, four digits at three pixels a dot.
  const int scale = 3, x0 = (EdgeX(2) + EdgeX(4)) / 2 - (4 * 4 * scale - scale) / 2;
  const int y0 = (EdgeY(2) + EdgeY(4)) / 2 - 5 * scale / 2;
  char digits[8];
  snprintf(digits, sizeof digits, "%04d", frame % 10000);
  for (int d = 0; d < 4; ++d)
    for (int r = 0; r < 5; ++r)
      for (int c = 0; c < 3; ++c)
        if (kFont[digits[d] - '0'][r] & (4 >> c)) {
          const int x = x0 + d * 4 * scale + c * scale, yy = y0 + r * scale;
          Fill(y, x, yy, x + scale, yy + scale, kBlack);
        }
}

int WritePicture(const char* path, double seconds, int first) {
  const int frames = static_cast<int>(std::lround(seconds * kRate));
  if (frames <= 0 || first < 0 || first + frames - 1 > kMaxFrame) {
    fprintf(stderr, "tc-gen: frames %d to %d do not fit the code (0-%d)\n", first, first + frames - 1, kMaxFrame);
    return 2;
  }
  FILE* f = fopen(path, "wb");
  if (!f) {
    perror(path);
    return 1;
  }
  fprintf(f, "YUV4MPEG2 W%d H%d F%d:1 Ip A1:1 C420jpeg\n", kWidth, kHeight, kRate);
  std::vector<uint8_t> y(kWidth * kHeight);
  const std::vector<uint8_t> chroma(kWidth * kHeight / 2, 128);
  bool ok = true;
  for (int i = 0; i < frames && ok; ++i) {
    Picture(y, first + i);
    ok = fputs("FRAME\n", f) >= 0 && fwrite(y.data(), 1, y.size(), f) == y.size() &&
         fwrite(chroma.data(), 1, chroma.size(), f) == chroma.size();
  }
  if (fclose(f) != 0 || !ok) {
    fprintf(stderr, "tc-gen: cannot write %s\n", path);
    return 1;
  }
  return 0;
}

void Le(std::string& out, uint32_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

int WriteSound(const char* path, double seconds, int first, int rate, int channels) {
  const int64_t samples = std::llround(seconds * rate);
  if (samples <= 0 || rate < 8000 || rate > 192000 || channels < 1 || channels > 8) {
    fprintf(stderr, "tc-gen: no sound of %g s at %d Hz in %d channels\n", seconds, rate, channels);
    return 2;
  }
  const uint32_t data = static_cast<uint32_t>(samples * channels * 2);
  std::string out = "RIFF";
  Le(out, 36 + data, 4);
  out += "WAVEfmt ";
  Le(out, 16, 4);
  Le(out, 1, 2);
  Le(out, channels, 2);
  Le(out, rate, 4);
  Le(out, rate * channels * 2, 4);
  Le(out, channels * 2, 2);
  Le(out, 16, 2);
  out += "data";
  Le(out, data, 4);
  out.reserve(out.size() + data);
  // The phase runs on across seconds, so a change of tone makes no click
  // that would smear the boundary.
  double phase = 0;
  for (int64_t i = 0; i < samples; ++i) {
    const int second = first + static_cast<int>(i / rate);
    phase += 2 * M_PI * ToneHz(second) / rate;
    if (phase > 2 * M_PI) phase -= 2 * M_PI;
    const int v = static_cast<int>(std::lround(0.5 * 32767 * std::sin(phase)));
    for (int c = 0; c < channels; ++c) Le(out, static_cast<uint32_t>(v) & 0xFFFF, 2);
  }
  FILE* f = fopen(path, "wb");
  if (!f || fwrite(out.data(), 1, out.size(), f) != out.size() || fclose(f) != 0) {
    fprintf(stderr, "tc-gen: cannot write %s\n", path);
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 4 && !strcmp(argv[1], "picture"))
    return WritePicture(argv[2], atof(argv[3]), argc > 4 ? atoi(argv[4]) : 0);
  if (argc >= 4 && !strcmp(argv[1], "sound"))
    return WriteSound(argv[2], atof(argv[3]), argc > 4 ? atoi(argv[4]) : 0, argc > 5 ? atoi(argv[5]) : 48000,
                      argc > 6 ? atoi(argv[6]) : 2);
  fprintf(stderr,
          "usage: tc-gen picture OUT.y4m SECONDS [FIRST_FRAME]\n"
          "       tc-gen sound OUT.wav SECONDS [FIRST_SECOND [RATE [CHANNELS]]]\n");
  return 2;
}
