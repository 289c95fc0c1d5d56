// The network audio source against a loopback ICY server of the test's own.
#include <gtest/gtest.h>

#include "platform/com/Bstr.h"
#include "sources/shoutcast/ShoutcastSource.h"
#include "tests/sources/shoutcast/IcyServer.h"
#include "tests/splitters/SplitterGraph.h"

namespace {

using icytest::Behaviour;
using icytest::Bytes;
using Graph = splittertest::SourceGraph<CShoutcastSource>;

Bytes Mp3() {
  Bytes b;
  FILE* f = fopen((std::string(getenv("PELLOMAR_TEST_DATA")) + "/mp3-44100.mp3").c_str(), "rb");
  if (!f) return b;
  uint8_t buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) b.insert(b.end(), buf, buf + n);
  fclose(f);
  return b;
}

// Every delivered byte, in order.
Bytes Delivered(Graph& g) {
  Bytes all;
  for (const auto& s : g.Samples(0)) all.insert(all.end(), s.data.begin(), s.data.end());
  return all;
}

std::wstring Title(Graph& g) {
  BSTR title = nullptr;
  EXPECT_EQ(CComQIPtr<IAMMediaContent>(g.hold)->get_Title(&title), S_OK);
  std::wstring out = title ? title : L"";
  SysFreeString(title);
  return out;
}

class ShoutcastSource : public testing::Test {
 protected:
  void SetUp() override { CSocket::SetBlockingTimeout(10000); }
  void TearDown() override { CSocket::SetBlockingTimeout(30000); }
  const Bytes mp3 = Mp3();
};

// The audio comes out byte for byte without its metadata blocks, timed by
// the bit rate, and ends when the server closes, stalls or breaks off.
TEST_F(ShoutcastSource, StreamsTheAudioWithoutItsMetadata) {
  const Bytes garbage = {0xFF, 0xFB, 0x50, 0x00, 1, 2, 3, 0xFF, 0xFF, 0xFF};  // a 64 kbit/s header first
  Behaviour plain;
  plain.audio = mp3;
  const struct {
    const char* what;
    Behaviour b;
    size_t skipped;   // bytes before the first frame
    size_t expected;  // audio bytes delivered
    std::wstring title;
  } cases[] = {
      {"metadata every 8192 bytes", plain, 0, mp3.size(), L"Artist - Song"},
      {"blocks of no length and of the largest length without an apostrophe, in sends of 7 bytes",
       [&] {
         Behaviour b = plain;
         b.reply = "ICY 200 OK\r\nIcy-Br:128\r\nICY-METAINT:1000\r\n\r\n";
         b.metaint = 1000;
         b.titles = {"", "StreamTitle='" + std::string(4067, 'x')};
         b.writeSize = 7;
         return b;
       }(),
       0, mp3.size(), L""},
      {"no metadata, junk before the first frame",
       [&] {
         Behaviour b = plain;
         b.reply = "ICY 200 OK\r\nicy-br:128\r\n\r\n";
         b.metaint = 0;
         b.audio.insert(b.audio.begin(), garbage.begin(), garbage.end());
         return b;
       }(),
       garbage.size(), mp3.size(), L""},
      {"server closing after 10000 bytes", [&] { Behaviour b = plain; b.audioLimit = 10000; return b; }(), 0, 10000,
       L"Artist - Song"},
      {"metadata block cut off by the server", [&] { Behaviour b = plain; b.end = Behaviour::kCutMetadata; return b; }(),
       0, mp3.size() / 8192 * 8192, L"Artist - Song"},
      {"server stalling after the audio", [&] { Behaviour b = plain; b.end = Behaviour::kStall; return b; }(), 0,
       mp3.size(), L"Artist - Song"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    CSocket::SetBlockingTimeout(c.b.end == Behaviour::kStall ? 500 : 10000);
    icytest::Server server(c.b);
    Graph g(server.Url());
    ASSERT_EQ(g.loaded, S_OK);
    const CMediaType mt = g.PinType(0);
    const auto* wfx = reinterpret_cast<const WAVEFORMATEX*>(mt.Format());
    EXPECT_EQ(wfx->wFormatTag, 0x55);
    EXPECT_EQ(wfx->nSamplesPerSec, 44100u);
    EXPECT_EQ(wfx->nChannels, 2);
    EXPECT_EQ(wfx->nAvgBytesPerSec, 16000u);
    g.RunToEnd();
    const auto& audio = c.b.audio;
    EXPECT_EQ(Delivered(g), Bytes(audio.begin() + long(c.skipped), audio.begin() + long(c.skipped + c.expected)));
    REFERENCE_TIME at = 0;
    for (const auto& s : g.Samples(0)) {
      EXPECT_EQ(s.start, at);
      at += s.length * 80000000LL / 128000;
    }
    EXPECT_EQ(Title(g), c.title);
    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 2u);  // the trial connection and the run's
    EXPECT_EQ(requests[1],
              "GET /stream HTTP/1.0\r\nIcy-MetaData:1\r\nUser-Agent: shoutcastsource\r\nHost: 127.0.0.1\r\n"
              "Accept: */*\r\nConnection: Keep-Alive\r\n\r\n");
  }
}

// Loading fails cleanly for what is no ICY MP3 stream or no server at all.
TEST_F(ShoutcastSource, RefusedStreams) {
  CSocket::SetBlockingTimeout(500);
  auto with = [&](std::string reply, Bytes audio) {
    Behaviour b;
    b.reply = std::move(reply);
    b.audio = std::move(audio);
    b.metaint = 0;
    return b;
  };
  const std::string ok = "ICY 200 OK\r\nicy-br:128\r\nicy-metaint:8192\r\n\r\n";
  const struct {
    const char* what;
    Behaviour b;
    std::string url;  // empty: the server's
  } cases[] = {
      {"plain HTTP reply", with("HTTP/1.0 200 OK\r\nicy-br:128\r\n\r\n", mp3), ""},
      {"error status", with("ICY 404 Resource Not Found\r\n\r\n", {}), ""},
      {"redirect", with("HTTP/1.0 302 Found\r\nLocation: http://127.0.0.1:1/\r\n\r\n", {}), ""},
      {"no bit rate", with("ICY 200 OK\r\nicy-metaint:8192\r\n\r\n", mp3), ""},
      {"negative interval", with("ICY 200 OK\r\nicy-br:128\r\nicy-metaint:-5\r\n\r\n", mp3), ""},
      {"another bit rate than the frames'", with("ICY 200 OK\r\nicy-br:64\r\n\r\n", mp3), ""},
      {"no MP3 frames", with(ok, Bytes(8000, 0x42)), ""},
      {"closing after the header", with(ok, {}), ""},
      {"header that never ends", with("ICY 200 OK\r\nicy-br:128\r\n", {}), ""},
      {"stalling before the reply", [] { Behaviour b; b.reply.clear(); b.end = Behaviour::kStall; return b; }(), ""},
      {"no server", with(ok, mp3), "http://127.0.0.1:1/"},
      {"no host", with(ok, mp3), "http://:8000/"},
      {"port out of range", with(ok, mp3), "http://127.0.0.1:99999/"},
      {"another protocol", with(ok, mp3), "ftp://127.0.0.1/"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    icytest::Server server(c.b);
    Graph g(c.url.empty() ? server.Url() : c.url);
    EXPECT_EQ(g.loaded, E_FAIL);
  }
}

// A server that resets a request naming the user agent is asked once more
// without it; a URL without a scheme or path is completed.
TEST_F(ShoutcastSource, RetriesWithoutTheAgentAfterAReset) {
  Behaviour b;
  b.audio = mp3;
  b.resetOnAgent = true;
  icytest::Server server(b);
  Graph g("127.0.0.1:" + std::to_string(server.Port()));
  ASSERT_EQ(g.loaded, S_OK);
  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_NE(requests[0].find("User-Agent: shoutcastsource"), std::string::npos);
  EXPECT_EQ(requests[1], "GET / HTTP/1.0\r\nIcy-MetaData:1\r\nHost: 127.0.0.1\r\nAccept: */*\r\nConnection: Keep-Alive\r\n\r\n");
}

// Nothing is delivered before 3 s of stream are queued, or before the
// server ends the stream; then a new segment from 0. Stopping while it
// waits does not hang.
TEST_F(ShoutcastSource, BuffersThreeSecondsBeforePlaying) {
  Behaviour b;
  b.audio = mp3;  // 2 s
  b.end = Behaviour::kStall;
  b.holdAt = 418;  // one frame, for the sync; the rest when the source waits
  for (bool stopFirst : {true, false}) {
    SCOPED_TRACE(stopFirst ? "stopped while buffering" : "server closing while buffering");
    icytest::Server server(b);
    Graph g(server.Url());
    ASSERT_EQ(g.loaded, S_OK);
    CComQIPtr<IAMOpenProgress> progress(g.hold);
    LONGLONG total = 0, current = 0;
    ASSERT_EQ(progress->QueryProgress(&total, &current), S_OK);
    EXPECT_EQ(current, 100);
    CComQIPtr<IMediaControl> control(g.graph);
    ASSERT_EQ(control->Run(), S_OK);
    for (int i = 0; i < 2000 && !(progress->QueryProgress(&total, &current) == S_OK && current < 100); i++) Sleep(5);
    ASSERT_LT(current, 100) << "the source never waited for data";
    server.Go();
    // Wait until about 2 s are queued (2/3 of the buffer).
    for (int i = 0; i < 2000 && !(progress->QueryProgress(&total, &current) == S_OK && current >= 60); i++) Sleep(5);
    EXPECT_GE(current, 60);
    EXPECT_EQ(g.sinks[0]->Samples().size(), 0u);
    if (stopFirst) {
      EXPECT_EQ(control->Stop(), S_OK);
      server.Release();
      continue;
    }
    server.Release();
    EXPECT_TRUE(g.sinks[0]->WaitFor(0, true));
    EXPECT_EQ(Delivered(g), mp3);
    const auto samples = g.Samples(0);
    ASSERT_FALSE(samples.empty());
    EXPECT_TRUE(samples[0].discontinuity);
    EXPECT_EQ(samples[0].start, 0);
    EXPECT_GE(g.sinks[0]->segments, 1);
    control->Stop();
  }
}

// The metadata reader looks for values within the block only.
TEST(ShoutcastParsers, Metadata) {
  std::string title = "old", url = "old";
  const std::string block = "StreamTitle='Artist - Song';StreamUrl='http://x/';";
  ParseIcyMetadata(block.data(), block.size(), &title, &url);
  EXPECT_EQ(title, "Artist - Song");
  EXPECT_EQ(url, "http://x/");
  // A key without its closing apostrophe within the block changes nothing,
  // even when one follows just past the block.
  const std::string cut = "StreamTitle='Other';";
  ParseIcyMetadata(cut.data(), 15, &title, &url);
  EXPECT_EQ(title, "Artist - Song");
}

}  // namespace
