// CMediaPlayer2: the movie preview of the video source page, driven by
// property puts by dispatch id. This build has no embedded media player:
// the window stays empty and the properties are only kept, so the page can
// set them as it would on a real player.
#pragma once

#include <map>
#include <string>
#include <variant>

#include "platform/ui/Wnd.h"

using DISPID = LONG;

class CMediaPlayer2 : public CWnd {
 public:
  using Value = std::variant<std::string, bool, LONG>;

  void PutString(DISPID id, const char* value) { m_props[id] = std::string(value ? value : ""); }
  void PutBool(DISPID id, BOOL value) { m_props[id] = value != FALSE; }
  void PutLong(DISPID id, LONG value) { m_props[id] = value; }

  // The last value put under an id; false when none was.
  bool GetProperty(DISPID id, Value* value) const;

 private:
  std::map<DISPID, Value> m_props;
};
