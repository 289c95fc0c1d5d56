// The ISO 639 language table and its lookups (narrow strings; each lookup
// returns "" when nothing matches).
#pragma once

#include <cstddef>
#include <string>

struct LanguageRow {
  // English names separated by ";".
  const char* name;
  const char* iso6392;
  // "" when the language has no two-letter code.
  const char* iso6391;
};

// The rows in the order of the English names, bibliographic codes before
// terminology codes, later additions at the end, then one empty row.
extern const LanguageRow g_languageTable[];
extern const size_t g_languageTableRows;

// The first English name of the row of a three-letter code (only the first
// three characters of the argument count; case is ignored).
std::string LanguageNameFromIso6392(const std::string& code);
// The three-letter code of a two-letter code (first two characters count).
std::string Iso6391ToIso6392(const std::string& code);
// The three-letter code of the first row one of whose names equals the
// argument, ignoring case.
std::string LanguageNameToIso6392(const std::string& name);
