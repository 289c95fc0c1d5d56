#include "tests/splitters/realmedia/RealMediaTestKit.h"
TEST(RMFile, Placeholder) {}
