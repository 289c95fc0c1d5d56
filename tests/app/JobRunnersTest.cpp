// What each runner hands to the converter, recorded by a stand-in builder.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/JobRunners.h"
#include "app/JobWatch.h"
#include "conversion/GraphConverter.h"

namespace {

class RecordingBuilder : public CJobBuilder {
 public:
  std::vector<std::string> calls;
  int rateNum = 0, rateDen = 0, width = -1, height = -1, split = -1, resize = 0, rect[4] = {};
  std::string videoCodec, audioCodec, build, format;
  int videoKbps = 0, audioKbps = 0, sampleRate = 0, channels = 0;
  std::wstring imagePath;
  int imageMode = 0, imageTime = 0, imageWidth = 0, imageHeight = 0;
  int buildArg1 = 0, buildArg2 = 0;
  HRESULT result = S_OK;

  void SetFrameRate(int num, int den) override { rateNum = num, rateDen = den, calls.push_back("rate"); }
  void SetOutputSize(int w, int h) override { width = w, height = h, calls.push_back("size"); }
  void SetSplitSize(int size) override { split = size, calls.push_back("split"); }
  void SetFrameRect(int l, int t, int r, int b, int rs) override {
    rect[0] = l, rect[1] = t, rect[2] = r, rect[3] = b, resize = rs, calls.push_back("rect");
  }
  void SetEncoderParams(const std::string& v, int vk, const std::string& a, int ak, int sr, int ch) override {
    videoCodec = v, videoKbps = vk, audioCodec = a, audioKbps = ak, sampleRate = sr, channels = ch;
    calls.push_back("encoder");
  }
  void SetImageOutput(int mode, const std::wstring& path, int time, int w, int h) override {
    imageMode = mode, imagePath = path, imageTime = time, imageWidth = w, imageHeight = h;
    calls.push_back("image");
  }
  HRESULT BuildMpegGraph(const std::string&, const std::string&, int kind) override {
    build = "mpeg", buildArg1 = kind;
    return result;
  }
  HRESULT BuildVcdGraph(const std::string&, const std::string&, int ntsc, int disc, int) override {
    build = "vcd", buildArg1 = ntsc, buildArg2 = disc;
    return result;
  }
  HRESULT BuildMP4Graph(const std::string&, const std::string&, int profile) override {
    build = "mp4", buildArg1 = profile;
    return result;
  }
  HRESULT BuildAviFlvGraph(const std::string&, const std::string&, const std::string& f) override {
    build = "aviflv", format = f;
    return result;
  }
  HRESULT BuildPicturesGraph(const std::string&, const std::string&, int interval, int, int) override {
    build = "pictures", buildArg1 = interval;
    return result;
  }
  HRESULT BuildAsfGraph(const std::string&, const std::string&, int profile) override {
    build = "asf", buildArg1 = profile;
    return result;
  }
  IGraphBuilder* Graph() override { return nullptr; }
};

CConvertOpt Job(int type) {
  CConvertOpt job;
  job.SetType(type);
  job.m_strSource = "/media/in.mpg";
  job.m_strTarget = "/media/out.x";
  return job;
}

TEST(JobRunners, AviHandsOverRateAsHundredthsAndTwoChannels) {
  CConvertOpt job = Job(CONVERT_AVI);
  job.m_dFrameRate = 29.97;
  job.m_nWidth = 352, job.m_nHeight = 240;
  job.m_nChannels = 1;
  job.m_bResize = true;
  job.m_nSourceWidth = 720, job.m_nSourceHeight = 480;
  RecordingBuilder b;
  int seek = -1;
  EXPECT_EQ(HandOverAviJob(job, b, &seek), S_OK);
  EXPECT_EQ(b.rateNum, 2997);
  EXPECT_EQ(b.rateDen, 100);
  EXPECT_EQ(b.width, 352);
  EXPECT_EQ(b.channels, 2);
  EXPECT_EQ(b.videoCodec, job.GetVideoCodecName(job.m_nVideoCodec));
  EXPECT_EQ(b.rect[2], 720);
  EXPECT_EQ(b.rect[3], 480);
  EXPECT_EQ(b.resize, 1);
  EXPECT_EQ(b.format, "avi");
  EXPECT_EQ(seek, 0x200);
  EXPECT_EQ(b.calls, (std::vector<std::string>{"rate", "size", "encoder", "rect"}));
}

TEST(JobRunners, FlvWritesFlvOnlyForItsProfile) {
  CConvertOpt job = Job(CONVERT_FLV);
  job.m_nProfile = PROFILE_FLV;
  RecordingBuilder flv;
  int seek = 0;
  HandOverFlvJob(job, flv, &seek);
  EXPECT_EQ(flv.format, "flv");
  EXPECT_EQ(seek, 0x80000);
  job.m_nProfile = 0;
  RecordingBuilder swf;
  HandOverFlvJob(job, swf, &seek);
  EXPECT_EQ(swf.format, "swf");
}

TEST(JobRunners, AsfAndPicturesUseSourceSizeAndFixedRate) {
  CConvertOpt job = Job(CONVERT_WMV);
  job.m_nWmProfile = 3;
  RecordingBuilder b;
  int seek = 0;
  HandOverAsfJob(job, b, &seek);
  EXPECT_EQ(b.width, 0);
  EXPECT_EQ(b.rateNum, 25);
  EXPECT_EQ(b.buildArg1, 3);
  EXPECT_EQ(seek, 0x200000);

  CConvertOpt pictures = Job(CONVERT_VIDEO_TO_PICTURES);
  pictures.m_fPictureInterval = 2.7f;
  pictures.m_strPictureFolder = ::testing::TempDir();
  RecordingBuilder p;
  seek = -1;
  HandOverPicturesJob(pictures, p, &seek);
  EXPECT_EQ(p.build, "pictures");
  EXPECT_EQ(p.buildArg1, 2);
  EXPECT_EQ(seek, 0);
}

// A picture folder that is gone (or a file) fails the job before anything
// is built, with the page's text.
TEST(JobRunners, PicturesIntoAMissingFolderFailWithTheReason) {
  for (const std::string& folder : {::testing::TempDir() + "no-such-folder/", std::string("/dev/null"), std::string()}) {
    CConvertOpt pictures = Job(CONVERT_VIDEO_TO_PICTURES);
    pictures.m_strPictureFolder = folder;
    RecordingBuilder p;
    int seek = -1;
    g_strConvertError.clear();
    EXPECT_EQ(HandOverPicturesJob(pictures, p, &seek), HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND)) << folder;
    EXPECT_EQ(p.build, "") << folder;
    EXPECT_NE(g_strConvertError.find("The output folder does not exist"), std::string::npos) << g_strConvertError;
    EXPECT_EQ(g_strConvertError.back(), '\n');
  }
}

TEST(JobRunners, MpegAndDiscJobs) {
  CConvertOpt mpeg = Job(CONVERT_MPEG);
  mpeg.m_nMpegRateNum = 30000, mpeg.m_nMpegRateDen = 1001, mpeg.m_nWidth = 480, mpeg.m_nHeight = 576;
  RecordingBuilder m;
  int seek = 0;
  HandOverMpegJob(mpeg, m, &seek);
  EXPECT_EQ(m.build, "mpeg");
  EXPECT_EQ(m.rateNum, 30000);
  EXPECT_EQ(m.rateDen, 1001);
  EXPECT_EQ(m.width, 480);
  EXPECT_EQ(seek, 0x4000);

  CConvertOpt disc = Job(CONVERT_DISC);
  disc.m_nSplitIndex = 7;
  disc.m_nMpegKind = 4;
  disc.m_nTvStandard = 1;
  RecordingBuilder d;
  HandOverMpegJob(disc, d, &seek);
  EXPECT_EQ(d.build, "vcd");
  EXPECT_EQ(d.split, 9216);
  EXPECT_EQ(d.buildArg1, 1);
  EXPECT_EQ(d.buildArg2, 2);
  EXPECT_EQ(SplitSizeOf(0), 0);
  EXPECT_EQ(SplitSizeOf(2), 745472);
  EXPECT_EQ(SplitSizeOf(-1), 9216);
}

TEST(JobRunners, PspThumbnailOnlyWithAThumbTime) {
  CConvertOpt job = Job(CONVERT_PSP);
  job.m_nProfile = PROFILE_PSP;
  job.m_strTarget = "C:\\v\\clip.mp4";
  job.m_fThumbTime = 1.0f;
  RecordingBuilder b;
  int seek = 0;
  HandOverMp4Job(job, b, &seek);
  EXPECT_EQ(b.imageMode, 1);
  EXPECT_EQ(b.imagePath, L"C:\\v\\clip.THM");
  EXPECT_EQ(b.imageTime, 1000);
  EXPECT_EQ(b.imageWidth, 160);
  EXPECT_EQ(b.imageHeight, 120);
  EXPECT_EQ(b.build, "mp4");
  EXPECT_EQ(b.buildArg1, PROFILE_PSP);
  int num = 0, den = 0;
  CConvertOpt::GetProfileFrameRate(job.m_nProfile, job.m_nFrameRateIndex, &num, &den);
  EXPECT_EQ(b.rateNum, num);
  EXPECT_EQ(b.rateDen, den);
  EXPECT_EQ(b.channels, job.m_nChannels);

  job.m_fThumbTime = -1.0f;
  RecordingBuilder none;
  HandOverMp4Job(job, none, &seek);
  EXPECT_TRUE(none.imagePath.empty());
}

TEST(JobRunners, ThumbnailIgnoresPointsInFolders) {
  EXPECT_EQ(ThumbnailPath("/home/my.dir/clip"), L"/home/my.dir/clip.THM");
  EXPECT_EQ(ThumbnailPath("clip"), L"clip.THM");
  EXPECT_EQ(ThumbnailPath("/a/b.c/x.mp4"), L"/a/b.c/x.THM");
}

TEST(JobRunners, FailureTextCarriesCodeSystemTextAndBuilderText) {
  const std::string text = FormatFailure(static_cast<HRESULT>(0x80004005), "No Video Stream");
  const std::string system = ResultText(static_cast<HRESULT>(0x80004005));
  EXPECT_FALSE(system.empty());
  EXPECT_EQ(text, "Code: 0x80004005, " + system + " -- [No Video Stream]");
}

}  // namespace

// The stall rule and the length check at a job's end, on a clock of the
// test's own: only a position that stands still for 20 s cuts a job.
TEST(JobWatch, StallsAndShortEnds) {
  const std::string source = testing::TempDir() + "job-watch-source.mpg";
  std::ofstream(source) << "0123456789";
  CJobWatch watch;
  watch.Start(source, 300.0, 1000);
  const struct {
    double position;
    DWORD now;
    bool stalled;
  } steps[] = {{0.0, 1000, false},  {0.0, 20999, false},  {0.1, 30000, false}, {0.1, 49999, false},
               {0.1, 50000, true},  {-1.0, 60000, false}, {215.1, 61000, false}, {215.1, 80999, false},
               {215.1, 81000, true}};
  for (const auto& step : steps)
    EXPECT_EQ(watch.Stalled(step.position, step.now), step.stalled) << step.position << " at " << step.now;
  EXPECT_EQ(watch.StallText(), "The conversion made no progress for 20 s at 215.1 s of 300.0 s\n");

  EXPECT_EQ(watch.Check(-1.0), CJobWatch::kWhole);
  EXPECT_EQ(watch.Check(294.0), CJobWatch::kWhole);  // within what probes miss
  EXPECT_EQ(watch.Check(156.0), CJobWatch::kShort);
  std::filesystem::resize_file(source, 4);
  EXPECT_EQ(watch.Check(156.0), CJobWatch::kSourceChanged);
  EXPECT_EQ(watch.EndingText(CJobWatch::kSourceChanged, 156.0),
            "The source file changed while it was converted: it ended at 156.0 s of the 300.0 s expected\n");

  watch.Start(source, 0.0, 0);  // length unknown
  EXPECT_EQ(watch.Check(1.0), CJobWatch::kWhole);
  EXPECT_FALSE(watch.Stalled(2.5, 0));
  EXPECT_TRUE(watch.Stalled(2.5, 20000));
  EXPECT_EQ(watch.StallText(), "The conversion made no progress for 20 s at 2.5 s\n");
  std::filesystem::remove(source);
}
