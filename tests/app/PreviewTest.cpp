// Picture preview placement, picture loading and the player stand-in.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QImage>

#include "app/MediaPlayer2.h"
#include "app/PicShow.h"
#include "app/WndPreview.h"
#include "tests/app/SkinTestEnv.h"

namespace {

TEST(PreviewPlacement, SmallPictureIsCentredAtItsOwnSize) {
  CRect r;
  ASSERT_TRUE(CWndPreview::Placement(300, 300, 100, 50, &r));
  EXPECT_EQ(r, CRect(100, 125, 200, 175));
}

TEST(PreviewPlacement, WidePictureIsScaledToTheWidth) {
  CRect r;
  ASSERT_TRUE(CWndPreview::Placement(300, 300, 600, 300, &r));
  EXPECT_EQ(r.TopLeft(), CPoint(1, 75));
  EXPECT_EQ(r.Size(), CSize(298, 149));
}

TEST(PreviewPlacement, TallPictureIsScaledToTheHeight) {
  CRect r;
  ASSERT_TRUE(CWndPreview::Placement(300, 200, 100, 400, &r));
  EXPECT_EQ(r.Size(), CSize(49, 198));
  EXPECT_EQ(r.TopLeft(), CPoint((298 - 49) / 2 + 1, 1));
}

TEST(PreviewPlacement, NothingToDrawForAnEmptyPictureOrArea) {
  CRect r;
  EXPECT_FALSE(CWndPreview::Placement(300, 300, 0, 50, &r));
  EXPECT_FALSE(CWndPreview::Placement(300, 300, 50, 0, &r));
  EXPECT_FALSE(CWndPreview::Placement(2, 300, 50, 50, &r));
}

class PictureFile : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = "/tmp/pellomar-preview-" + std::to_string(::getpid()) + ".png";
    QImage img(40, 20, QImage::Format_RGB32);
    img.fill(qRgb(200, 30, 30));
    ASSERT_TRUE(img.save(QString::fromStdString(path_)));
  }
  void TearDown() override { ::unlink(path_.c_str()); }
  std::string path_;
};

TEST_F(PictureFile, LoadKeepsTheSizeInHimetric) {
  CPicShow pic;
  ASSERT_TRUE(pic.Load(path_.c_str()));
  EXPECT_TRUE(pic.IsLoaded());
  EXPECT_EQ(pic.GetType(), PICTYPE_BITMAP);
  EXPECT_EQ(pic.GetHimetricWidth(), 1058);  // 40 px at 96 dpi
  EXPECT_EQ(pic.GetHimetricHeight(), 529);
  int w = 0, h = 0;
  pic.GetSize(nullptr, w, h);
  EXPECT_EQ(w, 40);
  EXPECT_EQ(h, 20);
}

TEST_F(PictureFile, UnreadableFileLeavesNothingLoaded) {
  CPicShow pic;
  ASSERT_TRUE(pic.Load(path_.c_str()));
  EXPECT_FALSE(pic.Load("/nonexistent/picture.jpg"));
  EXPECT_FALSE(pic.IsLoaded());
  int w = -1, h = -1;
  pic.GetSize(nullptr, w, h);
  EXPECT_EQ(w, 0);
  EXPECT_EQ(h, 0);
}

TEST_F(PictureFile, PreviewDrawsThePictureInsideItsFrame) {
  CDialog host(100);
  ASSERT_TRUE(host.Create(100));
  CWndPreview preview;
  ASSERT_TRUE(preview.Create("", WS_CHILD | WS_VISIBLE, RECT{10, 10, 110, 110}, &host, 4100));
  // Nothing loaded: only the face and the frame.
  QImage empty = GrabWindow(&preview);
  ASSERT_EQ(empty.size(), QSize(100, 100));
  EXPECT_EQ(empty.pixel(50, 50), empty.pixel(5, 5));

  ASSERT_TRUE(preview.LoadPicture(path_.c_str()));
  EXPECT_EQ(preview.GetPictureSize(), CSize(40, 20));
  EXPECT_GT(preview.GetFileSize(), 0u);
  QImage img = GrabWindow(&preview);
  // 40x20 in a 98x98 inside: at its own size from (30, 40).
  EXPECT_EQ(img.pixel(30, 40) & 0xFFFFFF, 0xC81E1Eu);
  EXPECT_EQ(img.pixel(69, 59) & 0xFFFFFF, 0xC81E1Eu);
  EXPECT_NE(img.pixel(29, 40) & 0xFFFFFF, 0xC81E1Eu);
  EXPECT_NE(img.pixel(70, 59) & 0xFFFFFF, 0xC81E1Eu);
  preview.DestroyWindow();
  host.DestroyWindow();
}

TEST(MediaPlayerStandIn, KeepsWhatThePageSets) {
  CMediaPlayer2 player;
  player.PutBool(1017, FALSE);
  player.PutBool(22, TRUE);
  player.PutBool(22, FALSE);
  player.PutLong(32, 1);
  player.PutString(1026, "/tmp/movie.avi");
  CMediaPlayer2::Value v;
  ASSERT_TRUE(player.GetProperty(22, &v));
  EXPECT_EQ(std::get<bool>(v), false);
  ASSERT_TRUE(player.GetProperty(1026, &v));
  EXPECT_EQ(std::get<std::string>(v), "/tmp/movie.avi");
  ASSERT_TRUE(player.GetProperty(32, &v));
  EXPECT_EQ(std::get<LONG>(v), 1);
  EXPECT_FALSE(player.GetProperty(1018, &v));
}

}  // namespace
