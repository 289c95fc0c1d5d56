// Pieces of file paths as the pages and the job flow use them. Both '/' and
// '\\' separate folders, and only a point in the last part of a path starts
// an extension, so a point in a folder name never moves a file elsewhere.
#pragma once

#include <string>

// Position of the point that starts the file name's extension, or npos.
size_t PathExtensionPoint(const std::string& path);
// The extension without its point; empty when the name has none.
std::string PathExtension(const std::string& path);
// The path without its extension (and without the point).
std::string PathWithoutExtension(const std::string& path);
// The path with its extension replaced, or `extension` (point included)
// appended when the name has none.
std::string PathWithExtension(const std::string& path, const std::string& extension);
// The folder with its trailing separator; empty for a bare name.
std::string PathFolder(const std::string& path);
// The last part of the path.
std::string PathFileName(const std::string& path);
// The folder with a separator at its end (none added to an empty text).
std::string WithTrailingSeparator(const std::string& folder);
// Leading and trailing blanks (spaces, tabs, line ends) removed.
std::string TrimBlanks(const std::string& text);
