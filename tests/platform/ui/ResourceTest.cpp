#include <gtest/gtest.h>

#include "tests/platform/ui/TestIds.h"
#include "tests/platform/ui/UiTestEnv.h"

TEST(ResourceModule, LoadsTablesAndRefusesOtherFiles) {
  ASSERT_NE(TestResources(), nullptr);
  EXPECT_EQ(UiLoadResourceModule("/nonexistent/module.so"), nullptr);
  EXPECT_EQ(UiLoadResourceModule(nullptr), nullptr);
  // A shared library that does not export the table is refused.
  EXPECT_EQ(UiLoadResourceModule("libm.so.6"), nullptr);

  const PmrDialogTemplate* form = UiFindDialogTemplate(TestResources(), kDlgForm);
  ASSERT_NE(form, nullptr);
  EXPECT_EQ(form->cx, 300);
  EXPECT_EQ(UiFindDialogTemplate(TestResources(), 999), nullptr);
  EXPECT_EQ(UiFindDialogTemplate(reinterpret_cast<HINSTANCE>(0x1234), kDlgForm), nullptr);
  EXPECT_EQ(UiLoadString(kStrHello), "Hello");
  EXPECT_EQ(UiLoadString(4242), "");
}

TEST(ResourceModule, LoadStringTruncatesToTheBuffer) {
  char buffer[5];
  std::memset(buffer, 'x', sizeof(buffer));
  EXPECT_EQ(LoadString(TestResources(), kStrQuestion, buffer, sizeof(buffer)), 4);
  EXPECT_STREQ(buffer, "Stop");
  EXPECT_EQ(LoadString(TestResources(), 4242, buffer, sizeof(buffer)), 0);
  EXPECT_STREQ(buffer, "");
}

TEST(ResourceModule, TableWithMissingArraysIsSanitised) {
  PmrResourceTable broken{};
  broken.abiVersion = PMR_RESOURCE_ABI_VERSION;
  broken.structSize = sizeof(PmrResourceTable);
  broken.dialogCount = 50;  // no array behind the count
  broken.stringCount = 7;
  HINSTANCE h = UiRegisterResourceTable(&broken);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(UiFindDialogTemplate(h, 1), nullptr);
  EXPECT_EQ(UiFindStringResource(h, 1), nullptr);
  UiUnregisterResourceTable(h);
  PmrResourceTable wrongVersion = broken;
  wrongVersion.abiVersion = PMR_RESOURCE_ABI_VERSION + 1;
  EXPECT_EQ(UiRegisterResourceTable(&wrongVersion), nullptr);
}

TEST(ResourceModule, BitmapLoadsWithItsPixels) {
  CBitmap bitmap;
  ASSERT_TRUE(bitmap.LoadBitmap(kBmpStrip));
  BITMAP info{};
  ASSERT_EQ(bitmap.GetBitmap(&info), static_cast<int>(sizeof(BITMAP)));
  EXPECT_EQ(info.bmWidth, 4);
  EXPECT_EQ(info.bmHeight, 2);
  BYTE bits[32] = {};
  EXPECT_EQ(bitmap.GetBitmapBits(sizeof(bits), bits), 32u);
  // Top-left pixel red (B, G, R, x), bottom-right cyan.
  EXPECT_EQ(bits[0], 0);
  EXPECT_EQ(bits[2], 255);
  EXPECT_EQ(bits[28], 255);
  EXPECT_EQ(bits[29], 255);
  EXPECT_EQ(bits[30], 0);
  BYTE few[6] = {};
  EXPECT_EQ(bitmap.GetBitmapBits(sizeof(few), few), 6u);
  EXPECT_FALSE(CBitmap().LoadBitmap(4242));
}
