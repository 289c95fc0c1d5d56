// Shared set-up of the page and job-flow tests: the program's real start-up
// (media layer, codecs, Windows Media runtime, the program's own resources)
// with the resource module of the build, and a driver that acts on the
// pages as a user does: clicks and typing through Qt's input events.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <QImage>

#include "platform/ui/Afx.h"

namespace pagetest {

// A sample of tests/data.
std::string Sample(const std::string& name);
// A fresh folder of this test under the build folder.
std::string Scratch(const std::string& name);
// Runs a shell command; its standard output.
std::string Run(const std::string& command, int* status = nullptr);
// Makes a file with ffmpeg (arguments between "ffmpeg -v error -y" and the
// output path); false when ffmpeg failed.
bool MakeWithFfmpeg(const std::string& arguments, const std::string& output);

// Runs the event loop until `done` holds, at most `seconds`; returns `done`.
bool WaitFor(const std::function<bool()>& done, double seconds = 60);

// The window with its children as the user sees it.
QImage Grab(CWnd* wnd);
// Keeps a grab of the window as a test artefact in the build folder.
void KeepGrab(CWnd* wnd, const std::string& name);

// User input on a control of a window: a left click in its middle, and
// typing that replaces the text of an edit.
void Click(CWnd* window, int id);
void Type(CWnd* window, int id, const std::string& text);
// Chooses the item of a combo box that shows `text`, as a user does.
void Choose(CWnd* window, int id, const std::string& text);
std::string TextOf(CWnd* window, int id);

// Acts on modal pages in order: each step waits until a dialog of its
// template is the active modal window, then runs once.
class UserDriver {
 public:
  using Action = std::function<void(CDialog& page)>;
  UserDriver();
  ~UserDriver();
  UserDriver& On(UINT templateId, Action action);
  // Every step has run.
  bool Done() const;
  size_t StepsDone() const { return m_next; }

 private:
  struct Step {
    UINT templateId;
    Action action;
  };
  void Tick();
  std::vector<Step> m_steps;
  size_t m_next = 0;
  // The page a step acts on: the next step of the same template waits for
  // the next page, not this one while the step still waits on it.
  CDialog* m_pActing = nullptr;
  std::shared_ptr<bool> m_alive;
};

// Answers message boxes (OK, or No for questions) and records them.
struct BoxSeen {
  std::string text;
  UINT type = 0;
};
class BoxRecorder {
 public:
  BoxRecorder();
  ~BoxRecorder();
  std::vector<BoxSeen> seen;
};

// Answers file and folder choosers with the given paths (cancelled when
// empty) and records the requests.
class ChooserAnswer {
 public:
  ChooserAnswer();
  ~ChooserAnswer();
  std::vector<std::string> next;
  std::vector<std::string> filters;  // "name|patterns" of the last request
  int asked = 0;
};

}  // namespace pagetest
