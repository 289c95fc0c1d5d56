// Points the player's codec keys (both the RealPlayer and the Helix one) at
// a folder of codec modules, as an installed player would.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "platform/win32/Registry.h"

inline void PointRealCodecKeys(const std::string& folder) {
  for (const char* key :
       {"Software\\RealNetworks\\Preferences\\DT_Codecs", "Helix\\HelixSDK\\10.0\\Preferences\\DT_Codecs"}) {
    HKEY k = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, key, 0, nullptr, 0, KEY_WRITE, nullptr, &k, nullptr), ERROR_SUCCESS);
    RegSetValueExA(k, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(folder.c_str()),
                   static_cast<DWORD>(folder.size() + 1));
    RegCloseKey(k);
  }
}
