#include <gtest/gtest.h>

#include <string>

#include "conversion/PictureNames.h"

namespace {

// Names a folder may hold, and the series number each is (-1: none of the
// series, so the file checks leave it alone).
TEST(PictureNames, OnlyTheSeriesOwnNamesHaveNumbers) {
  const struct {
    const char* name;
    long number;
  } rows[] = {
      {"img_1.jpg", 1},      {"img_25.jpg", 25},   {"img_0.jpg", -1},      {"img_01.jpg", -1},
      {"img_.jpg", -1},      {"img_3.jpeg", -1},   {"img_3.jpg.bak", -1},  {"IMG_3.jpg", -1},
      {"img_-3.jpg", -1},    {"img_3x.jpg", -1},   {"other.jpg", -1},      {"", -1},
      {"img_99999999999999999999999.jpg", -1},
  };
  for (const auto& row : rows) EXPECT_EQ(PictureNumber(row.name), row.number) << row.name;
  EXPECT_EQ(PictureNumber(nullptr), -1);
}

TEST(PictureNames, NamesReadBackAsTheirNumbers) {
  for (long n : {1L, 2L, 9L, 10L, 12345L}) {
    EXPECT_EQ(PictureName(n), "img_" + std::to_string(n) + ".jpg");
    EXPECT_EQ(PictureNumber(PictureName(n).c_str()), n);
  }
}

}  // namespace
