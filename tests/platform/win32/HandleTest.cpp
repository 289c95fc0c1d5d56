#include <gtest/gtest.h>

#include "platform/win32/Windows.h"

// Stale, random and closed handles are refused with ERROR_INVALID_HANDLE
// instead of being dereferenced.
TEST(Handle, StaleAndForeignHandlesAreRefused) {
  HANDLE ev = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(ev, nullptr);
  ASSERT_TRUE(CloseHandle(ev));
  SetLastError(0);
  EXPECT_FALSE(CloseHandle(ev));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_FAILED);
  EXPECT_FALSE(SetEvent(ev));

  int notAnObject = 42;
  SetLastError(0);
  EXPECT_FALSE(CloseHandle(reinterpret_cast<HANDLE>(&notAnObject)));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(CloseHandle(INVALID_HANDLE_VALUE));
  EXPECT_FALSE(CloseHandle(nullptr));

  // A duplicate keeps the object alive after the original is closed.
  HANDLE a = CreateEventA(nullptr, TRUE, TRUE, nullptr);
  HANDLE b = nullptr;
  ASSERT_TRUE(DuplicateHandle(nullptr, a, nullptr, &b, 0, FALSE, DUPLICATE_SAME_ACCESS));
  ASSERT_TRUE(CloseHandle(a));
  EXPECT_EQ(WaitForSingleObject(b, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(CloseHandle(b));
}
