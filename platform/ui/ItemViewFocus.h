// A list that has the focus but no current item (an empty one, say) draws
// a focus frame around its inside: otherwise Tab would stop on it with
// nothing to show where the focus went. Internal to the framework.
#pragma once

#include <QFocusEvent>
#include <QPainter>
#include <QStyleOptionFocusRect>

#include "platform/ui/WindowRecord.h"

template <class View>
class UiFocusFramedView : public UiHost<View> {
 public:
  using UiHost<View>::UiHost;

 protected:
  void paintEvent(QPaintEvent* e) override {
    UiHost<View>::paintEvent(e);
    if (!this->hasFocus() || this->currentIndex().isValid()) return;
    QPainter painter(this->viewport());
    QStyleOptionFocusRect option;
    option.initFrom(this);
    option.rect = this->viewport()->rect().adjusted(1, 1, -2, -2);
    option.backgroundColor = this->palette().color(QPalette::Base);
    this->style()->drawPrimitive(QStyle::PE_FrameFocusRect, &option, &painter, this);
  }
  void focusInEvent(QFocusEvent* e) override {
    UiHost<View>::focusInEvent(e);
    this->viewport()->update();
  }
  void focusOutEvent(QFocusEvent* e) override {
    UiHost<View>::focusOutEvent(e);
    this->viewport()->update();
  }
};
