// Shared set-up of the main-window and notice tests: one QApplication, the
// real resource module, the media layer's classes, graph events posted to
// windows, and a watcher that answers modal dialogs.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/ui/Afx.h"
#include "tests/app/CutTexts.h"

namespace apptest {

// A modal dialog that came up while the watcher ran, and the text of its
// first multi-line edit.
struct ModalSeen {
  std::string title;
  std::string text;
};

// Closes every modal dialog that opens while it lives, recording it.
class ModalWatcher {
 public:
  ModalWatcher();
  ~ModalWatcher();
  std::vector<ModalSeen> seen;

 private:
  struct Impl;
  Impl* m_impl;
};

// Runs the event loop until `done` holds, at most `seconds`; returns `done`.
bool WaitFor(const std::function<bool()>& done, int seconds = 60);

// A message box seen by the hook.
struct BoxSeen {
  std::string text;
  std::string caption;
  UINT type = 0;
};

// Installs a message-box hook answering `answer(text)` and recording boxes;
// removed when destroyed.
class BoxHook {
 public:
  explicit BoxHook(std::function<int(const BoxSeen&)> answer = nullptr);
  ~BoxHook();
  std::vector<BoxSeen> seen;

 private:
  std::function<int(const BoxSeen&)> m_answer;
};

// Where the tests keep their offscreen grabs for a reviewer to look at.
std::string GrabPath(const std::string& name);

}  // namespace apptest
