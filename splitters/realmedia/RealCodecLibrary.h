// Finding the codec libraries of an installed RealMedia player: the two
// codec folders named under HKEY_CLASSES_ROOT, then the bare file name.
#pragma once

#include <string>
#include <vector>

#include "platform/win32/Module.h"

// The default value of one of the player's "DT_Codecs" keys, with a
// trailing separator; empty when the key or its value is missing.
std::string RealCodecFolder(const char* key);

// The folders of both keys, the RealNetworks one first.
std::vector<std::string> RealCodecFolders();

// Loads the first candidate that loads: for each name in order, the first
// folder + name, the second folder + name (each only when that folder is
// known), then the name alone. Null when none loads.
HMODULE LoadRealCodecLibrary(const std::vector<std::string>& names);

// The folder a loaded module came from, with a trailing separator.
std::string ModuleFolder(HMODULE module);
