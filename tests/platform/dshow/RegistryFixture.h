// A registry of its own, empty at the start, for each test.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/win32/Registry.h"

class FreshRegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* base = std::getenv("PELLOMAR_REGISTRY_DIR");
    std::filesystem::path root = base ? base : std::filesystem::temp_directory_path() / "pellomar-dshow-test";
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    dir_ = root / (std::string(info->test_suite_name()) + "." + info->name());
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
    if (base) saved_ = base;
    ASSERT_EQ(setenv("PELLOMAR_REGISTRY_DIR", dir_.c_str(), 1), 0);
    RegistryReloadForTest();
  }
  void TearDown() override {
    if (!saved_.empty()) setenv("PELLOMAR_REGISTRY_DIR", saved_.c_str(), 1);
    RegistryReloadForTest();
  }

  std::filesystem::path dir_;
  std::string saved_;
};
