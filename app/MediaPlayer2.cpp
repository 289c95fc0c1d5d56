#include "app/MediaPlayer2.h"

bool CMediaPlayer2::GetProperty(DISPID id, Value* value) const {
  auto it = m_props.find(id);
  if (it == m_props.end()) return false;
  if (value) *value = it->second;
  return true;
}
