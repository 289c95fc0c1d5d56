// The committed media samples: every file listed in tests/data/README.md is
// there and ffprobe, as an independent reader, sees the format, streams and
// properties the list promises.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct Sample {
  std::string file;
  std::string format;
  std::vector<std::string> codecs;
  std::vector<std::string> properties;
};

std::string Trim(const std::string& s) {
  const auto b = s.find_first_not_of(" \t`");
  if (b == std::string::npos)
    return {};
  const auto e = s.find_last_not_of(" \t`");
  return s.substr(b, e - b + 1);
}

std::vector<std::string> SplitList(const std::string& s) {
  std::vector<std::string> out;
  std::stringstream in(s);
  std::string item;
  while (std::getline(in, item, ','))
    if (!Trim(item).empty())
      out.push_back(Trim(item));
  return out;
}

fs::path DataDir() {
  const char* dir = std::getenv("PELLOMAR_TEST_DATA");
  return dir ? fs::path(dir) : fs::path(PELLOMAR_SOURCE_DIR) / "tests" / "data";
}

// Rows of the sample table: "| `file` | format | codecs | properties | text |".
// The format column may itself hold commas (ffprobe's demuxer names do).
std::vector<Sample> ReadSampleTable(const fs::path& readme) {
  std::vector<Sample> samples;
  std::ifstream in(readme);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("| `", 0) != 0)
      continue;
    std::vector<std::string> cells;
    std::stringstream row(line.substr(1));
    std::string cell;
    while (std::getline(row, cell, '|'))
      cells.push_back(cell);
    if (cells.size() < 5)
      continue;
    samples.push_back({Trim(cells[0]), Trim(cells[1]), SplitList(cells[2]),
                       SplitList(cells[3])});
  }
  return samples;
}

std::string ShellQuote(const std::string& s) {
  std::string q = "'";
  for (char c : s)
    q += (c == '\'') ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

bool RunCommand(const std::string& command, std::string* output) {
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe)
    return false;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
    output->append(buffer, n);
  return ::pclose(pipe) == 0;
}

bool HaveFfprobe() {
  std::string ignored;
  return RunCommand("ffprobe -version 2>/dev/null", &ignored);
}

// What ffprobe says about one file: the format name and, per stream index,
// the stream's fields ("codec_name" -> "h264").
struct Probe {
  std::string format;
  std::map<int, std::map<std::string, std::string>> streams;
};

bool ProbeFile(const fs::path& file, Probe* probe) {
  std::string out;
  const std::string cmd =
      "ffprobe -v error -show_entries "
      "format=format_name:stream=index,codec_name,codec_tag_string,width,height,"
      "sample_rate,channels,bits_per_sample,field_order -of flat " +
      ShellQuote(file.string()) + " 2>/dev/null";
  if (!RunCommand(cmd, &out))
    return false;
  std::stringstream lines(out);
  std::string line;
  while (std::getline(lines, line)) {
    const auto eq = line.find('=');
    if (eq == std::string::npos)
      continue;
    const std::string key = line.substr(0, eq);
    std::string value = line.substr(eq + 1);
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
      value = value.substr(1, value.size() - 2);
    if (key == "format.format_name") {
      probe->format = value;
    } else if (key.rfind("streams.stream.", 0) == 0) {
      // streams.stream.<index>.<field>; program listings repeat the
      // streams under "programs." and are left out here.
      const std::string rest = key.substr(15);
      const auto dot = rest.find('.');
      if (dot == std::string::npos)
        continue;
      probe->streams[std::stoi(rest.substr(0, dot))][rest.substr(dot + 1)] = value;
    }
  }
  return true;
}

bool AnyStreamHas(const Probe& probe, const std::string& property) {
  for (const auto& [index, s] : probe.streams) {
    auto field = [&](const char* name) {
      auto it = s.find(name);
      return it == s.end() ? std::string() : it->second;
    };
    const auto x = property.find('x');
    bool match = false;
    if (property.rfind("tag:", 0) == 0)
      match = field("codec_tag_string") == property.substr(4);
    else if (property.rfind("order:", 0) == 0)
      match = field("field_order") == property.substr(6);
    else if (property.size() > 2 && property.compare(property.size() - 2, 2, "Hz") == 0)
      match = field("sample_rate") == property.substr(0, property.size() - 2);
    else if (property.size() > 2 && property.compare(property.size() - 2, 2, "ch") == 0)
      match = field("channels") == property.substr(0, property.size() - 2);
    else if (property.size() > 3 && property.compare(property.size() - 3, 3, "bit") == 0)
      match = field("bits_per_sample") == property.substr(0, property.size() - 3);
    else if (x != std::string::npos)
      match = field("width") == property.substr(0, x) &&
              field("height") == property.substr(x + 1);
    else
      ADD_FAILURE() << "unknown property in the sample table: " << property;
    if (match)
      return true;
  }
  return false;
}

std::vector<unsigned char> ReadAll(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class MediaSamples : public ::testing::Test {
protected:
  void SetUp() override {
    samples_ = ReadSampleTable(DataDir() / "README.md");
    ASSERT_FALSE(samples_.empty()) << "no sample table in " << DataDir() / "README.md";
  }
  std::vector<Sample> samples_;
};

} // namespace

TEST_F(MediaSamples, EveryListedFileExistsAndIsNotEmpty) {
  for (const Sample& s : samples_) {
    const fs::path path = DataDir() / s.file;
    ASSERT_TRUE(fs::is_regular_file(path)) << path;
    EXPECT_GT(fs::file_size(path), 0u) << path;
    EXPECT_FALSE(s.codecs.empty()) << s.file << " lists no stream";
  }
}

TEST_F(MediaSamples, FfprobeSeesTheListedFormatStreamsAndProperties) {
  if (!HaveFfprobe())
    GTEST_SKIP() << "ffprobe is not installed";
  for (const Sample& s : samples_) {
    SCOPED_TRACE(s.file);
    Probe probe;
    ASSERT_TRUE(ProbeFile(DataDir() / s.file, &probe)) << "ffprobe failed";
    EXPECT_EQ(probe.format, s.format);
    std::vector<std::string> codecs;
    for (const auto& [index, fields] : probe.streams) {
      auto it = fields.find("codec_name");
      codecs.push_back(it == fields.end() ? std::string("?") : it->second);
    }
    EXPECT_EQ(codecs, s.codecs);
    for (const std::string& property : s.properties)
      EXPECT_TRUE(AnyStreamHas(probe, property)) << "no stream with " << property;
  }
}

// Splitters rely on the packet size: 188 bytes for .ts, 192 for .m2ts with the
// sync byte after the 4-byte arrival time stamp.
TEST_F(MediaSamples, TransportStreamsHaveWholePacketsWithSyncBytes) {
  int checked = 0;
  for (const Sample& s : samples_) {
    const std::string ext = fs::path(s.file).extension().string();
    size_t packet = 0, sync_at = 0;
    if (ext == ".ts") {
      packet = 188;
    } else if (ext == ".m2ts") {
      packet = 192;
      sync_at = 4;
    } else {
      continue;
    }
    SCOPED_TRACE(s.file);
    const auto bytes = ReadAll(DataDir() / s.file);
    ASSERT_FALSE(bytes.empty());
    EXPECT_EQ(bytes.size() % packet, 0u);
    for (size_t pos = sync_at; pos < bytes.size(); pos += packet)
      ASSERT_EQ(bytes[pos], 0x47) << "at byte " << pos;
    ++checked;
  }
  EXPECT_GE(checked, 2) << "the table lists no transport streams";
}

// The repository's limit for committed samples is 12 MB.
TEST_F(MediaSamples, DataFolderStaysSmall) {
  uintmax_t total = 0;
  for (const auto& entry : fs::recursive_directory_iterator(DataDir()))
    if (entry.is_regular_file())
      total += entry.file_size();
  EXPECT_LT(total, 12u * 1000 * 1000);
}
