// The resource module as the program loads it: every id the interface
// relies on is there, with the controls its dialogs bind and images that
// decode.
#include <gtest/gtest.h>

#include <QFile>
#include <QImage>
#include <QRegularExpression>
#include <set>
#include <vector>

#include "platform/ui/Afx.h"
#include "resources/ResourceIds.h"

namespace {

class ResourceModuleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    module_ = UiLoadResourceModule(PMRHELPER_MODULE);
    ASSERT_NE(module_, nullptr);
  }
  void TearDown() override { UiFreeResourceModule(module_); }

  std::set<int> ControlIds(UINT dialogId) {
    std::set<int> ids;
    const PmrDialogTemplate* t = UiFindDialogTemplate(module_, dialogId);
    if (!t) return ids;
    for (UINT i = 0; i < t->controlCount; ++i) ids.insert(t->controls[i].id);
    return ids;
  }
  const PmrControlTemplate* Control(UINT dialogId, int id) {
    const PmrDialogTemplate* t = UiFindDialogTemplate(module_, dialogId);
    for (UINT i = 0; t && i < t->controlCount; ++i)
      if (t->controls[i].id == id) return &t->controls[i];
    return nullptr;
  }
  QImage Bitmap(UINT id) {
    const PmrImageResource* r = UiFindBitmapResource(module_, id);
    if (!r) return {};
    return QImage::fromData(r->data, static_cast<int>(r->size));
  }

  HINSTANCE module_ = nullptr;
};

TEST_F(ResourceModuleTest, DialogsCarryTheControlsTheirClassesBind) {
  struct Expect {
    UINT dialog;
    std::vector<int> controls;
  };
  const Expect expected[] = {
      {IDD_ABOUTBOX, {IDOK}},
      {IDD_MAIN, {1080, 1081, 1082, 1001, 1079, 1002, 1083, 1005, 1074, 1000}},
      {IDD_SCAN, {1077, 1076}},
      {IDD_LOG, {1086, 1007}},
      {IDD_ASF_INFO, {1087, 1088, IDOK}},
      {IDD_CODEC_INFO, {1010, 1007, 1008, 1009, 1005, IDOK, IDCANCEL}},
      {IDD_PSP_INFO, {1036, 1037, 1038, 1039, 1040, 1041, 1042, 1043, IDOK, IDCANCEL}},
      {IDD_3GP_INFO, {1048, 1037, 1039, 1040, 1041, 1043, 1226, IDOK, IDCANCEL}},
      {IDD_IPOD_INFO, {1036, 1052, 1053, 1054, IDOK, IDCANCEL}},
  };
  for (const Expect& e : expected) {
    ASSERT_NE(UiFindDialogTemplate(module_, e.dialog), nullptr) << "dialog " << e.dialog;
    std::set<int> ids = ControlIds(e.dialog);
    for (int id : e.controls) EXPECT_TRUE(ids.count(id)) << "dialog " << e.dialog << " control " << id;
  }
  // Controls addressed by id are unique within their dialog.
  for (const Expect& e : expected) {
    const PmrDialogTemplate* t = UiFindDialogTemplate(module_, e.dialog);
    std::multiset<int> seen;
    for (UINT i = 0; i < t->controlCount; ++i)
      if (t->controls[i].id != -1) seen.insert(t->controls[i].id);
    for (int id : seen) EXPECT_EQ(seen.count(id), 1u) << "dialog " << e.dialog << " id " << id;
  }
}

TEST_F(ResourceModuleTest, MainWindowIsAFramelessWindowOnItsBackground) {
  const PmrDialogTemplate* t = UiFindDialogTemplate(module_, IDD_MAIN);
  ASSERT_NE(t, nullptr);
  EXPECT_FALSE(t->style & (WS_CAPTION | WS_CHILD));
  EXPECT_EQ(Bitmap(IDB_MAIN_BACKGROUND).size(), QSize(640, 464));
  // The window places these itself; they are all shown.
  for (int id : {1080, 1081, 1082, 1001, 1079, 1002, 1083, 1005, 1074, 1000}) {
    const PmrControlTemplate* c = Control(IDD_MAIN, id);
    ASSERT_NE(c, nullptr) << id;
    EXPECT_TRUE(c->style & WS_VISIBLE) << id;
  }
}

// The help page is installed beside the program (and its resource module),
// and its own links lead somewhere in it.
TEST(HelpPage, LiesBesideTheProgramWithWorkingLinks) {
  std::string folder = PMRHELPER_MODULE;
  folder = folder.substr(0, folder.find_last_of('/') + 1);
  QFile file(QString::fromStdString(folder + "pmrhelp.html"));
  ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << folder;
  const QString page = QString::fromUtf8(file.readAll());
  EXPECT_TRUE(page.contains("<title>Pellomar help</title>"));
  const QRegularExpression link("href=\"#([^\"]+)\"");
  int links = 0;
  for (auto it = link.globalMatch(page); it.hasNext(); ++links) {
    const QString target = it.next().captured(1);
    EXPECT_TRUE(page.contains("id=\"" + target + "\"")) << target.toStdString();
  }
  EXPECT_GT(links, 3);
}

TEST_F(ResourceModuleTest, MenuDropDownsHoldEveryCommand) {
  const PmrMenuTemplate* m = UiFindMenuTemplate(module_, IDR_MAIN_MENU);
  ASSERT_NE(m, nullptr);
  ASSERT_GE(m->itemCount, 4u);
  std::set<UINT> commands;
  for (int sub : {0, 1, 3}) {
    const PmrMenuItem& popup = m->items[sub];
    ASSERT_TRUE(popup.flags & MF_POPUP) << sub;
    ASSERT_GT(popup.itemCount, 0u) << sub;
    for (UINT i = 0; i < popup.itemCount; ++i) commands.insert(popup.items[i].id);
  }
  for (UINT id : {ID_JOB_ADD, ID_JOB_ADD_BATCH, ID_JOB_REMOVE, ID_JOB_REMOVE_ALL, ID_HELP_CONTENTS,
                  ID_HELP_SUPPORT_MAIL, ID_HELP_ABOUT, ID_HELP_HOMEPAGE})
    EXPECT_TRUE(commands.count(id)) << id;
}

TEST_F(ResourceModuleTest, EveryStringIsThere) {
  std::vector<UINT> ids = {128, 118, 122, 124, 125, 126, 129, 143, 204, 145, 201, 202, 203};
  for (UINT id = 132; id <= 142; ++id) ids.push_back(id);
  for (UINT id : ids) {
    const char* s = UiFindStringResource(module_, id);
    ASSERT_NE(s, nullptr) << id;
    EXPECT_GT(std::string(s).size(), 5u) << id;
  }
}

TEST_F(ResourceModuleTest, BitmapsAndIconsDecode) {
  std::vector<UINT> bitmaps = {157, 138, 178, 160, 179, 181, 186, 189, 190, 191, 192};
  for (UINT id = 158; id <= 168; ++id) bitmaps.push_back(id);
  for (UINT id = 171; id <= 177; ++id) bitmaps.push_back(id);
  bitmaps.insert(bitmaps.end(), {180, 184, 185});
  for (UINT id : bitmaps) EXPECT_FALSE(Bitmap(id).isNull()) << "bitmap " << id;
  for (UINT id : {128u, 189u, 190u, 191u, 192u}) {
    const PmrImageResource* r = UiFindIconResource(module_, id);
    ASSERT_NE(r, nullptr) << "icon " << id;
    EXPECT_FALSE(QImage::fromData(r->data, static_cast<int>(r->size)).isNull()) << "icon " << id;
  }
  // The status strip holds five 16-pixel images on the transparent magenta.
  QImage status = Bitmap(IDB_STATUS_IMAGES);
  EXPECT_EQ(status.size(), QSize(80, 16));
  EXPECT_EQ(status.pixel(0, 0) & 0xFFFFFF, 0xFF00FFu);
}

TEST_F(ResourceModuleTest, MasksArePureBlackOnWhiteAndFitTheirSkins) {
  struct MaskOf {
    UINT mask;
    std::vector<UINT> skins;
  };
  for (const MaskOf& m : {MaskOf{160, {158, 159, 161, 162, 163, 164, IDB_MENU_DISABLED}},
                          MaskOf{186, {165, 166, 167, 171, 172, 173, 174, 175, 176, 177}},
                          MaskOf{179, {180}}, MaskOf{181, {184, 185}}}) {
    QImage mask = Bitmap(m.mask);
    ASSERT_FALSE(mask.isNull());
    int black = 0;
    for (int y = 0; y < mask.height(); ++y)
      for (int x = 0; x < mask.width(); ++x) {
        QRgb p = mask.pixel(x, y) & 0xFFFFFF;
        ASSERT_TRUE(p == 0 || p == 0xFFFFFF) << "mask " << m.mask << " at " << x << "," << y;
        black += p == 0;
      }
    EXPECT_GT(black, mask.width() * mask.height() / 2) << m.mask;
    // Rounded: the corner is outside the shape, the middle inside.
    EXPECT_EQ(mask.pixel(0, 0) & 0xFFFFFF, 0xFFFFFFu) << m.mask;
    EXPECT_EQ(mask.pixel(mask.width() / 2, mask.height() / 2) & 0xFFFFFF, 0u) << m.mask;
    for (UINT skin : m.skins) EXPECT_EQ(Bitmap(skin).size(), mask.size()) << "skin " << skin;
  }
}

TEST(ResourceModuleLoad, MissingModuleGivesNullHandle) {
  EXPECT_EQ(UiLoadResourceModule("/nonexistent/pmrhelper.so"), nullptr);
}

}  // namespace
