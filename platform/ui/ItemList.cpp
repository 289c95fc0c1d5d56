#include "platform/ui/ItemList.h"

int UiFindItem(int count, const std::function<QString(int)>& text, int startAfter, const QString& wanted, bool exact) {
  if (count <= 0) return -1;
  int start = (startAfter < 0 || startAfter >= count) ? 0 : startAfter + 1;
  for (int n = 0; n < count; ++n) {
    int i = (start + n) % count;
    QString t = text(i);
    bool hit = exact ? t.compare(wanted, Qt::CaseInsensitive) == 0 : t.startsWith(wanted, Qt::CaseInsensitive);
    if (hit) return i;
  }
  return -1;
}

int UiSortedPosition(int count, const std::function<QString(int)>& text, const QString& item) {
  int i = 0;
  while (i < count && text(i).compare(item, Qt::CaseInsensitive) <= 0) ++i;
  return i;
}
