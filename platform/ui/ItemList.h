// The item rules shared by combo boxes and list boxes: sorted insertion,
// prefix and exact search (case-insensitive, starting after an index and
// wrapping). Internal to the framework.
#pragma once

#include <QString>
#include <functional>

// count items, text(i) gives the item's text. Returns the index or -1.
int UiFindItem(int count, const std::function<QString(int)>& text, int startAfter, const QString& wanted, bool exact);
// The index at which a sorted list takes a new item.
int UiSortedPosition(int count, const std::function<QString(int)>& text, const QString& item);
