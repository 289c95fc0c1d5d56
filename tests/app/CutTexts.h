// The layout check of the dialog tests: texts that do not fit their controls
// at the program's font.
#pragma once

#include <string>
#include <vector>

#include "platform/ui/Afx.h"

namespace apptest {

// A control whose text does not fit it at its font, or that reaches past
// its dialog's client area.
struct CutText {
  int id = 0;
  std::string text;
  int needWidth = 0, needHeight = 0;  // what the text takes
  int width = 0, height = 0;          // the room it has
  std::string Describe() const;
};

// Every static, button, check box, radio button, group box and link of the
// dialog whose text does not fit it.
std::vector<CutText> CutTexts(CWnd* dialog);

}  // namespace apptest
