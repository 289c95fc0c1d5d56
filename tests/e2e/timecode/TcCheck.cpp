// Reads a target back and maps each of its frames and each stretch of its
// sound to the source time it came from (TimeCode.h), against a manifest of
// what the source truly holds:
//
//   tc-check [--manifest M] [--orientation NAME|any] [--may-lose A-B]...
//            [--no-sound] [--no-picture] [--verbose] OUTPUT
//   tc-check --pictures INTERVAL [--manifest M] [--orientation ...] PICTURE...
//
// The ffmpeg tool decodes the target (grey frames with their times; mono
// sound at 8 kHz placed by its times, gaps filled with silence). Times are
// counted from the output's own start of the picture: the first frames read
// tell where source time 0 lies. The table it prints has a line per check;
// it exits 1 when any check fails, 2 when the target cannot be read.
//
// The manifest (written next to each source by tc_source) has lines
//   rate R             frames per second of the source (25)
//   picture A B        source time [A, B) holds pictures (frame N at N/R s)
//   sound A B          source time [A, B) holds sound
//   damage A B         damage may take what lies in [A, B]: pictures there
//                      may be lost, held or broken, sound there lost
//   orientation NAME   how the picture must be seen (upright by default)
// and comments after '#'.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "TimeCode.h"

namespace {

using namespace timecode;

struct Span {
  double from, to;
};

struct Manifest {
  double rate = kRate;
  std::vector<Span> picture, sound, damage;
  std::string orientation = "upright";
  bool given = false;

  std::vector<int> Frames() const {
    std::vector<int> frames;
    for (const Span& s : picture)
      for (int n = std::max(0, static_cast<int>(std::ceil(s.from * rate - 1e-6)));
           n < s.to * rate - 1e-6 && n <= kMaxFrame; ++n)
        frames.push_back(n);
    std::sort(frames.begin(), frames.end());
    frames.erase(std::unique(frames.begin(), frames.end()), frames.end());
    return frames;
  }
  bool Damaged(double t, double slack = 0) const {
    return std::any_of(damage.begin(), damage.end(),
                       [&](const Span& d) { return t >= d.from - slack && t <= d.to + slack; });
  }
  static double End(const std::vector<Span>& spans) {
    double end = 0;
    for (const Span& s : spans) end = std::max(end, s.to);
    return end;
  }
  double End() const { return std::max(End(picture), End(sound)); }
  // The earliest a stream may end: damage reaching its end may take what
  // follows it.
  double EarliestEnd(const std::vector<Span>& spans) const {
    double end = End(spans);
    for (const Span& d : damage)
      if (d.to >= end - 1e-6) end = std::min(end, std::max(0.0, d.from));
    return end;
  }
};

bool ReadManifest(const std::string& path, Manifest& m) {
  std::ifstream in(path);
  if (!in) return false;
  std::string line;
  while (std::getline(in, line)) {
    line = line.substr(0, line.find('#'));
    std::istringstream words(line);
    std::string key;
    if (!(words >> key)) continue;
    Span s{};
    if (key == "rate") {
      words >> m.rate;
    } else if (key == "orientation") {
      words >> m.orientation;
      std::replace(m.orientation.begin(), m.orientation.end(), '-', ' ');
    } else if ((key == "picture" || key == "sound" || key == "damage") && (words >> s.from >> s.to)) {
      (key == "picture" ? m.picture : key == "sound" ? m.sound : m.damage).push_back(s);
    } else {
      fprintf(stderr, "tc-check: %s: cannot read '%s'\n", path.c_str(), line.c_str());
      return false;
    }
  }
  m.given = true;
  return m.rate > 0;
}

// Runs a program with its standard output and error sent to files; its exit code.
int Run(const std::vector<std::string>& args, const std::string& out, const std::string& err) {
  // What is buffered would be written again by the child.
  fflush(nullptr);
  const pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    if (!freopen(out.c_str(), "w", stdout) || !freopen(err.c_str(), "w", stderr)) _exit(127);
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  if (waitpid(pid, &status, 0) < 0) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string Tool(const char* env, const char* fallback) {
  const char* v = getenv(env);
  return v && *v ? v : fallback;
}

// ---- pictures ----

struct Frame {
  double time = 0;   // on the output's clock
  int number = -1;   // -1: no code read
  int orientation = -1;
};

struct Gray {
  int width = 0, height = 0;
  const uint8_t* y = nullptr;
  int At(int x, int yy) const { return y[yy * width + x]; }
};

bool BarLine(const Gray& g, bool row, int index) {
  const int n = row ? g.width : g.height;
  int dark = 0, bright = 0;
  for (int i = 0; i < n; ++i) {
    const int v = row ? g.At(i, index) : g.At(index, i);
    dark += v < 56;
    bright += v > 205;
  }
  return dark * 10 >= n * 9 || bright * 10 >= n * 9;
}

// The frame number and orientation of one grey picture, or -1.
Frame ReadCode(const Gray& g) {
  Frame f;
  // The picture area: what lies inside the bars a target's fit adds.
  int top = 0, bottom = g.height - 1, left = 0, right = g.width - 1;
  while (top < bottom && BarLine(g, true, top)) ++top;
  while (bottom > top && BarLine(g, true, bottom)) --bottom;
  while (left < right && BarLine(g, false, left)) ++left;
  while (right > left && BarLine(g, false, right)) --right;
  const double w = right - left + 1, h = bottom - top + 1;
  if (w < 24 || h < 24) return f;
  const double mx = static_cast<double>(kMarginX) / kWidth, my = static_cast<double>(kMarginY) / kHeight;
  double mean[kGrid][kGrid];
  for (int r = 0; r < kGrid; ++r)
    for (int c = 0; c < kGrid; ++c) {
      // The middle of the cell, away from the edges an encoder blurs.
      const double cx0 = mx + (1 - 2 * mx) * (c + 0.3) / kGrid, cx1 = mx + (1 - 2 * mx) * (c + 0.7) / kGrid;
      const double cy0 = my + (1 - 2 * my) * (r + 0.3) / kGrid, cy1 = my + (1 - 2 * my) * (r + 0.7) / kGrid;
      const int x0 = left + static_cast<int>(cx0 * w), x1 = std::max(x0 + 1, left + static_cast<int>(cx1 * w));
      const int y0 = top + static_cast<int>(cy0 * h), y1 = std::max(y0 + 1, top + static_cast<int>(cy1 * h));
      long sum = 0, count = 0;
      for (int yy = y0; yy < y1 && yy < g.height; ++yy)
        for (int x = x0; x < x1 && x < g.width; ++x) sum += g.At(x, yy), ++count;
      mean[r][c] = count ? static_cast<double>(sum) / count : 0;
    }
  auto seen = [&](int o, Pos p) {
    const Pos s = Seen(o, p);
    return mean[s.row][s.col];
  };
  int best = -1;
  double bestMargin = 0, white = 0, black = 0;
  for (int o = 0; o < 8; ++o) {
    double minWhite = 255, maxBlack = 0, sumWhite = 0, sumBlack = 0;
    int nw = 0, nb = 0;
    for (int r = 0; r < kGrid; ++r)
      for (int c = 0; c < kGrid; ++c) {
        const Cell kind = CellKind(r, c);
        if (kind == Cell::White) minWhite = std::min(minWhite, seen(o, {r, c})), sumWhite += seen(o, {r, c}), ++nw;
        if (kind == Cell::Black) maxBlack = std::max(maxBlack, seen(o, {r, c})), sumBlack += seen(o, {r, c}), ++nb;
      }
    if (minWhite - maxBlack > bestMargin) {
      bestMargin = minWhite - maxBlack;
      best = o;
      white = sumWhite / nw;
      black = sumBlack / nb;
    }
  }
  if (best < 0 || bestMargin < 40) return f;
  const auto cells = DataCells();
  int number = 0, ones = 0;
  for (int k = 0; k < kBits; ++k) {
    const double d = seen(best, cells[2 * k]) - seen(best, cells[2 * k + 1]);
    if (std::fabs(d) < 0.25 * (white - black)) return f;
    const bool bit = d > 0;
    ones += bit;
    if (k < kNumberBits) number = number << 1 | bit;
  }
  if (ones & 1) return f;
  f.number = number;
  f.orientation = best;
  return f;
}

// ---- sound ----

constexpr int kSoundRate = 8000;
constexpr int kWindow = 160;  // 20 ms
constexpr int kHop = 40;      // 5 ms

struct Stretch {
  int tone;         // tone index, -1 silence
  double from, to;  // output clock: centres of the first and last window
};

// Each window's tone (or -1 silent, -2 unclear), merged into stretches of one
// tone; stretches shorter than 40 ms are what a boundary or a codec leaves.
std::vector<Stretch> SoundStretches(const std::vector<int16_t>& pcm) {
  std::vector<double> coeff(kTones);
  for (int k = 0; k < kTones; ++k) coeff[k] = 2 * std::cos(2 * M_PI * ToneHz(k) / kSoundRate);
  std::vector<Stretch> raw;
  for (size_t start = 0; start + kWindow <= pcm.size(); start += kHop) {
    double energy = 0;
    for (int i = 0; i < kWindow; ++i) energy += static_cast<double>(pcm[start + i]) * pcm[start + i];
    int label = -1;
    // Below -45 dB of full scale is silence.
    if (energy / kWindow > 32768.0 * 32768.0 * 3.2e-5) {
      label = -2;
      for (int k = 0; k < kTones; ++k) {
        double s1 = 0, s2 = 0;
        for (int i = 0; i < kWindow; ++i) {
          const double s = pcm[start + i] + coeff[k] * s1 - s2;
          s2 = s1;
          s1 = s;
        }
        const double power = s1 * s1 + s2 * s2 - coeff[k] * s1 * s2;
        // 1 for a pure tone that fills the window.
        if (2 * power / (kWindow * energy) > 0.6) label = k;
      }
    }
    const double t = (start + kWindow / 2.0) / kSoundRate;
    if (!raw.empty() && raw.back().tone == label)
      raw.back().to = t;
    else
      raw.push_back({label, t, t});
  }
  std::vector<Stretch> out;
  for (const Stretch& s : raw) {
    // A dropout of a few codec frames is no boundary: the stretches of one
    // tone on either side of it are one.
    if (s.tone == -2 || s.to - s.from < (s.tone >= 0 ? 0.04 : 0.1)) continue;
    if (!out.empty() && out.back().tone == s.tone && s.from - out.back().to < 0.3)
      out.back().to = s.to;
    else
      out.push_back(s);
  }
  return out;
}

// ---- the checks ----

struct Row {
  std::string stream, check, found, limit;
  bool ok;
};

std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* fmt, ...) {
  char buf[512];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  return buf;
}

struct Options {
  std::string manifest, orientation, output;
  std::vector<Span> mayLose;
  bool sound = true, picture = true, verbose = false;
  double pictures = 0;  // interval of a still-picture series
  std::vector<std::string> stills;
};

void PrintTable(const std::string& what, const std::vector<Row>& rows) {
  size_t w0 = 6, w1 = 5, w2 = 5, w3 = 5;
  for (const Row& r : rows) {
    w0 = std::max(w0, r.stream.size());
    w1 = std::max(w1, r.check.size());
    w2 = std::max(w2, r.found.size());
    w3 = std::max(w3, r.limit.size());
  }
  bool all = true;
  printf("tc-check %s\n", what.c_str());
  printf("  %-*s  %-*s  %-*s  %-*s  %s\n", int(w0), "stream", int(w1), "check", int(w2), "found", int(w3), "limit",
         "result");
  for (const Row& r : rows) {
    printf("  %-*s  %-*s  %-*s  %-*s  %s\n", int(w0), r.stream.c_str(), int(w1), r.check.c_str(), int(w2),
           r.found.c_str(), int(w3), r.limit.c_str(), r.ok ? "ok" : "FAULT");
    all = all && r.ok;
  }
  printf("tc-check: %s\n", all ? "PASS" : "FAIL");
}

int OrientationIndex(const std::string& name) {
  for (int o = 0; o < 8; ++o)
    if (name == kOrientationNames[o]) return o;
  return -1;
}

std::string OrientationRow(const std::vector<Frame>& frames, const Options& opt, const Manifest& m,
                           std::vector<Row>& rows) {
  int count[8] = {};
  for (const Frame& f : frames)
    if (f.orientation >= 0) ++count[f.orientation];
  const int seen = static_cast<int>(std::max_element(count, count + 8) - count);
  const std::string want = opt.orientation.empty() ? m.orientation : opt.orientation;
  const int w = OrientationIndex(want);
  int wrong = 0;
  for (const Frame& f : frames) wrong += f.orientation >= 0 && w >= 0 && f.orientation != w;
  const bool any = want == "any";
  std::string found = count[seen] ? kOrientationNames[seen] : "none read";
  if (wrong && count[seen] != wrong) found += Format(" (%d frames otherwise)", wrong);
  rows.push_back({"picture", "orientation", found, want, any || (w >= 0 && wrong == 0 && count[seen] > 0)});
  return kOrientationNames[seen];
}

// Still pictures: picture i (from 1) shows the frame at (i - 1) * interval.
int CheckStills(const Options& opt, const Manifest& m) {
  const std::string tmp = Format("/tmp/tc-check-%d", getpid());
  mkdir(tmp.c_str(), 0700);
  const std::vector<int> present = m.Frames();
  std::vector<Frame> frames;
  std::vector<Row> rows;
  int wrong = 0, unread = 0;
  std::string worst;
  for (size_t i = 0; i < opt.stills.size(); ++i) {
    const std::string raw = tmp + "/p.raw", log = tmp + "/p.log";
    const int rc = Run({Tool("TC_FFMPEG", "ffmpeg"), "-nostdin", "-v", "info", "-threads", "1", "-i", opt.stills[i],
                        "-vf", "scale=w='if(gt(iw,400),iw/2,iw)':h='if(gt(iw,400),ih/2,ih)',showinfo", "-f", "rawvideo",
                        "-pix_fmt", "gray", "-frames:v", "1", "-y", raw},
                       "/dev/null", log);
    const std::string probe = Slurp(log), bytes = Slurp(raw);
    Frame f;
    int w = 0, h = 0;
    const size_t s = probe.find(" s:");
    if (rc == 0 && s != std::string::npos && sscanf(probe.c_str() + s + 3, "%dx%d", &w, &h) == 2 && w > 0 &&
        h > 0 && bytes.size() >= size_t(w) * h) {
      Gray g{w, h, reinterpret_cast<const uint8_t*>(bytes.data())};
      f = ReadCode(g);
    }
    f.time = i * opt.pictures;
    frames.push_back(f);
    // The frame shown at that time (the last one begun by then), give or
    // take one frame time: a writer may place a whole stream a frame late,
    // and at the end of a picture gap that is the gap's frame or the next.
    auto shownAt = [&](int slot) {
      auto it = std::upper_bound(present.begin(), present.end(), slot);
      return it == present.begin() ? -1 : *(it - 1);
    };
    const int slot = static_cast<int>(std::floor(f.time * m.rate + 0.5 + 1e-6));
    const int want = shownAt(slot), earliest = shownAt(slot - 1), latest = shownAt(slot + 1);
    if (m.Damaged(f.time, 0.04)) {
      // Damage may take what lies there.
    } else if (f.number < 0) {
      ++unread;
    } else if (f.number < earliest || f.number > latest) {
      ++wrong;
      if (worst.empty()) worst = Format(" (first: %s shows frame %d, not %d)", opt.stills[i].c_str(), f.number, want);
    }
    if (opt.verbose) printf("%s: frame %d, expected %d\n", opt.stills[i].c_str(), f.number, want);
  }
  rmdir(tmp.c_str());
  rows.push_back({"pictures", "read", Format("%zu of %zu", opt.stills.size() - unread, opt.stills.size()),
                  "all", unread == 0 && !opt.stills.empty()});
  rows.push_back({"pictures", "from their time", Format("%d wrong%s", wrong, worst.c_str()), "0", wrong == 0});
  OrientationRow(frames, opt, m, rows);
  PrintTable(Format("%zu pictures, one each %.3f s", opt.stills.size(), opt.pictures), rows);
  return std::all_of(rows.begin(), rows.end(), [](const Row& r) { return r.ok; }) ? 0 : 1;
}

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
  return v[v.size() / 2];
}

int Check(const Options& opt, Manifest m) {
  for (const Span& s : opt.mayLose) m.damage.push_back(s);
  const std::string tmp = Format("/tmp/tc-check-%d", getpid());
  mkdir(tmp.c_str(), 0700);
  const std::string vraw = tmp + "/v.raw", araw = tmp + "/a.raw", log = tmp + "/log", kinds = tmp + "/kinds";
  struct Cleanup {
    std::vector<std::string> files;
    std::string dir;
    ~Cleanup() {
      for (const std::string& f : files) unlink(f.c_str());
      rmdir(dir.c_str());
    }
  } cleanup{{vraw, araw, log, kinds}, tmp};

  if (Run({Tool("TC_FFPROBE", "ffprobe"), "-v", "error", "-show_entries", "stream=codec_type", "-of", "csv=p=0",
           opt.output},
          kinds, log) != 0) {
    fprintf(stderr, "tc-check: ffprobe cannot read %s: %s\n", opt.output.c_str(), Slurp(log).c_str());
    return 2;
  }
  const std::string types = Slurp(kinds);
  const bool hasVideo = types.find("video") != std::string::npos, hasAudio = types.find("audio") != std::string::npos;
  // One thread: the rows run side by side, and the files are small.
  std::vector<std::string> args = {Tool("TC_FFMPEG", "ffmpeg"), "-nostdin", "-hide_banner", "-v", "info",
                                   "-threads", "1", "-filter_threads", "1", "-i", opt.output};
  if (hasVideo)
    args.insert(args.end(), {"-map", "0:v:0", "-vf",
                             "scale=w='if(gt(iw,400),iw/2,iw)':h='if(gt(iw,400),ih/2,ih)',showinfo", "-fps_mode",
                             "passthrough", "-f", "rawvideo", "-pix_fmt", "gray", "-y", vraw});
  if (hasAudio)
    args.insert(args.end(), {"-map", "0:a:0", "-af",
                             Format("aresample=%d:async=1:min_hard_comp=0.02:first_pts=0", kSoundRate), "-ac", "1",
                             "-f", "s16le", "-y", araw});
  if ((hasVideo || hasAudio) && Run(args, "/dev/null", log) != 0) {
    fprintf(stderr, "tc-check: ffmpeg cannot decode %s:\n%s\n", opt.output.c_str(), Slurp(log).c_str());
    return 2;
  }

  // Frames and their times from showinfo's lines, in decoding order.
  std::vector<Frame> frames;
  int width = 0, height = 0;
  {
    std::istringstream lines(Slurp(log));
    std::string line;
    while (std::getline(lines, line)) {
      if (line.find("showinfo") == std::string::npos) continue;
      const size_t n = line.find(" n:"), pt = line.find("pts_time:"), s = line.find(" s:");
      if (n == std::string::npos || pt == std::string::npos) continue;
      Frame f;
      const char* t = line.c_str() + pt + 9;
      f.time = strncmp(t, "NOPTS", 5) ? atof(t) : (frames.empty() ? 0 : frames.back().time + 1 / m.rate);
      if (s != std::string::npos && !width) sscanf(line.c_str() + s + 3, "%dx%d", &width, &height);
      frames.push_back(f);
    }
  }
  const std::string video = hasVideo ? Slurp(vraw) : std::string();
  const size_t frameBytes = static_cast<size_t>(width) * height;
  if (frameBytes && video.size() / frameBytes < frames.size()) frames.resize(video.size() / frameBytes);
  for (size_t i = 0; i < frames.size(); ++i) {
    Gray g{width, height, reinterpret_cast<const uint8_t*>(video.data()) + i * frameBytes};
    const Frame code = ReadCode(g);
    frames[i].number = code.number;
    frames[i].orientation = code.orientation;
  }
  std::vector<int16_t> pcm;
  if (hasAudio) {
    const std::string bytes = Slurp(araw);
    pcm.resize(bytes.size() / 2);
    memcpy(pcm.data(), bytes.data(), pcm.size() * 2);
  }

  // Without a manifest the material is taken as whole: pictures and sound
  // from 0 to the latest frame read.
  if (!m.given) {
    int last = -1;
    for (const Frame& f : frames) last = std::max(last, f.number);
    const double end = last >= 0 ? (last + 1) / m.rate : pcm.size() / double(kSoundRate);
    m.picture.push_back({0, end});
    m.sound.push_back({0, end});
  }
  const std::vector<int> present = m.Frames();
  const double end = m.End();
  std::vector<Row> rows;

  // Where source time 0 lies on the output's clock: told by the first frames
  // read (outside damage).
  double origin = 0;
  {
    std::vector<double> first;
    for (const Frame& f : frames)
      if (f.number >= 0 && !m.Damaged(f.number / m.rate) && first.size() < 10) first.push_back(f.time - f.number / m.rate);
    origin = Median(first);
  }
  auto expected = [&](double t) {  // the source frame shown at source time t
    auto it = std::upper_bound(present.begin(), present.end(), static_cast<int>(std::floor(t * m.rate + 0.5 + 1e-3)));
    return it == present.begin() ? -1 : static_cast<int>(it - present.begin()) - 1;  // index into present
  };
  auto index = [&](int number) {
    auto it = std::lower_bound(present.begin(), present.end(), number);
    return it != present.end() && *it == number ? static_cast<int>(it - present.begin()) : -1;
  };

  if (opt.picture && !hasVideo) rows.push_back({"picture", "stream", "none", "one", false});
  if (opt.picture && hasVideo) {
    int unread = 0, counted = 0, backwards = 0, off = 0, past = 0, prev = -1;
    std::string worstBack, worstOff;
    double worstOffBy = 0;
    for (const Frame& f : frames) {
      const double t = f.time - origin;
      int e = expected(t);
      // The first picture a frame early is within a frame of its time.
      if (e < 0 && !present.empty() && t > (present[0] - 1.5) / m.rate) e = 0;
      if (opt.verbose)
        printf("frame at %8.3f s (source %7.3f s): %5d, expected %5d%s\n", f.time, t, f.number,
               e >= 0 ? present[e] : -1, f.number < 0 ? " (not read)" : "");
      if (t > end + 0.2) ++past;
      if (m.Damaged(t, 0.04)) continue;
      // Before the first picture a target shows black.
      if (e < 0 && f.number < 0) continue;
      ++counted;
      if (f.number < 0) {
        ++unread;
        continue;
      }
      if (f.number < prev && !m.Damaged(prev / m.rate)) {
        if (!backwards++) worstBack = Format(" (first: %d after %d at %.2f s)", f.number, prev, f.time);
      }
      prev = f.number;
      const int i = index(f.number);
      // Beside the frame due, its neighbours are within a frame; a frame
      // shown before its time is not, even when it is the next one after a
      // gap.
      const double by = i < 0 || e < 0 ? 1e9 : std::abs(i - e);
      if (by > 1 || f.number / m.rate > t + 1.5 / m.rate) {
        ++off;
        const double belongs = f.number / m.rate, shown = t;
        if (std::fabs(belongs - shown) > worstOffBy || worstOff.empty()) {
          worstOffBy = std::fabs(belongs - shown);
          worstOff = Format(" (worst: frame %d at %.2f s, belongs at %.2f s%s)", f.number, shown, belongs,
                            i < 0 ? ", not in the source" : "");
        }
      }
    }
    const int read = static_cast<int>(frames.size()) - static_cast<int>(std::count_if(frames.begin(), frames.end(), [](const Frame& f) { return f.number < 0; }));
    const int allowed = std::max(2, counted / 100);
    rows.push_back({"picture", "frames read", Format("%d of %zu (%d unread where pictures belong)", read, frames.size(), unread),
                    Format("%d unread", allowed), unread <= allowed && read > 0});
    rows.push_back({"picture", "shown out of order", Format("%d%s", backwards, worstBack.c_str()), "0", backwards == 0});
    rows.push_back({"picture", "off their time", Format("%d%s", off, worstOff.c_str()), "0 over 1 frame", off == 0});
    OrientationRow(frames, opt, m, rows);
    double vend = 0;
    if (!frames.empty()) {
      // The last frame lasts as long as most frames do (not as the step
      // before it, which may be a gap).
      std::vector<double> steps;
      for (size_t i = 1; i < frames.size(); ++i) steps.push_back(frames[i].time - frames[i - 1].time);
      const double step = steps.empty() ? 1 / m.rate : Median(steps);
      vend = frames.back().time + step - origin;
    }
    const double want = Manifest::End(m.picture), least = m.EarliestEnd(m.picture);
    rows.push_back({"picture", "length", Format("%.2f s (source %.2f s)", vend, want), "0.2 s",
                    vend >= least - 0.2 && vend <= end + 0.2});
    rows.push_back({"picture", "past the source's end", Format("%d frames", past), "0", past == 0});
  }

  if (opt.sound && !hasAudio) rows.push_back({"sound", "stream", "none", "one", false});
  if (opt.sound && hasAudio) {
    const std::vector<Stretch> stretches = SoundStretches(pcm);
    // The source second each stretch holds: of the seconds of its tone, the
    // one nearest to where the stretch is.
    std::map<int, int> times;
    std::vector<std::pair<int, const Stretch*>> seconds;
    double soundEnd = 0;
    for (const Stretch& s : stretches) {
      if (s.tone < 0) continue;
      const double mid = (s.from + s.to) / 2 - origin;
      const int base = static_cast<int>(std::floor(mid)) - s.tone;
      const int second = s.tone + kTones * static_cast<int>(std::lround(base / double(kTones)));
      seconds.push_back({second, &s});
      times[second]++;
      soundEnd = std::max(soundEnd, s.to + kWindow / 2.0 / kSoundRate - origin);
    }
    // Expected: each second of which the source holds at least half.
    std::vector<int> missing, twice, foreign;
    const int last = static_cast<int>(std::ceil(end)) + 1;
    for (int s = 0; s <= last; ++s) {
      double held = 0;
      for (const Span& sp : m.sound) held += std::max(0.0, std::min<double>(sp.to, s + 1) - std::max<double>(sp.from, s));
      const bool damaged = m.Damaged(s) || m.Damaged(s + 1) || m.Damaged(s + 0.5);
      const int n = times.count(s) ? times[s] : 0;
      if (held >= 0.5 && n == 0 && !damaged) missing.push_back(s);
      if (n > 1 && !damaged) twice.push_back(s);
      if (held < 0.05 && n > 0 && !damaged) foreign.push_back(s);
    }
    auto list = [](const std::vector<int>& v) {
      std::string out;
      for (size_t i = 0; i < v.size() && i < 8; ++i) {
        if (i) out += ',';
        out += std::to_string(v[i]);
      }
      if (v.size() > 8) out += ",...";
      return v.empty() ? std::string("none") : out;
    };
    rows.push_back({"sound", "seconds missing", list(missing), "none", missing.empty()});
    rows.push_back({"sound", "seconds present twice", list(twice), "none", twice.empty()});
    rows.push_back({"sound", "seconds not in the source", list(foreign), "none", foreign.empty()});
    // Boundaries between consecutive seconds, against the picture near them.
    int anchors = 0, moved = 0;
    double worst = 0, worstAt = 0;
    for (size_t i = 1; i < seconds.size(); ++i) {
      const Stretch &a = *seconds[i - 1].second, &b = *seconds[i].second;
      if (seconds[i].first != seconds[i - 1].first + 1 || b.from - a.to > 0.06) continue;
      const double at = (a.to + b.from) / 2;
      const int s = seconds[i].first;
      if (m.Damaged(s, 0.1)) continue;
      double local = origin;
      if (opt.picture && hasVideo) {
        std::vector<double> near;
        for (const Frame& f : frames) {
          if (f.number < 0 || std::fabs(f.time - at) > 1.0) continue;
          const int k = index(f.number);
          // A frame held over a gap tells nothing of the clock.
          if (k < 0 || k + 1 >= static_cast<int>(present.size()) || present[k + 1] != f.number + 1) continue;
          near.push_back(f.time - f.number / m.rate);
        }
        if (near.empty()) continue;
        local = Median(near);
      }
      const double shift = (at - local) - s;
      if (opt.verbose) printf("sound second %d begins at %.3f s: %+.0f ms against the picture\n", s, at, shift * 1000);
      ++anchors;
      if (std::fabs(shift) > 0.045) ++moved;
      if (std::fabs(shift) > std::fabs(worst)) worst = shift, worstAt = at;
    }
    rows.push_back({"sound", "against the picture",
                    Format("%d of %d boundaries moved (worst %+.0f ms at %.2f s)", moved, anchors, worst * 1000, worstAt),
                    "45 ms", moved == 0 && anchors > 0});
    if (opt.verbose)
      for (const auto& [second, s] : seconds) printf("sound %.3f-%.3f s: second %d\n", s->from, s->to, second);
    const double want = Manifest::End(m.sound), least = m.EarliestEnd(m.sound);
    rows.push_back({"sound", "length", Format("%.2f s (source %.2f s)", soundEnd, want), "0.2 s",
                    soundEnd >= least - 0.2 && soundEnd <= end + 0.2});
    const double decoded = pcm.size() / double(kSoundRate) - origin;
    rows.push_back({"sound", "past the source's end", Format("%.2f s", std::max(0.0, decoded - end)), "0.2 s",
                    decoded <= end + 0.2});
  }
  PrintTable(Format("%s (source: %.2f s of content)", opt.output.c_str(), end), rows);
  return std::all_of(rows.begin(), rows.end(), [](const Row& r) { return r.ok; }) ? 0 : 1;
}

int Usage() {
  fprintf(stderr,
          "usage: tc-check [--manifest M] [--orientation NAME|any] [--may-lose A-B]... [--no-sound]\n"
          "                [--no-picture] [--verbose] OUTPUT\n"
          "       tc-check --pictures INTERVAL [--manifest M] [--orientation NAME|any] PICTURE...\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool more = i + 1 < argc;
    if (a == "--manifest" && more) {
      opt.manifest = argv[++i];
    } else if (a == "--orientation" && more) {
      opt.orientation = argv[++i];
      std::replace(opt.orientation.begin(), opt.orientation.end(), '-', ' ');
    } else if (a == "--may-lose" && more) {
      Span s{};
      if (sscanf(argv[++i], "%lf-%lf", &s.from, &s.to) != 2) return Usage();
      opt.mayLose.push_back(s);
    } else if (a == "--pictures" && more) {
      opt.pictures = atof(argv[++i]);
      if (opt.pictures <= 0) return Usage();
    } else if (a == "--no-sound") {
      opt.sound = false;
    } else if (a == "--no-picture") {
      opt.picture = false;
    } else if (a == "--verbose") {
      opt.verbose = true;
    } else if (a.size() > 1 && a[0] == '-') {
      return Usage();
    } else {
      opt.stills.push_back(a);
    }
  }
  if (opt.stills.empty()) return Usage();
  Manifest m;
  if (!opt.manifest.empty() && !ReadManifest(opt.manifest, m)) {
    fprintf(stderr, "tc-check: cannot read the manifest %s\n", opt.manifest.c_str());
    return 2;
  }
  if (!opt.orientation.empty() && opt.orientation != "any" && OrientationIndex(opt.orientation) < 0) {
    fprintf(stderr, "tc-check: no orientation '%s'\n", opt.orientation.c_str());
    return 2;
  }
  if (opt.pictures > 0) return CheckStills(opt, m);
  if (opt.stills.size() != 1) return Usage();
  opt.output = opt.stills[0];
  return Check(opt, m);
}
