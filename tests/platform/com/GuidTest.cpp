#include <gtest/gtest.h>

#include <unordered_set>

#include "platform/com/Unknown.h"

namespace {
constexpr GUID kSample = MakeGuid("{165BE9D6-0929-4363-9BA3-580D735AA0F6}");
static_assert(kSample.Data1 == 0x165BE9D6 && kSample.Data4[7] == 0xF6);
}  // namespace

TEST(Guid, ParsesWithAndWithoutBracesAndRoundTrips) {
  GUID a, b;
  ASSERT_TRUE(GuidFromString("{43cda93d-6a4e-4a07-bd3e-49d161073ee7}", a));
  ASSERT_TRUE(GuidFromString("43CDA93D-6A4E-4A07-BD3E-49D161073EE7", b));
  EXPECT_EQ(a, b);
  EXPECT_EQ(GuidToStringA(a), "{43CDA93D-6A4E-4A07-BD3E-49D161073EE7}");
  GUID c;
  ASSERT_TRUE(GuidFromString(GuidToStringW(kSample).c_str(), c));
  EXPECT_EQ(c, kSample);
}

TEST(Guid, RejectsMalformedText) {
  GUID g = kSample;
  EXPECT_FALSE(GuidFromString("{43cda93d-6a4e-4a07-bd3e-49d161073ee7", g));
  EXPECT_EQ(g, GUID_NULL);
  EXPECT_FALSE(GuidFromString("43cda93d-6a4e-4a07-bd3e-49d161073eeg", g));
  EXPECT_FALSE(GuidFromString("43cda93d+6a4e-4a07-bd3e-49d161073ee7", g));
  EXPECT_FALSE(GuidFromString(static_cast<const char*>(nullptr), g));
  EXPECT_FALSE(GuidFromString(L"{43cda93d-6a4e-4a07-bd3e-49d161073ee\u00e9}", g));
}

TEST(Guid, OrdersAndHashes) {
  EXPECT_TRUE(GUID_NULL < kSample);
  EXPECT_FALSE(kSample < kSample);
  std::unordered_set<GUID> set{kSample, IID_IUnknown, GUID_NULL, kSample};
  EXPECT_EQ(set.size(), 3u);
  EXPECT_EQ(uuidof<IUnknown>(), IID_IUnknown);
}
