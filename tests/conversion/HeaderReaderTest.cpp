// Header readers: the ffmpeg-made AVI and ASF samples against ffprobe, and
// hand-built blocks that are truncated, inconsistent or hostile.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "conversion/HeaderReader.h"

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<unsigned char>;

std::string DataFile(const char* name) {
  const char* dir = std::getenv("PELLOMAR_TEST_DATA");
  return std::string(dir ? dir : PELLOMAR_SOURCE_DIR "/tests/data") + "/" + name;
}

std::string RunCommand(const std::string& cmd) {
  std::string out;
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof(buf), p)) > 0) out.append(buf, n);
  pclose(p);
  return out;
}

bool HaveFfprobe() { return std::system("ffprobe -version >/dev/null 2>&1") == 0; }

// "key=value" of ffprobe for one stream.
std::map<std::string, std::string> Probe(const std::string& file, const char* select) {
  std::string out = RunCommand("ffprobe -v error -select_streams " + std::string(select) +
                               " -show_entries stream=width,height,sample_rate,channels,bit_rate,nb_frames,"
                               "codec_tag_string:format=duration -of default=noprint_wrappers=1 '" + file + "'");
  std::map<std::string, std::string> kv;
  std::istringstream in(out);
  std::string line;
  while (std::getline(in, line)) {
    auto eq = line.find('=');
    if (eq != std::string::npos) kv[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return kv;
}

// A temporary file removed at the end of the test.
class TempFile {
 public:
  explicit TempFile(const Bytes& data) {
    char name[] = "/tmp/pm-header-XXXXXX";
    int fd = mkstemp(name);
    if (fd >= 0) {
      if (!data.empty() && write(fd, data.data(), data.size()) != ssize_t(data.size())) ADD_FAILURE() << "write";
      close(fd);
    }
    m_path = name;
  }
  ~TempFile() { std::remove(m_path.c_str()); }
  const std::string& Path() const { return m_path; }

 private:
  std::string m_path;
};

void Put16(Bytes& b, unsigned v) { b.push_back(v & 0xFF); b.push_back((v >> 8) & 0xFF); }
void Put32(Bytes& b, uint32_t v) { for (int i = 0; i < 4; ++i) b.push_back((v >> (8 * i)) & 0xFF); }
void Put64(Bytes& b, uint64_t v) { for (int i = 0; i < 8; ++i) b.push_back((v >> (8 * i)) & 0xFF); }
void PutBe16(Bytes& b, unsigned v) { b.push_back((v >> 8) & 0xFF); b.push_back(v & 0xFF); }
void PutBe32(Bytes& b, uint32_t v) { for (int i = 3; i >= 0; --i) b.push_back((v >> (8 * i)) & 0xFF); }
void PutText(Bytes& b, const char* s) { b.insert(b.end(), s, s + std::strlen(s)); }
void Append(Bytes& b, const Bytes& more) { b.insert(b.end(), more.begin(), more.end()); }
uint32_t Get32(const Bytes& b, size_t at) { return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | uint32_t(b[at + 3]) << 24; }

// A GUID in its text form written in the file's mixed-endian layout.
void PutGuid(Bytes& b, const char* text) {
  unsigned d1, d2, d3, d4[8];
  std::sscanf(text, "%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x", &d1, &d2, &d3, &d4[0], &d4[1], &d4[2], &d4[3], &d4[4],
              &d4[5], &d4[6], &d4[7]);
  Put32(b, d1);
  Put16(b, d2);
  Put16(b, d3);
  for (unsigned v : d4) b.push_back(v);
}

const char* kHeaderGuid = "75B22630-668E-11CF-A6D9-00AA0062CE6C";
const char* kFilePropsGuid = "8CABDCA1-A947-11CF-8EE4-00C00C205365";
const char* kStreamPropsGuid = "B7DC0791-A9B7-11CF-8EE6-00C00C205365";
const char* kAudioGuid = "F8699E40-5B4D-11CF-A8FD-00805F5C442B";
const char* kVideoGuid = "BC19EFC0-5B4D-11CF-A8FD-00805F5C442B";
const char* kCodecListGuid = "86D15240-311D-11D0-A3A4-00A0C90348F6";
const char* kBitrateGuid = "7BF875CE-468D-11D1-8D82-006097C9A2B2";

Bytes AsfObject(const char* guid, const Bytes& payload, std::optional<uint64_t> sizeOverride = {}) {
  Bytes b;
  PutGuid(b, guid);
  Put64(b, sizeOverride ? *sizeOverride : 24 + payload.size());
  Append(b, payload);
  return b;
}

Bytes AsfHeader(const std::vector<Bytes>& children, uint64_t sizeOverride = 0) {
  Bytes body;
  for (const Bytes& c : children) Append(body, c);
  Bytes b;
  PutGuid(b, kHeaderGuid);
  Put64(b, sizeOverride ? sizeOverride : 30 + body.size());
  Put32(b, uint32_t(children.size()));
  b.push_back(1);
  b.push_back(2);
  Append(b, body);
  return b;
}

Bytes FileProps(uint64_t fileSize, uint64_t packets, uint64_t sendDuration, uint32_t maxBitrate) {
  Bytes p(16, 0);  // file id
  Put64(p, fileSize);
  Put64(p, 0);  // creation date
  Put64(p, packets);
  Put64(p, sendDuration);  // play duration
  Put64(p, sendDuration);  // send duration
  Put64(p, 0);  // preroll
  Put32(p, 2);  // flags
  Put32(p, 3200);
  Put32(p, 3200);
  Put32(p, maxBitrate);
  return AsfObject(kFilePropsGuid, p);
}

Bytes AudioStream(int number, unsigned tag, unsigned channels, uint32_t rate, uint32_t bytesPerSec) {
  Bytes p;
  PutGuid(p, kAudioGuid);
  Append(p, Bytes(16, 0));  // error correction type
  Put64(p, 0);
  Put32(p, 18);
  Put32(p, 0);
  Put16(p, number);
  Put32(p, 0);
  Put16(p, tag);
  Put16(p, channels);
  Put32(p, rate);
  Put32(p, bytesPerSec);
  Put16(p, 4);
  Put16(p, 16);
  Put16(p, 0);
  return AsfObject(kStreamPropsGuid, p);
}

Bytes VideoStream(int number, uint32_t w, uint32_t h, const char* fourcc) {
  Bytes p;
  PutGuid(p, kVideoGuid);
  Append(p, Bytes(16, 0));
  Put64(p, 0);
  Put32(p, 51);
  Put32(p, 0);
  Put16(p, number);
  Put32(p, 0);
  Put32(p, w);
  Put32(p, h);
  p.push_back(2);
  Put16(p, 40);
  Put32(p, 40);
  Put32(p, w);
  Put32(p, h);
  Put16(p, 1);
  Put16(p, 24);
  PutText(p, fourcc);
  Append(p, Bytes(20, 0));
  return AsfObject(kStreamPropsGuid, p);
}

void PutUtf16(Bytes& b, const char16_t* s, bool withZero) {
  size_t n = std::char_traits<char16_t>::length(s) + (withZero ? 1 : 0);
  Put16(b, unsigned(n));
  for (size_t i = 0; i < n; ++i) Put16(b, s[i]);
}

StreamInfo Cleared() {
  StreamInfo info;
  std::memset(&info, 0, sizeof info);
  return info;
}

bool IsAllZero(const StreamInfo& info) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(&info);
  for (size_t i = 0; i < sizeof info; ++i)
    if (p[i]) return false;
  return true;
}

// --- ASF ---------------------------------------------------------------

TEST(AsfHeaderReader, FfmpegSampleAgainstFfprobe) {
  if (!HaveFfprobe()) GTEST_SKIP() << "ffprobe missing";
  std::string file = DataFile("asf-wmv2-wmav2.wmv");
  StreamInfo info = Cleared();
  ASSERT_EQ(0, ReadAsfHeaderInfo(file, info));
  auto v = Probe(file, "v:0");
  auto a = Probe(file, "a:0");
  EXPECT_EQ(std::stoul(v["width"]), +info.videoWidth);
  EXPECT_EQ(std::stoul(v["height"]), +info.videoHeight);
  EXPECT_STREQ(v["codec_tag_string"].c_str(), info.videoFourCC);
  ASSERT_EQ(1, +info.audioCount);
  EXPECT_EQ(0x161, +info.audio[0].formatTag);
  EXPECT_EQ(std::stoul(a["channels"]), +info.audio[0].channels);
  EXPECT_EQ(std::stoul(a["sample_rate"]), +info.audio[0].sampleRate);
  EXPECT_EQ(std::stoul(a["bit_rate"]) / 8, +info.audio[0].bytesPerSecond);
  EXPECT_EQ(fs::file_size(file), +info.fileSize);
  EXPECT_NEAR(std::stod(v["duration"]), double(info.duration), 1.0);
  // The codec list names both codecs.
  EXPECT_GT(std::strlen(info.videoCodecName), 3u);
  EXPECT_GT(std::strlen(info.audio[0].codecName), 3u);
  // The header object ends where the data object begins.
  std::ifstream in(file, std::ios::binary);
  Bytes head(info.headerSize + 16);
  in.read(reinterpret_cast<char*>(head.data()), head.size());
  Bytes dataGuid;
  PutGuid(dataGuid, "75B22636-668E-11CF-A6D9-00AA0062CE6C");
  EXPECT_TRUE(std::equal(dataGuid.begin(), dataGuid.end(), head.begin() + info.headerSize));
}

TEST(AsfHeaderReader, WithoutBitrateObjectVideoGetsMaximumMinusAudio) {
  std::string file = DataFile("asf-wmv2-wmav2.wmv");
  // The sample has no bit-rate object; its maximum bit rate sits in the
  // file properties, the first child.
  std::ifstream in(file, std::ios::binary);
  Bytes head(256);
  in.read(reinterpret_cast<char*>(head.data()), head.size());
  uint32_t maxBitrate = Get32(head, 30 + 100);
  StreamInfo info = Cleared();
  ASSERT_EQ(0, ReadAsfHeaderInfo(file, info));
  EXPECT_EQ(maxBitrate / 8 - +info.audio[0].bytesPerSecond, +info.videoBytesPerSecond);
}

TEST(AsfHeaderReader, FrameRateComesFromPacketCountAndDuration) {
  StreamInfo info = Cleared();
  ASSERT_EQ(0, ReadAsfHeaderInfo(DataFile("asf-wmv2-wmav2.wmv"), info));
  EXPECT_EQ(0u, +info.videoFrameRate);
  uint32_t packets = +info.videoFrameCount;
  ASSERT_GT(packets, 0u);
  ASSERT_GT(+info.duration, 0u);
  FinishStreamInfo(info);
  EXPECT_EQ(+info.duration, +info.videoDuration);
  EXPECT_EQ(packets * 1000 / +info.duration, +info.videoFrameRate);
}

TEST(AsfHeaderReader, NotAsfReportsFailureAndLeavesRecord) {
  StreamInfo info = Cleared();
  EXPECT_LT(ReadAsfHeaderInfo(DataFile("avi-xvid-pcm.avi"), info), 0);
  EXPECT_TRUE(IsAllZero(info));
  EXPECT_EQ(-1, ReadAsfHeaderInfo("/nonexistent/file.wmv", info));
  TempFile empty({});
  EXPECT_EQ(-1, ReadAsfHeaderInfo(empty.Path(), info));
  TempFile tiny(Bytes{0x30, 0x26});
  EXPECT_LT(ReadAsfHeaderInfo(tiny.Path(), info), 0);
  EXPECT_TRUE(IsAllZero(info));
}

TEST(AsfHeaderReader, BitrateObjectSpreadsRatesByStreamNumber) {
  Bytes bitrates;
  Put16(bitrates, 2);
  Put16(bitrates, 1);
  Put32(bitrates, 96000);
  Put16(bitrates, 2);
  Put32(bitrates, 800000);
  Bytes file = AsfHeader({FileProps(5000, 70, 30000000, 2000000), AudioStream(1, 0x161, 2, 48000, 1),
                          VideoStream(2, 320, 240, "WMV3"), AsfObject(kBitrateGuid, bitrates)});
  TempFile tmp(file);
  StreamInfo info = Cleared();
  ASSERT_EQ(0, ReadAsfHeaderInfo(tmp.Path(), info));
  EXPECT_EQ(3u, +info.duration);
  EXPECT_EQ(70u, +info.videoFrameCount);
  EXPECT_EQ(320u, +info.videoWidth);
  EXPECT_STREQ("WMV3", info.videoFourCC);
  EXPECT_EQ(12000u, +info.audio[0].bytesPerSecond);
  EXPECT_EQ(100000u, +info.videoBytesPerSecond);
}

TEST(AsfHeaderReader, AudioAboveMaximumGivesNoNegativeVideoRate) {
  Bytes file = AsfHeader({FileProps(5000, 1, 10000000, 8000), AudioStream(1, 0x161, 2, 48000, 64000),
                          VideoStream(2, 320, 240, "WMV3")});
  TempFile tmp(file);
  StreamInfo info = Cleared();
  ASSERT_EQ(0, ReadAsfHeaderInfo(tmp.Path(), info));
  EXPECT_EQ(0u, +info.videoBytesPerSecond);
}

TEST(AsfHeaderReader, CodecListNamesAndFourCC) {
  Bytes list(16, 0);
  Put32(list, 3);
  Put16(list, 1);
  PutUtf16(list, u"Vid\u00e9o \U0001F3A5", true);
  PutUtf16(list, u"desc", false);
  Put16(list, 4);
  PutText(list, "WVC1");
  Put16(list, 2);
  PutUtf16(list, u"Audio One", true);
  PutUtf16(list, u"", false);
  Put16(list, 0);
  Put16(list, 2);
  PutUtf16(list, u"Audio Two", false);
  PutUtf16(list, u"", false);
  Put16(list, 0);
  Bytes file = AsfHeader({AudioStream(1, 0x161, 2, 44100, 8000), VideoStream(2, 64, 48, "WMV3"),
                          AudioStream(3, 0x162, 6, 48000, 24000), AsfObject(kCodecListGuid, list)});
  TempFile tmp(file);
  StreamInfo info = Cleared();
  ASSERT_EQ(0, ReadAsfHeaderInfo(tmp.Path(), info));
  EXPECT_STREQ("Vid\xc3\xa9o \xf0\x9f\x8e\xa5", info.videoCodecName);
  EXPECT_STREQ("WVC1", info.videoFourCC);
  ASSERT_EQ(2, +info.audioCount);
  EXPECT_STREQ("Audio One", info.audio[0].codecName);
  EXPECT_STREQ("Audio Two", info.audio[1].codecName);
  EXPECT_EQ(6, +info.audio[1].channels);
}

TEST(AsfHeaderReader, MoreThanThreeAudioStreamsKeepsThree) {
  std::vector<Bytes> children;
  for (int i = 1; i <= 6; ++i) children.push_back(AudioStream(i, 0x160 + i, 2, 8000 * i, 1000 * i));
  Bytes list(16, 0);
  Put32(list, 6);
  for (int i = 0; i < 6; ++i) {
    Put16(list, 2);
    PutUtf16(list, u"A", false);
    PutUtf16(list, u"", false);
    Put16(list, 0);
  }
  children.push_back(AsfObject(kCodecListGuid, list));
  Bytes bitrates;
  Put16(bitrates, 6);
  for (int i = 1; i <= 6; ++i) {
    Put16(bitrates, i);
    Put32(bitrates, 80000 * i);
  }
  children.push_back(AsfObject(kBitrateGuid, bitrates));
  TempFile tmp(AsfHeader(children));
  StreamInfo info = Cleared();
  ASSERT_EQ(0, ReadAsfHeaderInfo(tmp.Path(), info));
  ASSERT_EQ(3, +info.audioCount);
  EXPECT_EQ(0x163u, +info.audio[2].formatTag);
  EXPECT_EQ(30000u, +info.audio[2].bytesPerSecond);
  EXPECT_STREQ("A", info.audio[2].codecName);
}

TEST(AsfHeaderReader, BrokenChildSizesEndTheWalk) {
  // A child of size 0 would loop for ever; one below the object header
  // size and one reaching past the header end the walk as well.
  for (uint64_t bad : {uint64_t(0), uint64_t(23), uint64_t(1) << 40, uint64_t(0xFFFFFFFFFFFFFFFF)}) {
    Bytes file = AsfHeader({AsfObject(kCodecListGuid, Bytes(40, 0), bad), VideoStream(2, 64, 48, "WMV3")});
    TempFile tmp(file);
    StreamInfo info = Cleared();
    EXPECT_EQ(0, ReadAsfHeaderInfo(tmp.Path(), info)) << bad;
    EXPECT_EQ(0u, +info.videoWidth) << bad;
  }
}

TEST(AsfHeaderReader, HeaderLargerThanTheLoadedBlockIsReadOnlyWithinIt) {
  // The header claims 64 KiB; a stream object that straddles the end of the
  // loaded 16 KiB is not read, the one before it is.
  Bytes file = AsfHeader({FileProps(1, 1, 10000000, 8000)}, 65536);
  Append(file, AsfObject("00000000-0000-0000-0000-000000000000", Bytes(16384 - file.size() - 24 - 40, 0)));
  Append(file, VideoStream(2, 64, 48, "WMV3"));
  file.resize(70000, 0);
  TempFile tmp(file);
  StreamInfo info = Cleared();
  ASSERT_EQ(0, ReadAsfHeaderInfo(tmp.Path(), info));
  EXPECT_EQ(65536u, +info.headerSize);
  EXPECT_EQ(1u, +info.videoFrameCount);
  EXPECT_EQ(0u, +info.videoWidth);
}

TEST(AsfHeaderReader, HostileCountsAndLengthsStayInsideTheObject) {
  Bytes list(16, 0);
  Put32(list, 0xFFFFFFFF);
  Put16(list, 1);
  Put16(list, 0xFFFF);  // name length far past the object
  Bytes bitrates;
  Put16(bitrates, 0xFFFF);
  Put16(bitrates, 0x7F);
  Put32(bitrates, 8);
  Bytes shortStream;
  PutGuid(shortStream, kVideoGuid);  // a stream object cut after its type
  Bytes file = AsfHeader({AsfObject(kCodecListGuid, list), AsfObject(kBitrateGuid, bitrates),
                          AsfObject(kStreamPropsGuid, shortStream), AsfObject(kFilePropsGuid, Bytes(10, 0))});
  TempFile tmp(file);
  StreamInfo info = Cleared();
  EXPECT_EQ(0, ReadAsfHeaderInfo(tmp.Path(), info));
  EXPECT_EQ(0u, +info.videoWidth);
  EXPECT_EQ(0, info.videoCodecName[0]);
}

// --- AVI ---------------------------------------------------------------

TEST(AviHeaderReader, FfmpegSamplesAgainstFfprobe) {
  if (!HaveFfprobe()) GTEST_SKIP() << "ffprobe missing";
  for (const char* name : {"avi-xvid-pcm.avi", "avi-mjpeg-mp3.avi"}) {
    SCOPED_TRACE(name);
    std::string file = DataFile(name);
    StreamInfo info = Cleared();
    ASSERT_EQ(0, ReadAviHeaderInfo(file, info));
    auto v = Probe(file, "v:0");
    auto a = Probe(file, "a:0");
    EXPECT_STREQ(v["codec_tag_string"].c_str(), info.videoFourCC);
    EXPECT_EQ(std::stoul(v["width"]), +info.videoWidth);
    EXPECT_EQ(std::stoul(v["height"]), +info.videoHeight);
    EXPECT_EQ(std::stoul(v["nb_frames"]), +info.videoFrameCount);
    EXPECT_EQ(25000u, +info.videoFrameRate);  // every sample is 25 frames/s
    EXPECT_EQ(fs::file_size(file), +info.fileSize);
    ASSERT_EQ(1, +info.audioCount);
    EXPECT_EQ(std::stoul(a["channels"]), +info.audio[0].channels);
    EXPECT_EQ(std::stoul(a["sample_rate"]), +info.audio[0].sampleRate);
    EXPECT_EQ(std::stoul(a["bit_rate"]) / 8, +info.audio[0].bytesPerSecond);
    EXPECT_NEAR(std::stod(a["duration"]), double(info.audio[0].duration), 1.0);
    // The walk stops at the movie list.
    std::ifstream in(file, std::ios::binary);
    in.seekg(info.headerSize);
    char chunk[12] = {};
    in.read(chunk, 12);
    EXPECT_EQ(0, std::memcmp(chunk, "LIST", 4));
    EXPECT_EQ(0, std::memcmp(chunk + 8, "movi", 4));
    FinishStreamInfo(info);
    EXPECT_EQ(+info.videoFrameCount * 1000 / 25000, +info.videoDuration);
    EXPECT_EQ(+info.videoDuration, +info.duration);
  }
}

// An AVI header built from stream descriptions: (type, handler, scale,
// rate, length, format bytes).
struct AviStream {
  const char* type;
  const char* handler;
  uint32_t scale, rate, length;
  Bytes format;
};

Bytes Chunk(const char* id, const Bytes& body, uint32_t sizeOverride = 0) {
  Bytes b;
  PutText(b, id);
  Put32(b, sizeOverride ? sizeOverride : uint32_t(body.size()));
  Append(b, body);
  if (body.size() & 1) b.push_back(0);
  return b;
}

Bytes List(const char* type, const Bytes& body) {
  Bytes b;
  PutText(b, type);
  Append(b, body);
  return Chunk("LIST", b);
}

Bytes Strh(const AviStream& s) {
  Bytes b;
  PutText(b, s.type);
  PutText(b, s.handler);
  Put32(b, 0);
  Put32(b, 0);
  Put32(b, 0);
  Put32(b, s.scale);
  Put32(b, s.rate);
  Put32(b, 0);
  Put32(b, s.length);
  Append(b, Bytes(20, 0));
  return Chunk("strh", b);
}

Bytes Bih(int32_t w, int32_t h, const char* compression) {
  Bytes b;
  Put32(b, 40);
  Put32(b, uint32_t(w));
  Put32(b, uint32_t(h));
  Put16(b, 1);
  Put16(b, 24);
  if (compression) PutText(b, compression); else Put32(b, 0);
  Append(b, Bytes(20, 0));
  return b;
}

Bytes Wave(unsigned tag, unsigned channels, uint32_t rate, uint32_t bps) {
  Bytes b;
  Put16(b, tag);
  Put16(b, channels);
  Put32(b, rate);
  Put32(b, bps);
  Put16(b, 4);
  Put16(b, 16);
  Put16(b, 0);
  return b;
}

Bytes Avi(const std::vector<AviStream>& streams, const Bytes& before = {}, const Bytes& between = {}) {
  Bytes hdrl = Chunk("avih", Bytes(56, 0));
  Append(hdrl, before);
  for (size_t i = 0; i < streams.size(); ++i) {
    Bytes strl = Strh(streams[i]);
    Append(strl, Chunk("strf", streams[i].format));
    Append(strl, Chunk("strn", Bytes{'n', 'a', 'm', 'e', 0}));  // odd size
    Append(hdrl, List("strl", strl));
    if (i == 0) Append(hdrl, between);
  }
  Bytes body;
  PutText(body, "AVI ");
  Append(body, List("hdrl", hdrl));
  Append(body, Chunk("JUNK", Bytes(601, 0)));
  Append(body, List("movi", Bytes(64, 0)));
  Bytes riff;
  PutText(riff, "RIFF");
  Put32(riff, uint32_t(body.size()));
  Append(riff, body);
  return riff;
}

TEST(AviHeaderReader, StreamsAcrossALargeJunkChunkAndTopDownPicture) {
  // A 40000-byte JUNK chunk pushes the audio stream past the first block.
  Bytes junk = Chunk("JUNK", Bytes(40001, 0));
  Bytes file = Avi({{"vids", "DIB ", 1, 25, 50, Bih(320, -240, nullptr)},
                    {"auds", "    ", 1, 22050, 44100, Wave(1, 1, 22050, 44100)}},
                   {}, junk);
  TempFile tmp(file);
  StreamInfo info = Cleared();
  ASSERT_EQ(0, ReadAviHeaderInfo(tmp.Path(), info));
  EXPECT_STREQ("DIB ", info.videoFourCC);  // uncompressed: the handler code
  EXPECT_EQ(240u, +info.videoHeight);
  EXPECT_EQ(25000u, +info.videoFrameRate);
  ASSERT_EQ(1, +info.audioCount);
  EXPECT_EQ(22050u, +info.audio[0].sampleRate);
  EXPECT_EQ(2u, +info.audio[0].duration);
  EXPECT_EQ(file.size(), +info.fileSize);
  EXPECT_EQ(0, std::memcmp(file.data() + +info.headerSize, "LIST", 4));
}

TEST(AviHeaderReader, ZeroScalesGiveZeroRatesNotADivision) {
  Bytes file = Avi({{"vids", "xvid", 0, 25, 50, Bih(64, 48, "XVID")},
                    {"auds", "    ", 0, 0, 100, Wave(0x55, 2, 44100, 16000)}});
  TempFile tmp(file);
  StreamInfo info = Cleared();
  ASSERT_EQ(0, ReadAviHeaderInfo(tmp.Path(), info));
  EXPECT_EQ(0u, +info.videoFrameRate);
  EXPECT_EQ(0u, +info.audio[0].duration);
  FinishStreamInfo(info);
  EXPECT_EQ(0u, +info.videoFrameRate);
}

TEST(AviHeaderReader, MoreStreamsThanSlots) {
  std::vector<AviStream> streams = {{"vids", "xvid", 1, 25, 25, Bih(64, 48, "XVID")}};
  for (int i = 1; i <= 5; ++i) streams.push_back({"auds", "    ", 1, 8000u * i, 8000u * i, Wave(1, 1, 8000 * i, 16000 * i)});
  TempFile tmp(Avi(streams));
  StreamInfo info = Cleared();
  ASSERT_EQ(0, ReadAviHeaderInfo(tmp.Path(), info));
  ASSERT_EQ(3, +info.audioCount);
  EXPECT_EQ(24000u, +info.audio[2].sampleRate);
  EXPECT_EQ(1u, +info.audio[2].duration);
}

TEST(AviHeaderReader, Failures) {
  StreamInfo info = Cleared();
  EXPECT_EQ(-1, ReadAviHeaderInfo("/nonexistent/x.avi", info));
  TempFile shortFile(Bytes(100, 'R'));
  EXPECT_EQ(-2, ReadAviHeaderInfo(shortFile.Path(), info));
  EXPECT_EQ(-4, ReadAviHeaderInfo(DataFile("wav-s16.wav"), info));
  TempFile noStream(Avi({}));
  EXPECT_EQ(-5, ReadAviHeaderInfo(noStream.Path(), info));
  TempFile audioFirst(Avi({{"auds", "    ", 1, 8000, 8000, Wave(1, 1, 8000, 16000)},
                           {"vids", "xvid", 1, 25, 25, Bih(64, 48, "XVID")}}));
  EXPECT_EQ(-3, ReadAviHeaderInfo(audioFirst.Path(), info));
}

TEST(AviHeaderReader, HostileChunkSizes) {
  // A format chunk that claims far more than the file, a strh claiming 4 GB
  // and a list whose size wraps: none may read outside what is there.
  Bytes hdrl = Chunk("avih", Bytes(56, 0));
  Bytes strl = Strh({"vids", "xvid", 1, 25, 25, {}});
  Append(strl, Chunk("strf", Bih(64, 48, "XVID"), 0xFFFFFFF0));
  Bytes body;
  PutText(body, "AVI ");
  Append(body, List("hdrl", hdrl));
  Append(body, List("strl", strl));
  Append(body, Chunk("strh", Bytes(8, 0), 0xFFFFFFFE));
  body.resize(2000, 0);
  Bytes riff;
  PutText(riff, "RIFF");
  Put32(riff, 0xFFFFFFFF);
  Append(riff, body);
  TempFile tmp(riff);
  StreamInfo info = Cleared();
  EXPECT_EQ(0, ReadAviHeaderInfo(tmp.Path(), info));
  EXPECT_EQ(64u, +info.videoWidth);
  EXPECT_LE(+info.headerSize, riff.size());
}

// --- RealMedia -----------------------------------------------------------

Bytes RmChunk(const char* id, const Bytes& body, uint32_t sizeOverride = 0) {
  Bytes b;
  PutText(b, id);
  PutBe32(b, sizeOverride ? sizeOverride : uint32_t(10 + body.size()));
  PutBe16(b, 0);
  Append(b, body);
  return b;
}

Bytes Mdpr(const char* name, uint32_t avgBitrate, uint32_t durationMs, const Bytes& typeData) {
  Bytes b;
  PutBe16(b, 0);
  PutBe32(b, avgBitrate * 2);
  PutBe32(b, avgBitrate);
  PutBe32(b, 0);
  PutBe32(b, 0);
  PutBe32(b, 0);
  PutBe32(b, 0);
  PutBe32(b, durationMs);
  b.push_back(uint8_t(std::strlen(name)));
  PutText(b, name);
  const char* mime = "x-pn/realvideo";
  b.push_back(uint8_t(std::strlen(mime)));
  PutText(b, mime);
  PutBe32(b, uint32_t(typeData.size()));
  Append(b, typeData);
  return RmChunk("MDPR", b);
}

Bytes RmFile(bool withAudio) {
  Bytes file = RmChunk(".RMF", Bytes{0, 0, 0, 0, 0, 0, 0, 4});
  Bytes prop(40, 0);
  prop[20] = 0;
  Bytes p;
  for (int i = 0; i < 5; ++i) PutBe32(p, 0);
  PutBe32(p, 7250);  // duration in ms
  Append(p, Bytes(14, 0));
  Append(file, RmChunk("PROP", p));
  Bytes vido;
  PutBe32(vido, 34);
  PutText(vido, "VIDO");
  PutText(vido, "RV40");
  PutBe16(vido, 352);
  PutBe16(vido, 288);
  PutBe16(vido, 12);
  PutBe32(vido, 0);
  PutBe32(vido, 25u << 16);
  Append(vido, Bytes(8, 0));
  Append(file, Mdpr("Video Stream", 400000, 7000, vido));
  if (withAudio) {
    Bytes ra;
    PutText(ra, ".ra\xfd");
    PutBe16(ra, 4);
    PutBe16(ra, 0);
    PutText(ra, ".ra4");
    Append(ra, Bytes(48 - ra.size(), 0));
    PutBe16(ra, 44100);
    PutBe16(ra, 0);
    PutBe16(ra, 16);
    PutBe16(ra, 2);
    ra.push_back(4);
    PutText(ra, "Int4");
    ra.push_back(4);
    PutText(ra, "cook");
    Append(ra, Bytes(4, 0));
    Append(file, Mdpr("Audio Stream", 64000, 7200, ra));
  }
  Append(file, RmChunk("DATA", Bytes(100, 0)));
  return file;
}

TEST(RealMediaHeaderReader, PropertiesAndStreams) {
  Bytes file = RmFile(true);
  TempFile tmp(file);
  StreamInfo info = Cleared();
  ASSERT_EQ(0, ReadRealMediaHeaderInfo(tmp.Path(), info));
  EXPECT_EQ(7u, +info.duration);
  EXPECT_STREQ("RV40", info.videoFourCC);
  EXPECT_EQ(352u, +info.videoWidth);
  EXPECT_EQ(288u, +info.videoHeight);
  EXPECT_EQ(25000u, +info.videoFrameRate);
  EXPECT_EQ(50000u, +info.videoBytesPerSecond);
  EXPECT_EQ(7u, +info.videoDuration);
  ASSERT_EQ(1, +info.audioCount);
  EXPECT_EQ(8000u, +info.audio[0].bytesPerSecond);
  EXPECT_EQ(44100u, +info.audio[0].sampleRate);
  EXPECT_EQ(2, +info.audio[0].channels);
  EXPECT_NE(nullptr, std::strstr(info.audio[0].codecName, "cook"));
  EXPECT_EQ(0, std::memcmp(file.data() + +info.headerSize, "DATA", 4));
}

TEST(RealMediaHeaderReader, TruncatedAndHostileChunks) {
  StreamInfo info = Cleared();
  EXPECT_EQ(-1, ReadRealMediaHeaderInfo("/nonexistent/x.rm", info));
  TempFile notRm(Bytes(64, 'x'));
  EXPECT_LT(ReadRealMediaHeaderInfo(notRm.Path(), info), 0);
  // Cut in the middle of every chunk: nothing read past the end.
  Bytes whole = RmFile(true);
  for (size_t cut = 10; cut < whole.size(); cut += 7) {
    TempFile part(Bytes(whole.begin(), whole.begin() + cut));
    StreamInfo i = Cleared();
    EXPECT_EQ(0, ReadRealMediaHeaderInfo(part.Path(), i));
  }
  // A chunk size below the chunk header and a name length past the chunk.
  Bytes zero = RmChunk(".RMF", Bytes(8, 0));
  Append(zero, RmChunk("PROP", Bytes(40, 0), 3));
  TempFile z(zero);
  EXPECT_EQ(0, ReadRealMediaHeaderInfo(z.Path(), info));
  Bytes badName = Mdpr("Video", 8, 1000, {});
  badName[40] = 250;
  Bytes file = RmChunk(".RMF", Bytes(8, 0));
  Append(file, badName);
  TempFile b(file);
  StreamInfo i2 = Cleared();
  EXPECT_EQ(0, ReadRealMediaHeaderInfo(b.Path(), i2));
  EXPECT_EQ(0u, +i2.videoBytesPerSecond);
}

// --- FinishStreamInfo ----------------------------------------------------

TEST(FinishStreamInfo, DerivesWhatTheHeaderLeftOut) {
  StreamInfo a = Cleared();
  a.videoFrameCount = 250;
  a.videoFrameRate = 25000;
  FinishStreamInfo(a);
  EXPECT_EQ(10u, +a.videoDuration);
  EXPECT_EQ(10u, +a.duration);

  StreamInfo b = Cleared();
  b.duration = 12;
  b.videoFrameRate = 29970;
  FinishStreamInfo(b);
  EXPECT_EQ(12u, +b.videoDuration);
  EXPECT_EQ(359u, +b.videoFrameCount);

  StreamInfo c = Cleared();
  c.videoFrameCount = 300;
  c.videoDuration = 20;
  FinishStreamInfo(c);
  EXPECT_EQ(15000u, +c.videoFrameRate);
  EXPECT_EQ(20u, +c.duration);

  StreamInfo d = Cleared();
  FinishStreamInfo(d);
  EXPECT_TRUE(IsAllZero(d));
}

}  // namespace
