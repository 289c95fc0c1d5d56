// The window and the pages driven as a desktop user drives them: on an X
// server with a window manager (on-desktop.sh) the pointer and the keys go
// through the X server (xdotool), so presses, drags, window moves and modal
// loops are the desktop's; offscreen the same steps are Qt's input events.
#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QHeaderView>
#include <QTreeView>
#include <QMessageBox>
#include <QPointer>
#include <QTimer>
#include <QToolTip>
#include <QApplication>
#include <QScrollBar>
#include <QToolButton>
#include <QScreen>
#include <QTest>
#include <QWidget>
#include <QWindow>
#include <filesystem>
#include <unistd.h>
#include <fstream>
#include <functional>

#include "app/DlgBatch.h"
#include "app/DlgCvtType.h"
#include "app/DlgImageSource.h"
#include "app/DlgLog.h"
#include "app/DlgMpegType.h"
#include "app/DlgNotice.h"
#include "app/DlgTarget3GP.h"
#include "app/DlgTargetAVI.h"
#include "app/DlgTargetIPod.h"
#include "app/DlgTargetMP4.h"
#include "app/DlgTargetPSP.h"
#include "app/DlgVCD.h"
#include "app/DlgVideoSource.h"
#include "app/HyperlinkStatic.h"
#include "app/TambrelApp.h"
#include "platform/ui/FileDialog.h"
#include "platform/ui/Menu.h"
#include "platform/ui/MessageBox.h"
#include "platform/ui/Resource.h"
#include "platform/ui/WindowRecord.h"
#include "platform/win32/Registry.h"
#include "resources/ResourceIds.h"
#include "tests/app/FakeJobs.h"
#include "tests/app/PageTestEnv.h"
#include "tests/RealCodecKeys.h"

using namespace pagetest;
using namespace fakejobs;

namespace {

bool RealInput() {
  static const bool real =
      QGuiApplication::platformName() == "xcb" && std::system("command -v xdotool >/dev/null 2>&1") == 0;
  return real;
}

void Settle(double seconds = 0.15) {
  WaitFor([] { return false; }, seconds);
}

void Xdotool(const std::string& arguments) {
  int status = -1;
  Run("xdotool " + arguments + " 2>&1", &status);
  ASSERT_EQ(status, 0) << "xdotool " << arguments;
  Settle();
}

QWidget* W(CWnd* window, int id = 0) {
  CWnd* w = id ? window->GetDlgItem(id) : window;
  return w ? w->GetWidget() : nullptr;
}

// Waits until the window manager has shown the page where the program put
// it (a window manager may map a window first and place it after).
void Ready(CWnd* page) {
  QWidget* w = W(page)->window();
  if (w->windowHandle()) {
    // A loaded machine (the whole suite at once) can take seconds to map a
    // window; a click sent before lands elsewhere and the page waits forever.
    EXPECT_TRUE(QTest::qWaitForWindowExposed(w->windowHandle(), 20000));
  }
  EXPECT_TRUE(WaitFor([&] { return w->mapToGlobal(QPoint(0, 0)) == w->geometry().topLeft(); }, 20))
      << w->mapToGlobal(QPoint(0, 0)).x() << "," << w->mapToGlobal(QPoint(0, 0)).y() << " for " << w->geometry().x()
      << "," << w->geometry().y();
  Settle(0.3);
  // PELLOMAR_SHOTS=folder: a picture of the whole screen for each page shown.
  static int shots = 0;
  if (const char* dir = std::getenv("PELLOMAR_SHOTS"); dir && RealInput()) {
    auto* dialog = dynamic_cast<CDialog*>(page);
    const std::string file = std::string(dir) + "/" + std::to_string(++shots) + "-" +
                             std::to_string(dialog ? dialog->m_nIDTemplate : 0) + ".png";
    // From the root window, so the window manager's frame is in it too.
    const QRect frame = w->frameGeometry().adjusted(-4, -4, 4, 4);
    QGuiApplication::primaryScreen()
        ->grabWindow(0, frame.x(), frame.y(), frame.width(), frame.height())
        .save(QString::fromStdString(file));
  }
}

// The left button and the pointer.
class Pointer {
 public:
  void To(QWidget* w, QPoint local) {
    ASSERT_NE(w, nullptr);
    m_widget = w;
    m_local = local;
    const QPoint g = w->mapToGlobal(local);
    if (RealInput()) return Xdotool("mousemove --sync " + std::to_string(g.x()) + " " + std::to_string(g.y()));
    QTest::mouseMove(w, local);
  }
  void To(QWidget* w) { To(w, w->rect().center()); }
  // A drag in steps of a few pixels, as a hand moves.
  void By(int dx, int dy) {
    for (int i = 1; i <= 4; ++i) {
      const QPoint step(dx / 4, dy / 4);
      m_local += step;
      if (RealInput())
        Xdotool("mousemove_relative --sync -- " + std::to_string(step.x()) + " " + std::to_string(step.y()));
      else
        QTest::mouseMove(m_widget, m_local);
    }
  }
  void Down() {
    if (RealInput()) return Xdotool("mousedown 1");
    QTest::mousePress(m_widget, Qt::LeftButton, Qt::NoModifier, m_local);
  }
  void Up() {
    if (RealInput()) return Xdotool("mouseup 1");
    QTest::mouseRelease(m_widget, Qt::LeftButton, Qt::NoModifier, m_local);
  }
  void Click(CWnd* window, int id) {
    QWidget* w = W(window, id);
    ASSERT_TRUE(w && w->isVisible() && w->isEnabled()) << "control " << id;
    To(w);
    Down();
    Up();
    Settle();
  }

 private:
  QWidget* m_widget = nullptr;
  QPoint m_local;
};

// Replaces the text of an edit by typing, after a click into it.
void TypeInto(Pointer& p, CWnd* window, int id, const std::string& text) {
  p.Click(window, id);
  if (RealInput()) {
    Xdotool("key --clearmodifiers ctrl+a");
    Xdotool("type --delay 1 -- '" + text + "'");
    return;
  }
  QWidget* w = W(window, id);
  QTest::keyClick(w, Qt::Key_A, Qt::ControlModifier);
  QTest::keyClicks(w, QString::fromStdString(text));
}

void Key(CWnd* window, int id, const char* xName, Qt::Key key) {
  if (RealInput()) return Xdotool(std::string("key ") + xName);
  QTest::keyClick(W(window, id), key);
}

// Visible controls of the page that `id` runs into, and "outside" when it
// leaves the page.
std::vector<std::string> Collisions(CWnd* page, int id) {
  std::vector<std::string> out;
  QWidget* control = W(page, id);
  const QRect r = control->geometry();
  if (!control->parentWidget()->rect().contains(r)) out.push_back("outside");
  for (QObject* o : control->parentWidget()->children()) {
    auto* other = qobject_cast<QWidget*>(o);
    if (!other || other == control || !other->isVisible() || !other->geometry().intersects(r)) continue;
    UiWindow* rec = UiFindWindow(other);
    out.push_back(rec ? std::to_string(rec->id) : other->metaObject()->className());
  }
  return out;
}

// The message boxes that come, answered in turn as a user answers them: on
// the desktop with keys pressed in the box (Return takes its default
// button, "y" Yes, Escape Cancel), offscreen with the button the keys stand
// for. The texts are kept.
class Replies {
 public:
  struct Reply {
    const char* keys;
    int answer;
  };
  explicit Replies(std::vector<Reply> replies) : m_replies(std::move(replies)) {
    if (!RealInput()) {
      UiSetMessageBoxHook([this](const std::string& text, const std::string&, UINT) {
        seen.push_back(text);
        if (seen.size() <= m_replies.size()) return m_replies[seen.size() - 1].answer;
        ADD_FAILURE() << "a box more: " << text;
        return IDCANCEL;
      });
      return;
    }
    QObject::connect(&m_timer, &QTimer::timeout, [this] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (!box || box == m_last || !box->isVisible()) return;
      m_last = box;
      seen.push_back(box->text().toStdString());
      if (seen.size() > m_replies.size()) {
        ADD_FAILURE() << "a box more: " << seen.back();
        box->reject();
        return;
      }
      // The keys go where the window manager puts the focus: on the box, as
      // a user would click into it first when it is not.
      if (!QTest::qWaitForWindowActive(box->windowHandle(), 3000))
        Xdotool("windowactivate " + std::to_string(box->winId())), Settle(0.3);
      Settle(0.2);
      Xdotool(std::string("key ") + m_replies[seen.size() - 1].keys);
    });
    m_timer.start(50);
  }
  ~Replies() {
    if (!RealInput()) UiSetMessageBoxHook(nullptr);
  }
  std::vector<std::string> seen;

 private:
  std::vector<Reply> m_replies;
  QTimer m_timer;
  QPointer<QMessageBox> m_last;
};
const Replies::Reply kNo{"Return", IDNO}, kYes{"y", IDYES}, kCancel{"Escape", IDCANCEL};

struct Answers {
  ChooserAnswer chooser;
  std::vector<std::string> boxes;
  Answers() {
    UiSetMessageBoxHook([this](const std::string& text, const std::string&, UINT) {
      boxes.push_back(text);
      return IDOK;
    });
  }
  ~Answers() { UiSetMessageBoxHook(nullptr); }
};

// A main window shown on the desktop.
template <class Dlg>
struct Shown {
  Dlg dlg;
  template <class... Args>
  explicit Shown(Args... args) : dlg(args...) {
    EXPECT_TRUE(dlg.Create(CTambrelDlg::IDD));
    dlg.ShowWindow(SW_SHOW);
    Ready(&dlg);
  }
  ~Shown() {
    if (dlg.IsConverting()) dlg.StopConversion();
    WaitFor([&] { return !dlg.IsConverting(); }, 30);
    UiSetTrackMenuHook(nullptr);
    dlg.DestroyWindow();
  }
  // A menu command from the drop-down of button `menu`, then the pages
  // `user` drives until they close.
  void Menu(Pointer& p, int menu, UINT command, UserDriver* user = nullptr) {
    UiSetTrackMenuHook([command](const std::vector<UINT>&) { return command; });
    p.Click(&dlg, menu);
    UiSetTrackMenuHook(nullptr);
    if (user) {
      EXPECT_TRUE(WaitFor([&] { return user->Done() && !QApplication::activeModalWidget(); }, 120))
          << "pages done: " << user->StepsDone();
    }
  }
};

// The real main window: its jobs are converted.
using RealWindow = Shown<CTambrelDlg>;

struct WithScript {
  Script script;
};

// A main window with stand-in jobs.
struct MainWindow : WithScript, Shown<TestDlg> {
  MainWindow() : Shown<TestDlg>(&script) {}
  void Hold(const std::string& source, Plan plan = Plan(Plan::kHold)) {
    script.plans[source] = plan;
    auto* job = new CConvertOpt;
    job->SetType(CONVERT_MPEG);
    job->m_strSource = source;
    job->m_strTarget = source + ".mpg";
    job->m_fDuration = 10;
    dlg.AddJob(job);
  }
  // Runs the job pages from the "+" menu's Add job until they close.
  void AddJob(Pointer& p, UserDriver& user) {
    int menus = 0;
    UiSetTrackMenuHook([&](const std::vector<UINT>&) { return ++menus, static_cast<UINT>(ID_JOB_ADD); });
    p.Click(&dlg, 1001);
    EXPECT_TRUE(WaitFor([&] { return user.Done() && !QApplication::activeModalWidget(); }, 60)) 
        << "pages done: " << user.StepsDone() << ", menus " << menus << " modal "
        << (QApplication::activeModalWidget() ? QApplication::activeModalWidget()->windowTitle().toStdString() : "none");
  }
};

// The type page and the video source page of a job of `typeButton`.
void TypeAndSource(Pointer& p, UserDriver& user, int typeButton, const std::string& source) {
  user.On(CDlgCvtType::IDD, [&p, typeButton](CDialog& d) {
    Ready(&d);
    p.Click(&d, typeButton);
    p.Click(&d, 1007);
  });
  user.On(CDlgVideoSource::IDD, [&p, source](CDialog& d) {
    Ready(&d);
    TypeInto(p, &d, 1031, source);
    p.Click(&d, 1007);
  });
}

struct Fault {
  const char* name;
  std::function<void()> drive;
};

class Desktop : public ::testing::TestWithParam<Fault> {};

TEST_P(Desktop, DrivenByPointerAndKeys) { GetParam().drive(); }

// A target name the page takes and what reaches the job.
struct TargetCase {
  int typeButton;
  UINT page;
  int choice;  // a radio to click first, 0 for none
  const char* output;
  int width;
};

void TargetNameAndSize(MainWindow& main, const TargetCase& c) {
  {
    // The jobs of the case before were not converted: removing them asks.
    Replies yes({kYes});
    main.dlg.OnRemoveAllJobs();
  }
  Answers answers;
  Pointer p;
  UserDriver user;
  const std::string output = Scratch("out") + "/" + c.output;
  TypeAndSource(p, user, c.typeButton, Sample("mpeg2-ps-mp2.mpg"));
  user.On(c.page, [&](CDialog& d) {
    Ready(&d);
    if (c.choice) p.Click(&d, c.choice);
    TypeInto(p, &d, 1061, output);
    p.Click(&d, 1020);
  });
  main.AddJob(p, user);
  EXPECT_TRUE(answers.boxes.empty()) << answers.boxes.front();
  ASSERT_EQ(main.dlg.GetJobCount(), 1);
  EXPECT_EQ(main.dlg.GetJob(0)->m_strTarget, output);
  EXPECT_EQ(main.dlg.GetJob(0)->m_nWidth, c.width);
}

// A source the video source page must refuse with "probe failed" (and the
// reason, when one is given), or take; the page's information text.
void SourceProbe(const std::string& path, bool taken, const char* reason = nullptr, std::string* shown = nullptr) {
  CConvertOpt job;
  job.SetType(CONVERT_MPEG);
  CDlgVideoSource page;
  page.m_pJob = &job;
  Answers answers;
  Pointer p;
  UserDriver user;
  int result = -1;
  std::string info;
  user.On(CDlgVideoSource::IDD, [&](CDialog& d) {
    Ready(&d);
    TypeInto(p, &d, 1031, path);
    p.Click(&d, 1007);
    result = page.m_nResult;
    info = TextOf(&d, 1017);
    if (IsWindow(d.m_hWnd) && d.IsWindowVisible()) p.Click(&d, IDCANCEL);
  });
  page.DoModal();
  if (taken) {
    EXPECT_EQ(result, 1);
    EXPECT_TRUE(answers.boxes.empty()) << answers.boxes.front();
    EXPECT_GT(job.m_nSourceWidth, 0);
    EXPECT_EQ(info.find("No Video Stream"), std::string::npos) << info;
  } else {
    EXPECT_EQ(result, 3);
    ASSERT_EQ(answers.boxes.size(), 1u);
    // The cause the program knows is what the user reads; the general text
    // is only for a file nothing here knows.
    if (reason) {
      EXPECT_NE(answers.boxes[0].find(reason), std::string::npos) << answers.boxes[0];
      EXPECT_EQ(answers.boxes[0].find(UiLoadString(IDS_PROBE_FAILED)), std::string::npos) << answers.boxes[0];
    } else {
      EXPECT_EQ(answers.boxes[0].rfind(UiLoadString(IDS_PROBE_FAILED), 0), 0u) << answers.boxes[0];
    }
    EXPECT_EQ(job.m_strSource, "");
  }
  if (shown) *shown = info;
}

// The player's codec folder holds the RealVideo 2 decoder, none for
// RealVideo 1.
void UsePlayerCodecs() { PointRealCodecKeys(PELLOMAR_REAL_CODEC_DIR); }

// A key pressed where the focus is, and the control that has it.
void Press(const char* xName, Qt::Key key) {
  if (RealInput()) return Xdotool(std::string("key ") + xName);
  QTest::keyClick(QApplication::focusWidget(), key), Settle();
}
int FocusId() {
  UiWindow* rec = UiFindWindow(QApplication::focusWidget());
  return rec ? rec->id : -1;
}

// A click on a row of a list.
void ClickRow(Pointer& p, CWnd* window, int id, int row) {
  auto* view = qobject_cast<QAbstractItemView*>(W(window, id));
  p.To(view->viewport(), view->visualRect(view->model()->index(row, 0)).center());
  p.Down(), p.Up(), Settle();
}

int PixelsChanged(const QImage& a, const QImage& b) {
  int n = 0;
  for (int y = 0; y < a.height(); ++y)
    for (int x = 0; x < a.width(); ++x) n += a.pixel(x, y) != b.pixel(x, y);
  return n;
}

// Where the X server has a window.
QPoint ServerPlace(QWidget* w) {
  int x = -1, y = -1;
  std::sscanf(Run("xdotool getwindowgeometry --shell " + std::to_string(w->winId())).c_str(), "WINDOW=%*d X=%d Y=%d",
              &x, &y);
  return QPoint(x, y);
}

// A page of its own on `job`, driven by `drive`; its result.
template <class Page>
int RunPage(CConvertOpt& job, const std::function<void(CDialog&)>& drive) {
  Page page;
  page.m_pJob = &job;
  UserDriver user;
  user.On(Page::IDD, [&](CDialog& d) {
    Ready(&d), drive(d);
    if (IsWindow(d.m_hWnd) && d.IsWindowVisible()) d.EndDialog(IDCANCEL);
  });
  page.DoModal();
  return page.m_nResult;
}



// The user's own file: bytes no job writes.
std::string UsersFile(const std::string& path) {
  const std::string bytes = "the user's own file at " + path + "\n";
  std::ofstream(path, std::ios::binary) << bytes;
  return bytes;
}
std::string BytesOf(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}



// A key pressed with Shift where the focus is.
void PressShifted(const char* xName, Qt::Key key) {
  if (RealInput()) return Xdotool(std::string("key shift+") + xName);
  QTest::keyClick(QApplication::focusWidget(), key, Qt::ShiftModifier), Settle();
}

// The tip the pointer brings up over a control.
std::string TipOf(Pointer& p, CWnd* window, int id, QWidget* away) {
  p.To(W(window, id));
  WaitFor([] { return QToolTip::isVisible(); }, 5);
  const std::string tip = QToolTip::isVisible() ? QToolTip::text().toStdString() : std::string();
  p.To(away);
  WaitFor([] { return !QToolTip::isVisible(); }, 5);
  return tip;
}

// How long a file's first stream lasts, as ffprobe reads it.
double SecondsOf(const std::string& file) {
  return std::atof(Run("ffprobe -v error -show_entries format=duration -of csv=p=0 '" + file + "'").c_str());
}


// A long MPEG job beside `target` (20 minutes of source), made large
// (1920x1080) so that it is still running when the test stops it, however
// fast the machine converts.
constexpr int kLongJobSeconds = 1200;

void AddLongJob(CTambrelDlg& dlg, const std::string& target) {
  const std::string folder = std::filesystem::path(target).parent_path().string();
  const std::string part = folder + "/long-part.mpg", source = folder + "/long.mpg";
  // A quarter made, then played four times over (far quicker to make).
  const std::string seconds = std::to_string(kLongJobSeconds / 4);
  ASSERT_TRUE(MakeWithFfmpeg("-f lavfi -i testsrc=size=176x144:rate=25:duration=" + seconds +
                                 " -f lavfi -i sine=frequency=440:duration=" + seconds +
                                 " -c:v mpeg2video -c:a mp2 -f mpeg",
                             part));
  ASSERT_TRUE(MakeWithFfmpeg("-stream_loop 3 -i '" + part + "' -c copy -f mpeg", source));
  auto* job = new CConvertOpt;
  job->SetType(CONVERT_MPEG);
  job->m_strSource = source, job->m_strTarget = target;
  job->m_nSourceFormat = 0x4000, job->m_fDuration = kLongJobSeconds, job->m_nWidth = 1920, job->m_nHeight = 1080;
  dlg.AddJob(job);
}

const Fault kFaults[] = {
    {"SkinButtonsClickAndOnlyTheCaptionMovesTheWindow",
     [] {
       MainWindow main;
       Answers answers;
       Pointer p;
       QWidget* win = W(&main.dlg);
       const QPoint at = win->pos();
       int menus = 0;
       UiSetTrackMenuHook([&](const std::vector<UINT>&) { return ++menus, 0u; });
       // A press on a button that leaves it before the release: no click, no move.
       for (int id : {1002, 1001, 1079, 1080}) {
         p.To(W(&main.dlg, id));
         p.Down();
         p.By(60, 40);
         p.Up();
         p.By(40, 40);
         EXPECT_EQ(win->pos(), at) << "after a press on " << id;
       }
       EXPECT_EQ(menus, 0);
       // Start with an empty list, then every menu button: each is a click,
       // and the window stays where it is after it.
       for (int id : {1002, 1001, 1079, 1080}) {
         p.Click(&main.dlg, id);
         p.By(50, 50);
         EXPECT_EQ(win->pos(), at) << "after a click on " << id;
       }
       EXPECT_EQ(menus, 3);
       if (RealInput()) {
         // The skin is the whole frame: no title bar of the window manager,
         // and a drag on the skin's caption strip moves the window.
         EXPECT_EQ(win->frameGeometry(), win->geometry());
         p.To(win, QPoint(250, 12));
         p.Down();
         p.By(80, 40);
         p.Up();
         EXPECT_TRUE(WaitFor([&] { return win->pos() == at + QPoint(80, 40); }, 3)) << win->pos().x() << ","
                                                                                    << win->pos().y();
       }
       // Closing during a run is refused with the reason.
       main.Hold("long.mpg");
       p.Click(&main.dlg, 1002);
       ASSERT_TRUE(main.dlg.IsConverting());
       p.Click(&main.dlg, 1082);
       EXPECT_EQ(answers.boxes, std::vector<std::string>{"You are converting now, You must stop it first."});
       EXPECT_TRUE(win->isVisible());
     }},
    {"LongListsStayInsideTheirPages",
     [] {
       const std::string dir = Scratch("sources");
       Answers answers;
       for (int i = 0; i < 22; ++i) {
         answers.chooser.next.push_back(dir + "/clip" + std::to_string(i) + ".mpg");
         std::filesystem::copy_file(Sample("mpeg2-ps-mp2.mpg"), answers.chooser.next.back());
       }
       CConvertOpt batch;
       batch.SetType(CONVERT_MPEG);
       CDlgBatch page;
       page.m_pJob = &batch;
       Pointer p;
       UserDriver user;
       bool lastShown = false;
       user.On(CDlgBatch::IDD, [&](CDialog& d) {
         Ready(&d);
         p.Click(&d, 1001);
         EXPECT_EQ(Collisions(&d, 1064), std::vector<std::string>{});
         // The last row is reached from the keyboard and shown in the list.
         auto* view = qobject_cast<QAbstractItemView*>(W(&d, 1064));
         ASSERT_NE(view, nullptr);
         p.Click(&d, 1064);
         Key(&d, 1064, "End", Qt::Key_End);
         const QRect last = view->visualRect(view->model()->index(21, 0));
         lastShown = view->viewport()->rect().contains(last) && view->currentIndex().row() == 21;
         KeepGrab(&d, "desktop-batch-22");
         p.Click(&d, IDCANCEL);
       });
       page.DoModal();
       EXPECT_TRUE(lastShown);
       CConvertOpt pictures;
       pictures.SetType(CONVERT_PICTURES_TO_VIDEO);
       pictures.m_astrPictures.assign(22, Sample("picture.png"));
       CDlgImageSource list;
       list.m_pJob = &pictures;
       UserDriver user2;
       user2.On(CDlgImageSource::IDD, [&](CDialog& d) {
         Ready(&d);
         EXPECT_EQ(Collisions(&d, 1040), std::vector<std::string>{});
         KeepGrab(&d, "desktop-pictures-22");
         p.Click(&d, IDCANCEL);
       });
       list.DoModal();
     }},
    {"BackFromThePicturesTargetReturnsToThePictureList",
     [] {
       MainWindow main;
       Answers answers;
       answers.chooser.next = {Sample("picture.png"), Sample("picture.jpg")};
       Pointer p;
       UserDriver user;
       int shown = -1;
       user.On(CDlgCvtType::IDD, [&](CDialog& d) {
         Ready(&d);
         p.Click(&d, 1047);
         p.Click(&d, 1007);
       });
       user.On(CDlgImageSource::IDD, [&](CDialog& d) {
         Ready(&d);
         p.Click(&d, 1001);
         p.Click(&d, 1007);
       });
       user.On(CDlgTargetAVI::IDD, [&](CDialog& d) {
         Ready(&d);
         p.Click(&d, 1021);
       });
       user.On(CDlgImageSource::IDD, [&](CDialog& d) {
         Ready(&d);
         shown = static_cast<int>(d.SendDlgItemMessage(1040, LB_GETCOUNT, 0, 0));
         p.Click(&d, IDCANCEL);
       });
       main.AddJob(p, user);
       EXPECT_EQ(shown, 2);
       EXPECT_TRUE(answers.boxes.empty()) << answers.boxes.front();
     }},
    {"AStopAnsweredAfterTheRunEndedShowsOneLog",
     [] {
       MainWindow main;
       Pointer p;
       main.Hold("broken.mpg", Plan(Plan::kBuildFails, E_FAIL, "no graph\n"));
       main.Hold("long.mpg");
       bool asking = false;
       int logs = 0, logsWhileAsking = 0;
       UserDriver user;
       for (int i = 0; i < 2; ++i)
         user.On(CDlgLog::IDD, [&](CDialog& d) {
           ++logs;
           logsWhileAsking += asking;
           d.EndDialog(IDOK);
         });
       UiSetMessageBoxHook([&](const std::string&, const std::string&, UINT) {
         // The run ends while the question is open.
         asking = true;
         main.script.ends["long.mpg"]->Complete();
         WaitFor([&] { return !main.dlg.IsConverting(); }, 10);
         Settle(0.5);
         asking = false;
         return IDYES;
       });
       p.Click(&main.dlg, 1002);
       ASSERT_TRUE(main.dlg.IsConverting());
       p.Click(&main.dlg, 1002);
       UiSetMessageBoxHook(nullptr);
       Settle(1);
       EXPECT_EQ(logs, 1);
       EXPECT_EQ(logsWhileAsking, 0);
     }},
    {"ValidTargetNamesAreTaken",
     [] {
       MainWindow main;
       for (const TargetCase& c : {TargetCase{1009, CDlgMpegType::IDD, 0, "job2_mpeg.vob", 176},
                                   TargetCase{1015, CDlgTargetMP4::IDD, 0, "job8_mp4.m4v", 176}})
         TargetNameAndSize(main, c);
     }},
    {"TheDiscsLargerSizeReachesTheJob",
     [] {
       MainWindow main;
       TargetNameAndSize(main, {1010, CDlgVCD::IDD, 1057, "disc.mpg", 704});
     }},
    {"DisabledIconButtonsLookDisabled",
     [] {
       CConvertOpt pictures;
       pictures.SetType(CONVERT_PICTURES_TO_VIDEO);
       CDlgImageSource list;
       list.m_pJob = &pictures;
       UserDriver user;
       QImage enabled, disabled;
       Pointer p;
       user.On(CDlgImageSource::IDD, [&](CDialog& d) {
         Ready(&d);
         p.To(W(&d, 1021));  // the pointer away from the icon buttons
         enabled = W(&d, 1001)->grab().toImage();
         d.GetDlgItem(1001)->EnableWindow(FALSE);
         Settle();
         disabled = W(&d, 1001)->grab().toImage();
         p.Click(&d, IDCANCEL);
       });
       list.DoModal();
       ASSERT_FALSE(enabled.isNull());
       EXPECT_NE(enabled, disabled);
     }},
    {"SourcesNoJobCanReadFailTheProbe",
     [] {
       const std::string garbage = Scratch("garbage") + "/noise.avi";
       std::ofstream(garbage) << std::string(4096, 'x');
       UsePlayerCodecs();
       SourceProbe(garbage, false);
       SourceProbe(Sample("rm-rv10-ra144.rm"), false, "RV10");
       // A bare MPEG-2 video stream: no splitter reads it (only a D2V
       // project does), so the probe fails and says why.
       SourceProbe(Sample("mpeg2-gop12-b2.m2v"), false, "bare MPEG video stream");
       SourceProbe(Sample("mpeg1-16x9.m1v"), false, "bare MPEG video stream");
       // A fragmented MP4: the MP4 source refuses it and says why.
       const std::string fragments = Scratch("garbage") + "/fragments.mp4";
       ASSERT_TRUE(MakeWithFfmpeg("-f lavfi -i testsrc2=size=64x48:duration=1 -c:v mpeg4 -movflags frag_keyframe+empty_moov",
                                  fragments));
       SourceProbe(fragments, false, "fragmented MP4");
       // A file the user may not read: the cause first (root reads any file;
       // the end-to-end row takes that case without the capabilities).
       const std::string closed = Scratch("closed");
       std::filesystem::copy_file(Sample("mpeg2-ps-mp2.mpg"), closed + "/movie.mpg");
       std::filesystem::permissions(closed + "/movie.mpg", std::filesystem::perms::none);
       if (::geteuid() != 0) SourceProbe(closed + "/movie.mpg", false, "Access was denied");
       std::filesystem::permissions(closed + "/movie.mpg", std::filesystem::perms::owner_all);
     }},
    {"DialogFramesOfferNoMaximize",
     [] {
       // A page's controls are placed, not laid out: its frame offers a
       // title and a close button, nothing that changes its size.
       CConvertOpt job;
       job.SetType(CONVERT_AVI);
       CDlgTargetAVI page;
       page.m_pJob = &job;
       UserDriver user;
       Pointer p;
       user.On(CDlgTargetAVI::IDD, [&](CDialog& d) {
         Ready(&d);
         QWidget* w = W(&d)->window();
         EXPECT_FALSE(w->windowFlags() & (Qt::WindowMaximizeButtonHint | Qt::WindowMinimizeButtonHint));
         EXPECT_TRUE(w->windowFlags() & Qt::WindowCloseButtonHint);
         // The window manager's own account of what it lets the user do.
         const std::string actions =
             RealInput() ? Run("xprop -id " + std::to_string(w->winId()) + " _NET_WM_ALLOWED_ACTIONS") : "";
         for (const char* refused : {"MAXIMIZE", "_NET_WM_ACTION_RESIZE"})
           EXPECT_EQ(actions.find(refused), std::string::npos) << actions;
         p.Click(&d, IDCANCEL);
       });
       page.DoModal();
     }},
    {"TheBatchRemoveButtonWaitsForASelectedRow",
     [] {
       CConvertOpt job;
       job.SetType(CONVERT_MPEG);
       CDlgBatch page;
       page.m_pJob = &job;
       Answers answers;
       answers.chooser.next = {Sample("mpeg2-ps-mp2.mpg")};
       Pointer p;
       UserDriver user;
       std::vector<bool> enabled;
       user.On(CDlgBatch::IDD, [&](CDialog& d) {
         Ready(&d);
         enabled.push_back(W(&d, 1037)->isEnabled());  // empty list
         p.Click(&d, 1001);
         enabled.push_back(W(&d, 1037)->isEnabled());  // the new row is selected
         KeepGrab(&d, "desktop-batch-row");
         p.Click(&d, 1037);
         enabled.push_back(W(&d, 1037)->isEnabled());  // empty again
         p.Click(&d, IDCANCEL);
       });
       page.DoModal();
       EXPECT_EQ(enabled, (std::vector<bool>{false, true, false}));
       EXPECT_TRUE(answers.boxes.empty()) << answers.boxes.front();
     }},
    {"AMovieThatConvertsIsTaken",
     [] {
       UsePlayerCodecs();
       SourceProbe(Sample("rm-rv20-ac3.rm"), true);
       SourceProbe(Sample("mpeg2-ps-mp2.mpg"), true);
     }},
    // One row per fault a new user met in the window.
    {"AFinishedJobIsNotConvertedAgainAndEscapeKeepsTheList",
     [] {
       MainWindow main;
       Answers answers;
       Pointer p;
       main.Hold("a.mpg", Plan());
       for (int run = 0; run < 3; ++run) {  // the third is asked for: "Convert selected jobs again"
         if (run == 2) ClickRow(p, &main.dlg, 1000, 0), UiSetTrackMenuHook([](auto&) { return 40003u; });
         if (run == 2) p.Click(&main.dlg, 1079);
         p.Click(&main.dlg, 1002);
         ASSERT_TRUE(WaitFor([&] { return !main.dlg.IsConverting(); }, 10));
       }
       EXPECT_EQ(main.script.built, (std::vector<std::string>{"a.mpg", "a.mpg"}));
       main.Hold("b.mpg");
       Press("Escape", Qt::Key_Escape);
       p.Click(&main.dlg, 1082);  // a job waits: the question is answered No
       EXPECT_TRUE(W(&main.dlg)->isVisible());
       EXPECT_EQ(answers.boxes.size(), 2u);  // why the second Start did nothing, and the question
     }},
    {"EverySkinButtonIsReachedSeenAndPressedFromTheKeyboard",
     [] {
       MainWindow main;
       main.Hold("a.mpg");
       int menus = 0;
       UiSetTrackMenuHook([&](auto&) { return ++menus, 0u; });
       std::vector<int> stops;
       for (int i = 0; i < 8; ++i, Press("Tab", Qt::Key_Tab)) stops.push_back(FocusId());
       EXPECT_EQ(stops, (std::vector<int>{1001, 1079, 1002, 1000, 1005, 1080, 1081, 1082}));
       for (auto [id, xName, key] : {std::tuple{1001, "space", Qt::Key_Space}, {1079, "Return", Qt::Key_Return}}) {
         W(&main.dlg, 1000)->setFocus();
         const QImage plain = W(&main.dlg, id)->grab().toImage();
         W(&main.dlg, id)->setFocus();
         EXPECT_GT(PixelsChanged(plain, W(&main.dlg, id)->grab().toImage()), 40) << id;  // the focus shows
         Press(xName, key);
       }
       W(&main.dlg, 1002)->setFocus();
       Press("Return", Qt::Key_Return);
       EXPECT_EQ(menus, 2);
       EXPECT_TRUE(main.dlg.IsConverting());
     }},
    {"MenusAndDragsStartFromTheWindowsRealPlace",
     [] {
       if (!RealInput()) return;  // only a window manager places windows
       for (int start = 0; start < 12; ++start) {
         MainWindow main;
         CRect button;  // the "+" menu drops down from here
         main.dlg.GetDlgItem(1001)->GetWindowRect(&button);
         EXPECT_EQ(QPoint(button.left, button.top), ServerPlace(W(&main.dlg)) + QPoint(334, 30)) << start;
       }
       MainWindow main;
       Pointer p;
       const QPoint at = ServerPlace(W(&main.dlg));
       p.To(W(&main.dlg), QPoint(250, 12)), Xdotool("click 1"), p.By(40, 40);  // a click moves nothing
       p.To(W(&main.dlg), QPoint(250, 12)), p.Down(), p.By(-40, 20), p.Up();
       EXPECT_TRUE(WaitFor([&] { return ServerPlace(W(&main.dlg)) == at + QPoint(-40, 20); }, 3));
     }},
    {"APictureBatchIsNotOffered",
     [] {
       MainWindow main;
       Pointer p;
       UserDriver user;
       bool offered = true;
       user.On(CDlgCvtType::IDD, [&](CDialog& d) { offered = W(&d, 1047)->isVisible(), d.EndDialog(IDCANCEL); });
       UiSetTrackMenuHook([](auto&) { return static_cast<UINT>(ID_JOB_ADD_BATCH); });
       p.Click(&main.dlg, 1001);
       EXPECT_TRUE(user.Done() && !offered);
     }},
    {"PicturesToAviShowTheirNamesLengthAndShape",
     [] {
       MainWindow main;
       Answers answers;
       for (int i = 1; i <= 3; ++i) {
         answers.chooser.next.push_back(Scratch("pictures" + std::to_string(i)) + "/p.jpg");
         ASSERT_TRUE(MakeWithFfmpeg("-f lavfi -i testsrc=s=640x480 -frames:v 1", answers.chooser.next.back()));
       }
       Pointer p;
       UserDriver user;
       user.On(CDlgCvtType::IDD, [&](CDialog& d) { Ready(&d), p.Click(&d, 1047), p.Click(&d, 1007); });
       user.On(CDlgImageSource::IDD, [&](CDialog& d) { Ready(&d), p.Click(&d, 1001), p.Click(&d, 1007); });
       user.On(CDlgTargetAVI::IDD, [&](CDialog& d) { Ready(&d), p.Click(&d, 1020); });
       main.AddJob(p, user);
       ASSERT_EQ(main.dlg.GetJobCount(), 1);
       auto* list = dynamic_cast<CListCtrl*>(main.dlg.GetDlgItem(1000));
       EXPECT_EQ(list->GetItemText(0, 1) + "|" + list->GetItemText(0, 3),
                 answers.chooser.next[0] + " and 2 more pictures|Pictures to AVI");
       EXPECT_FLOAT_EQ(main.dlg.GetJob(0)->m_fDuration, 1.5f);
       EXPECT_EQ(main.dlg.GetJob(0)->m_nWidth * 480, main.dlg.GetJob(0)->m_nHeight * 640);
     }},
    {"ThePictureListFollowsClicksOffersEveryKindAndStepsBackToItsDefault",
     [] {
       CConvertOpt job;
       job.SetType(CONVERT_PICTURES_TO_VIDEO);
       job.m_astrPictures = {Sample("list-160x120.jpg"), Sample("list-192x96.bmp")};
       Answers answers;
       Pointer p;
       std::string shown;
       int focusShows = 0;
       RunPage<CDlgImageSource>(job, [&](CDialog& d) {
         W(&d, 1040)->setFocus();  // the icon buttons show the focus too
         const QImage plain = W(&d, 1001)->grab().toImage();
         W(&d, 1001)->setFocus();
         focusShows = PixelsChanged(plain, W(&d, 1001)->grab().toImage());
         ClickRow(p, &d, 1040, 1), p.Click(&d, 1001);  // the chooser is cancelled
         for (QToolButton* arrow : W(&d, 1045)->findChildren<QToolButton*>()) p.To(arrow), p.Down(), p.Up();
         shown = TextOf(&d, 1042) + "|" + TextOf(&d, 1044);
       });
       EXPECT_NE(shown.find("(192 / 96)|0.5"), std::string::npos) << shown;
       EXPECT_GT(focusShows, 20);
       EXPECT_NE(answers.chooser.filters.at(0).find("|*.jpg;*.jpeg;*.bmp;*.png"), std::string::npos) << answers.chooser.filters[0];
     }},
    {"APalNtscChangeTakesOnlyMpegSources",
     [] {
       Answers answers;
       Pointer p;
       CConvertOpt job;
       job.SetType(CONVERT_PALNTSC);
       EXPECT_EQ(RunPage<CDlgVideoSource>(job, [&](CDialog& d) {
                   TypeInto(p, &d, 1031, Sample("mp4-h264-aac.mp4")), p.Click(&d, 1007);
                 }),
                 3);
       EXPECT_EQ(answers.boxes, std::vector<std::string>{UiLoadString(IDS_NOT_MPEG_SOURCE)});
     }},
    {"TheDiscPageKeepsItsSizeAfterBack",
     [] {
       MainWindow main;
       Pointer p;
       UserDriver user;
       TypeAndSource(p, user, 1010, Sample("mpeg2-ps-mp2.mpg"));
       user.On(CDlgVCD::IDD, [&](CDialog& d) { Ready(&d), p.Click(&d, 1055), p.Click(&d, 1057), p.Click(&d, 1021); });
       user.On(CDlgVideoSource::IDD, [&](CDialog& d) { Ready(&d), p.Click(&d, 1007); });
       user.On(CDlgVCD::IDD, [&](CDialog& d) {
         Ready(&d), TypeInto(p, &d, 1061, Scratch("out") + "/disc.mpg"), p.Click(&d, 1020);
       });
       main.AddJob(p, user);
       ASSERT_EQ(main.dlg.GetJobCount(), 1);
       EXPECT_EQ(main.dlg.GetJob(0)->m_nWidth * 1000 + main.dlg.GetJob(0)->m_nHeight, 704480);
     }},
    {"AnIpodPresetIsTakenAndTheTipsCancelGoesBack",
     [] {
       Answers answers;
       Pointer p;
       const DWORD saved[] = {g_dwIPodShowOnce, g_dw3gpShowOnce};
       g_dwIPodShowOnce = 1, g_dw3gpShowOnce = 0;
       CConvertOpt ipod, phone;
       ipod.SetType(CONVERT_IPOD), phone.SetType(CONVERT_3GP);
       EXPECT_EQ(RunPage<CDlgTargetIPod>(ipod, [&](CDialog& d) {
                   Choose(&d, 1090, "12.H264: High Quality 640*480 1500kbps, Audio 160kbps Stereo");
                   TypeInto(p, &d, 1061, Scratch("out") + "/ipod.mp4"), p.Click(&d, 1020);
                 }),
                 2);
       EXPECT_EQ(ipod.m_nVideoBitrate, 1500);
       EXPECT_TRUE(answers.boxes.empty());
       UserDriver tips;
       tips.On(CDlg3GPInfo::IDD, [&](CDialog& d) { Ready(&d), p.Click(&d, IDCANCEL); });
       EXPECT_EQ(RunPage<CDlgTarget3GP>(phone, [&](CDialog& d) {
                   TypeInto(p, &d, 1061, Scratch("out") + "/phone.3gp"), p.Click(&d, 1005), p.Click(&d, 1020);
                   EXPECT_TRUE(WaitFor([&] { return tips.Done(); }, 5) && d.IsWindowVisible());
                 }),
                 3);
       g_dwIPodShowOnce = saved[0], g_dw3gpShowOnce = saved[1];
     }},
    {"TheSourcePageNamesWhatItConverts",
     [] {
       for (const char* sample : {"mp4-h264-aac.mp4", "avi-mjpeg-mp3.avi", "mov-mjpeg-pcm.mov", "vob-ac3.vob"}) {
         std::string info;
         SourceProbe(Sample(sample), true, nullptr, &info);
         for (const char* vague : {"Unknown", " -  - ", ":->0x"}) EXPECT_EQ(info.find(vague), std::string::npos) << info;
       }
     }},
    {"FailuresNameTheirFileAndTheCodecHelpFitsThisSystem",
     [] {
       const std::string garbage = Scratch("garbage") + "/noise.avi";
       std::ofstream(garbage) << std::string(4096, 'x');
       Answers answers;
       answers.chooser.next = {garbage};
       CConvertOpt batch;
       Pointer p;
       RunPage<CDlgBatch>(batch, [&](CDialog& d) { p.Click(&d, 1001); });
       EXPECT_NE(answers.boxes.at(0).find(garbage), std::string::npos) << answers.boxes[0];
       MainWindow main;
       main.Hold("a.mpg", Plan(Plan::kBuildFails, E_FAIL, "no graph\n"));
       UserDriver user;
       std::string links;
       user.On(CDlgLog::IDD, [&](CDialog& d) { Ready(&d), p.Click(&d, 1007); });  // Codec help...
       user.On(CDlgCodecInfo::IDD, [&](CDialog& d) {
         for (int id : {1010, 1007, 1008, 1009}) links += dynamic_cast<CHyperlinkStatic*>(d.GetDlgItem(id))->GetCaption();
         d.EndDialog(IDCANCEL), d.GetParent()->SendMessage(WM_COMMAND, IDOK);
       });
       p.Click(&main.dlg, 1002);
       ASSERT_TRUE(WaitFor([&] { return user.Done(); }, 10));
       EXPECT_NE(main.dlg.GetRunLog().find("-- [no graph]\n"), std::string::npos) << main.dlg.GetRunLog();
       for (const char* other : {"xvid", "ffdshow", "divx", "microsoft"})
         EXPECT_EQ(QString::fromStdString(links).indexOf(other, 0, Qt::CaseInsensitive), -1) << links;
     }},
    {"NamesAndChoosersAsTheTypesPromise",
     [] {
       Answers answers;
       Pointer p;
       CConvertOpt psp, mp4, movie;
       psp.SetType(CONVERT_PSP), mp4.SetType(CONVERT_MP4), movie.SetType(CONVERT_MPEG);
       psp.m_strSource = Scratch("psp") + "/clip.mpg";
       RunPage<CDlgTargetPSP>(psp, [&](CDialog& d) { TypeInto(p, &d, 1072, "5"), p.Click(&d, 1020); });
       EXPECT_EQ(std::filesystem::path(psp.m_strTarget).filename(), "M4V00005.mp4");
       RunPage<CDlgTargetMP4>(mp4, [&](CDialog& d) { p.Click(&d, 1023); });
       EXPECT_NE(answers.chooser.filters.at(0).find("*.mov"), std::string::npos) << answers.chooser.filters[0];
       RunPage<CDlgVideoSource>(movie, [&](CDialog& d) { p.Click(&d, 1023); });
       for (const char* kind : {"*.vob", "*.ts", "*.m2ts", "*.d2v", "*.ifo", "*.fli", "*.roq", "*.3g2"})
         EXPECT_NE(answers.chooser.filters.at(0).find(kind), std::string::npos) << kind;
       // A movie job takes no file of sound alone: none is offered.
       for (const char* sound : {"*.wav", "*.mp3", "*.aac", "*.ac3", "*.dts", "*.cda"})
         EXPECT_EQ(answers.chooser.filters.at(0).find(sound), std::string::npos) << sound;
       EXPECT_EQ(answers.chooser.filters.back().rfind("All files", 0), 0u) << answers.chooser.filters.back();
     }},
    {"TheWindowTellsWhatHappened",
     [] {
       Answers answers;
       Pointer p;
       MainWindow main;
       const std::string path = "/a/folder/with/a/long/name/for/the/movies/of/this/summer/holiday.mpg";
       main.Hold(path, Plan());
       auto* list = qobject_cast<QAbstractItemView*>(W(&main.dlg, 1000));
       EXPECT_FALSE(list->horizontalScrollBar()->isVisible());
       EXPECT_EQ(list->model()->index(0, 1).data(Qt::ToolTipRole).toString().toStdString(), path);
       const QImage idle = W(&main.dlg, 1074)->grab().toImage();
       p.Click(&main.dlg, 1002);
       ASSERT_TRUE(WaitFor([&] { return !main.dlg.IsConverting(); }, 10));
       EXPECT_EQ(TextOf(&main.dlg, IDC_PROGRESS_LINE).rfind("Finished: 1 of 1 job", 0), 0u) << TextOf(&main.dlg, IDC_PROGRESS_LINE);
       const QPoint middle = idle.rect().center();  // an empty bar looks unlike a full one
       EXPECT_GT(std::abs(qGray(idle.pixel(middle)) - qGray(W(&main.dlg, 1074)->grab().toImage().pixel(middle))), 40);
       UiSetTrackMenuHook([](auto&) { return static_cast<UINT>(ID_JOB_REMOVE_ALL); });
       p.Click(&main.dlg, 1079);
       EXPECT_EQ(TextOf(&main.dlg, IDC_PROGRESS_LINE), "");
       UiSetOpenHook([](const std::string&) { return false; });  // no browser
       p.Click(&main.dlg, 1005);
       UiSetOpenHook(nullptr);
       CConvertOpt mp4, movie;
       mp4.SetType(CONVERT_MP4), movie.SetType(CONVERT_MPEG);
       RunPage<CDlgTargetMP4>(mp4, [&](CDialog& d) { TypeInto(p, &d, 1068, "50"), p.Click(&d, 1020); });
       RunPage<CDlgVideoSource>(movie, [&](CDialog& d) { p.Click(&d, 1007); });  // no source named
       ASSERT_EQ(answers.boxes.size(), 3u);
       EXPECT_NE(answers.boxes[0].find(kHomePageAddress), std::string::npos) << answers.boxes[0];
       EXPECT_EQ(answers.boxes[1].rfind("Width:", 0), 0u) << answers.boxes[1];
       EXPECT_NE(answers.boxes[2], UiLoadString(IDS_SOURCE_NOT_FOUND));
     }},
    // Round three of what a user has: nothing is replaced unasked.
    {"AnExistingTargetIsReplacedOnlyWhenTheUserSaysSo",
     [] {
       const std::string dir = Scratch("movies");
       for (const char* name : {"/clip.mpg", "/other.mpg"})
         std::filesystem::copy_file(Sample("mpeg2-ps-mp2.mpg"), dir + name);
       const std::string mine = dir + "/clip_pmr.mpg", later = dir + "/other_pmr.mpg";
       const std::string mineBytes = UsersFile(mine);
       RealWindow main;
       Pointer p;
       bool stayed = false;
       int focus = -1;
       {
         // Finish names the file the proposed name would replace: No (the
         // default) keeps the page at the name, Yes adds the job.
         Replies replies({kNo, kYes});
         UserDriver user;
         TypeAndSource(p, user, 1009, dir + "/clip.mpg");
         user.On(CDlgMpegType::IDD, [&](CDialog& d) {
           Ready(&d), p.Click(&d, 1020);
           stayed = d.IsWindowVisible(), focus = FocusId();
           p.Click(&d, 1020);
         });
         main.Menu(p, 1001, ID_JOB_ADD, &user);
         ASSERT_EQ(replies.seen.size(), 2u);
         EXPECT_NE(replies.seen[0].find(mine + " already exists"), std::string::npos) << replies.seen[0];
       }
       EXPECT_TRUE(stayed);
       EXPECT_EQ(focus, 1061);
       {
         // A free name asks nothing; its file comes before Start.
         Replies none({});
         UserDriver user;
         TypeAndSource(p, user, 1009, dir + "/other.mpg");
         user.On(CDlgMpegType::IDD, [&](CDialog& d) { Ready(&d), p.Click(&d, 1020); });
         main.Menu(p, 1001, ID_JOB_ADD, &user);
       }
       ASSERT_EQ(main.dlg.GetJobCount(), 2);
       const std::string laterBytes = UsersFile(later);
       {
         // Start names it alone: No converts the other job and leaves it.
         Replies replies({kNo});
         p.Click(&main.dlg, 1002);
         ASSERT_TRUE(WaitFor([&] { return !main.dlg.IsConverting(); }, 120));
         ASSERT_EQ(replies.seen.size(), 1u);
         EXPECT_NE(replies.seen[0].find(later), std::string::npos) << replies.seen[0];
         EXPECT_EQ(replies.seen[0].find(mine), std::string::npos) << replies.seen[0];
       }
       EXPECT_EQ(main.dlg.GetJobStatus(0), kJobDone);
       EXPECT_EQ(main.dlg.GetJobStatus(1), kJobWaiting);
       EXPECT_NE(BytesOf(mine), mineBytes);  // replaced, as the user said
       EXPECT_EQ(Run("ffprobe -v error -show_entries format=format_name -of csv=p=0 '" + mine + "'"), "mpeg\n");
       {
         // Cancel (Escape) starts nothing.
         Replies replies({kCancel});
         p.Click(&main.dlg, 1002);
         Settle(0.5);
         EXPECT_EQ(replies.seen.size(), 1u);
         EXPECT_FALSE(main.dlg.IsConverting());
       }
       EXPECT_EQ(main.dlg.GetJobStatus(1), kJobWaiting);
       EXPECT_EQ(BytesOf(later), laterBytes);
     }},
    {"ABatchNamesTheFilesItWouldReplaceAndAsksOnce",
     [] {
       const std::string dir = Scratch("batch"), out = Scratch("batch-out");
       ChooserAnswer chooser;
       for (const char* name : {"a", "b", "c"}) {
         chooser.next.push_back(dir + "/" + name + ".mpg");
         std::filesystem::copy_file(Sample("mpeg2-ps-mp2.mpg"), chooser.next.back());
       }
       const std::string a = out + "/a_pmr.mpg", c = out + "/c_pmr.mpg";
       const std::string aBytes = UsersFile(a), cBytes = UsersFile(c);
       MainWindow main;
       Pointer p;
       Replies replies({kNo, kYes});
       int targetPages = 0;
       UserDriver user;
       user.On(CDlgCvtType::IDD, [&](CDialog& d) { Ready(&d), p.Click(&d, 1009), p.Click(&d, 1007); });
       user.On(CDlgBatch::IDD, [&](CDialog& d) {
         Ready(&d), p.Click(&d, 1001);
         TypeInto(p, &d, 1067, out + "/");
         p.Click(&d, 1007);
       });
       for (int i = 0; i < 2; ++i)  // No opens the target page again
         user.On(CDlgMpegType::IDD, [&](CDialog& d) { Ready(&d), ++targetPages, p.Click(&d, 1020); });
       UiSetTrackMenuHook([](auto&) { return static_cast<UINT>(ID_JOB_ADD_BATCH); });
       p.Click(&main.dlg, 1001);
       EXPECT_TRUE(WaitFor([&] { return user.Done() && !QApplication::activeModalWidget(); }, 60));
       EXPECT_EQ(targetPages, 2);
       ASSERT_EQ(replies.seen.size(), 2u);
       EXPECT_EQ(replies.seen[0], "These targets already exist:\n    " + a + "\n    " + c + "\n\nDo you want to replace them?");
       ASSERT_EQ(main.dlg.GetJobCount(), 3);
       for (int row = 0; row < 3; ++row) EXPECT_EQ(main.dlg.GetJob(row)->m_bReplaceTarget, row != 1) << row;
       EXPECT_EQ(BytesOf(a), aBytes);
       EXPECT_EQ(BytesOf(c), cBytes);
     }},
    {"TheTargetFollowsANewSourceUnlessTheUserNamedIt",
     [] {
       const std::string dir = Scratch("follow");
       std::filesystem::copy_file(Sample("mpeg2-ps-mp2.mpg"), dir + "/small.mpg");
       ASSERT_TRUE(MakeWithFfmpeg("-f lavfi -i testsrc=size=320x240:rate=25:duration=1 -c:v mpeg2video -f mpeg",
                                  dir + "/large.mpg"));
       MainWindow main;
       Answers answers;
       Pointer p;
       std::vector<std::string> shown;
       auto target = [&](CDialog& d) { Ready(&d), shown.push_back(TextOf(&d, 1022) + "|" + TextOf(&d, 1068)); };
       auto source = [&](const std::string& path) {
         return [&p, path](CDialog& d) { Ready(&d), TypeInto(p, &d, 1031, path), p.Click(&d, 1007); };
       };
       UserDriver user;
       user.On(CDlgCvtType::IDD, [&](CDialog& d) { Ready(&d), p.Click(&d, 1006), p.Click(&d, 1007); });
       user.On(CDlgVideoSource::IDD, source(dir + "/small.mpg"));
       user.On(CDlgTargetAVI::IDD, [&](CDialog& d) { target(d), p.Click(&d, 1021); });
       user.On(CDlgVideoSource::IDD, source(dir + "/large.mpg"));
       user.On(CDlgTargetAVI::IDD, [&](CDialog& d) { target(d), TypeInto(p, &d, 1022, dir + "/mine.avi"), p.Click(&d, 1021); });
       user.On(CDlgVideoSource::IDD, source(dir + "/small.mpg"));
       user.On(CDlgTargetAVI::IDD, [&](CDialog& d) { target(d), p.Click(&d, 1020); });
       main.AddJob(p, user);
       EXPECT_EQ(shown, (std::vector<std::string>{dir + "/small_pmr.avi|176", dir + "/large_pmr.avi|320",
                                                  dir + "/mine.avi|176"}));
       ASSERT_EQ(main.dlg.GetJobCount(), 1);
       EXPECT_EQ(main.dlg.GetJob(0)->m_strTarget, dir + "/mine.avi");
       EXPECT_TRUE(answers.boxes.empty()) << answers.boxes.front();
     }},
    {"AStoppedJobIsShownAsStoppedWithWhatItKept",
     [] {
       const std::string target = Scratch("stop") + "/long_pmr.mpg";
       RealWindow main;
       ASSERT_NO_FATAL_FAILURE(AddLongJob(main.dlg, target));
       Pointer p;
       Replies replies({kYes});  // "Do you want to stop it?"
       p.Click(&main.dlg, 1002);
       std::error_code ec;
       ASSERT_TRUE(WaitFor([&] { return std::filesystem::file_size(target + ".part", ec) > 100000; }, 120));
       ASSERT_TRUE(main.dlg.IsConverting());
       p.Click(&main.dlg, 1002);
       ASSERT_TRUE(WaitFor([&] { return !main.dlg.IsConverting(); }, 30));
       Settle(0.5);
       EXPECT_EQ(replies.seen.size(), 1u);
       EXPECT_EQ(main.dlg.GetJobStatus(0), kJobStopped);
       EXPECT_EQ(TextOf(&main.dlg, IDC_PROGRESS_LINE), "Stopped: the part converted is kept as " + target + ".");
       EXPECT_EQ(QApplication::activeModalWidget(), nullptr);  // nothing failed: no log of its own
       EXPECT_EQ(Run("ffprobe -v error -show_entries format=format_name -of csv=p=0 '" + target + "'"), "mpeg\n");
       // The log from the menu, at any time after.
       std::string log;
       UserDriver user;
       user.On(CDlgLog::IDD, [&](CDialog& d) { Ready(&d), log = TextOf(&d, 1086), p.Click(&d, IDOK); });
       main.Menu(p, 1079, ID_JOB_SHOW_LOG, &user);
       EXPECT_EQ(log.rfind("1. Stopped by the user at ", 0), 0u) << log;
       EXPECT_NE(log.find(": the part converted is kept as " + target), std::string::npos) << log;
     }},
    {"EveryLinkShowsItsAddressWhenNothingOpensIt",
     [] {
       // The desktop's opener starts, finds no program for the address and
       // says so by its exit status, as xdg-open does without a browser.
       const std::string bin = Scratch("opener");
       std::ofstream(bin + "/xdg-open") << "#!/bin/sh\necho \"$1\" >>" << bin << "/opened\nexit $(cat " << bin
                                        << "/status)\n";
       std::ofstream(bin + "/status") << "3\n";
       std::filesystem::permissions(bin + "/xdg-open", std::filesystem::perms::owner_all);
       const std::string path = std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin";
       setenv("PATH", (bin + ":" + path).c_str(), 1);
       if (!std::filesystem::exists(CTambrelDlg::HelpPagePath()))
         std::ofstream(CTambrelDlg::HelpPagePath()) << "<html><title>help</title></html>\n";
       const Replies::Reply ok{"Return", IDOK};
       {
         MainWindow main;
         Pointer p;
         Replies replies({ok, ok, ok, ok, ok});
         p.Click(&main.dlg, 1005);
         for (UINT command : {ID_HELP_CONTENTS, ID_HELP_SUPPORT_MAIL}) {
           UiSetTrackMenuHook([command](auto&) { return command; });
           p.Click(&main.dlg, 1080);
         }
         UiSetTrackMenuHook(nullptr);
         CDlgCodecInfo codecs(&main.dlg);
         int tabbed = -1;
         UserDriver user;
         user.On(CDlgCodecInfo::IDD, [&](CDialog& d) {
           Ready(&d);
           p.To(W(&d, 1008), QPoint(4, 4)), p.Down(), p.Up(), Settle();  // on the link's text
           // The keyboard reaches the next link and opens it.
           Press("Tab", Qt::Key_Tab);
           tabbed = FocusId();
           Press("space", Qt::Key_Space);
           WaitFor([&] { return replies.seen.size() == 5; }, 10);
           p.Click(&d, IDOK);
         });
         codecs.DoModal();
         EXPECT_EQ(tabbed, 1009);
         ASSERT_EQ(replies.seen.size(), 5u);
         EXPECT_NE(replies.seen[4].find(kSupportAddress), std::string::npos) << replies.seen[4];
         EXPECT_NE(replies.seen[0].find(kHomePageAddress), std::string::npos) << replies.seen[0];
         EXPECT_NE(replies.seen[1].find(CTambrelDlg::HelpPagePath()), std::string::npos) << replies.seen[1];
         EXPECT_NE(replies.seen[2].find(kSupportAddress), std::string::npos) << replies.seen[2];
         EXPECT_NE(replies.seen[3].find(kHomePageAddress), std::string::npos) << replies.seen[3];
         if (RealInput()) {
           const std::string opened = BytesOf(bin + "/opened");
           EXPECT_EQ(std::count(opened.begin(), opened.end(), '\n'), 5) << opened;
           // An opener that found its program: no box.
           std::ofstream(bin + "/status") << "0\n";
           p.Click(&main.dlg, 1005);
           EXPECT_EQ(replies.seen.size(), 5u);
         }
       }
       setenv("PATH", path.c_str(), 1);
     }},
    {"RemoveAllAsksArrowsChooseAndIconButtonsAreNamed",
     [] {
       {
         MainWindow main;
         Pointer p;
         main.Hold("a.mpg"), main.Hold("b.mpg");
         Replies replies({kNo, kYes});
         for (int i = 0; i < 2; ++i) {
           UiSetTrackMenuHook([](auto&) { return static_cast<UINT>(ID_JOB_REMOVE_ALL); });
           p.Click(&main.dlg, 1079);
           EXPECT_EQ(main.dlg.GetJobCount(), i == 0 ? 2 : 0);
         }
         EXPECT_EQ(replies.seen.size(), 2u);
       }
       Pointer p;
       CConvertOpt disc;
       disc.SetType(CONVERT_DISC);
       std::vector<int> chosen;
       std::vector<std::string> described;
       std::vector<int> tabStops;
       RunPage<CDlgVCD>(disc, [&](CDialog& d) {
         p.Click(&d, 1050);
         for (auto [xName, key] : {std::pair{"Right", Qt::Key_Right}, {"Down", Qt::Key_Down}, {"Right", Qt::Key_Right},
                                   {"Left", Qt::Key_Left}}) {
           Press(xName, key);
           chosen.push_back(FocusId() * 10 + d.GetCheckedRadioButton(1050, 1052) % 10);
           described.push_back(TextOf(&d, 1017));
         }
         Press("shift+Tab", Qt::Key_Backtab);
         tabStops.push_back(FocusId());
         Press("Tab", Qt::Key_Tab);
         tabStops.push_back(FocusId());
       });
       // Each arrow moves to the next kind and chooses it (round at the ends).
       EXPECT_EQ(chosen, (std::vector<int>{10511, 10522, 10500, 10522}));
       EXPECT_EQ(described.at(0), UiLoadString(IDS_DISC_SVCD));
       // Tab stops once in a group, at its chosen button.
       EXPECT_EQ(tabStops.size(), 2u);
       EXPECT_TRUE(tabStops.at(0) < 1050 || tabStops.at(0) > 1052) << tabStops.at(0);
       EXPECT_EQ(tabStops.at(1), 1052);
       EXPECT_EQ(described.at(1), UiLoadString(IDS_DISC_DVD));
       CConvertOpt batch;
       batch.SetType(CONVERT_MPEG);
       std::vector<std::string> tips;
       int glyph = 0;
       RunPage<CDlgBatch>(batch, [&](CDialog& d) {
         for (int id : {1001, 1039}) {  // 1039 is disabled while the list is empty
           p.To(W(&d, id));
           WaitFor([] { return QToolTip::isVisible(); }, 5);
           tips.push_back(QToolTip::text().toStdString());
           p.To(W(&d, 1007));
           WaitFor([] { return !QToolTip::isVisible(); }, 5);
         }
         // The disabled icon still shows its arrow on its disc.
         const QImage look = W(&d, 1039)->grab().toImage();
         const QPoint at((look.width() - 24) / 2, (look.height() - 24) / 2);
         glyph = std::abs(qGray(look.pixel(at + QPoint(12, 12))) - qGray(look.pixel(at + QPoint(5, 12))));
       });
       EXPECT_EQ(tips, (std::vector<std::string>{"Add movies...", "Move the selected movie down"}));
       EXPECT_GT(glyph, 30);
       CConvertOpt psp;
       psp.SetType(CONVERT_PSP);
       psp.m_strSource = Scratch("psp") + "/clip.mpg";
       std::string names;
       RunPage<CDlgTargetPSP>(psp, [&](CDialog& d) {
         TypeInto(p, &d, 1072, "7");
         Press("Tab", Qt::Key_Tab);
         names = TextOf(&d, 1022) + "|" + std::filesystem::path(TextOf(&d, 1031)).filename().string();
       });
       EXPECT_EQ(names, "M4V00007.mp4|M4V00007.mp4");
     }},
    // Round four: what a new user reads and sees.
    {"TheMainWindowsIconButtonsCarryTips",
     [] {
       MainWindow main;
       Pointer p;
       std::vector<std::string> tips;
       for (int id : {1001, 1079, 1002, 1080, 1081, 1082}) tips.push_back(TipOf(p, &main.dlg, id, W(&main.dlg, 1000)));
       EXPECT_EQ(tips, (std::vector<std::string>{"Add a job or a batch of jobs", "Remove jobs, convert jobs again, the run log",
                                                 "Start converting the jobs", "Help, decoder settings and about Pellomar",
                                                 "Minimize", "Close Pellomar"}));
       main.Hold("a.mpg");
       p.Click(&main.dlg, 1002);
       ASSERT_TRUE(main.dlg.IsConverting());
       p.To(W(&main.dlg, 1000));  // the pointer comes back to the button
       WaitFor([] { return !QToolTip::isVisible(); }, 5);
       EXPECT_EQ(TipOf(p, &main.dlg, 1002, W(&main.dlg, 1000)), "Stop converting");
     }},
    {"TheRunningJobOfALongListIsInViewAndNamed",
     [] {
       MainWindow main;
       Pointer p;
       for (int i = 0; i < 38; ++i) main.Hold("job" + std::to_string(i) + ".mpg", i < 30 ? Plan() : Plan(Plan::kHold));
       p.Click(&main.dlg, 1002);
       ASSERT_TRUE(WaitFor([&] { return main.dlg.GetJobStatus(30) == kJobRunning; }, 30));
       Settle(0.3);
       auto* view = qobject_cast<QAbstractItemView*>(W(&main.dlg, 1000));
       const QRect row = view->visualRect(view->model()->index(30, 1));
       EXPECT_TRUE(view->viewport()->rect().contains(row)) << row.y() << " of " << view->viewport()->height();
       const std::string said = "Converting job 31 of 38 (row 31), 7 after it";
       EXPECT_EQ(TextOf(&main.dlg, IDC_RUN_STATUS), said);
       EXPECT_NE(W(&main.dlg)->windowTitle().toStdString().find(said), std::string::npos);
       KeepGrab(&main.dlg, "desktop-running-job-31");
       main.script.ends["job30.mpg"]->Complete();
       EXPECT_TRUE(WaitFor([&] { return TextOf(&main.dlg, IDC_RUN_STATUS).find("job 32 of 38") != std::string::npos; }, 10))
           << TextOf(&main.dlg, IDC_RUN_STATUS);
     }},
    {"SeveralSelectedJobsAreRemovedTogether",
     [] {
       MainWindow main;
       Pointer p;
       for (const char* name : {"a.mpg", "b.mpg", "c.mpg", "d.mpg", "e.mpg"}) main.Hold(name);
       // Rows 1 to 3 chosen with the pointer and Shift and the arrows.
       ClickRow(p, &main.dlg, 1000, 1);
       PressShifted("Down", Qt::Key_Down);
       PressShifted("Down", Qt::Key_Down);
       auto sources = [&] {
         std::string all;
         for (int row = 0; row < main.dlg.GetJobCount(); ++row) all += main.dlg.GetJob(row)->m_strSource + " ";
         return all;
       };
       for (const Replies::Reply& answer : {kNo, kYes}) {
         Replies replies({answer});
         UiSetTrackMenuHook([](auto&) { return static_cast<UINT>(ID_JOB_REMOVE); });
         p.Click(&main.dlg, 1079);
         ASSERT_EQ(replies.seen.size(), 1u);
         EXPECT_EQ(replies.seen[0], "3 selected jobs have not been converted yet. Remove the 3 selected jobs all the same?");
       }
       EXPECT_EQ(sources(), "a.mpg e.mpg ");
       auto* list = dynamic_cast<CListCtrl*>(main.dlg.GetDlgItem(1000));
       POSITION pos = list->GetFirstSelectedItemPosition();
       ASSERT_NE(pos, nullptr);
       EXPECT_EQ(list->GetNextSelectedItem(pos), 1);  // e.mpg moved into the first removed row's place
     }},
    {"AJobWhoseTargetAnotherJobHasIsAsked",
     [] {
       const std::string dir = Scratch("one-target");
       std::filesystem::copy_file(Sample("mpeg2-ps-mp2.mpg"), dir + "/a.mpg");
       std::filesystem::copy_file(Sample("mpeg2-ps-mp2.mpg"), dir + "/b.mpg");
       const std::string target = dir + "/both.mpg";
       MainWindow main;
       Pointer p;
       auto addJob = [&](const std::string& source, std::vector<Replies::Reply> answers, int finishes) {
         Replies replies(std::move(answers));
         UserDriver user;
         TypeAndSource(p, user, 1009, source);
         user.On(CDlgMpegType::IDD, [&](CDialog& d) {
           Ready(&d), TypeInto(p, &d, 1061, target);
           for (int i = 0; i < finishes; ++i) p.Click(&d, 1020);
         });
         main.AddJob(p, user);
         return replies.seen;
       };
       EXPECT_EQ(addJob(dir + "/a.mpg", {}, 1), std::vector<std::string>{});
       // No (the default) keeps the page at the name; Yes adds the job.
       const std::vector<std::string> asked = addJob(dir + "/b.mpg", {kNo, kYes}, 2);
       const std::string question = target + " is the target of another job of the list already.\nDo you want to replace it?";
       EXPECT_EQ(asked, (std::vector<std::string>{question, question}));
       ASSERT_EQ(main.dlg.GetJobCount(), 2);
       EXPECT_EQ(main.dlg.GetJob(1)->m_strTarget, target);
       EXPECT_EQ(main.dlg.GetJob(1)->m_bReplaceTarget, 1);
     }},
    {"TheAviPageProposesTheNearestRateItTakes",
     [] {
       const std::string source = Scratch("fifty") + "/fifty.mpg";
       ASSERT_TRUE(MakeWithFfmpeg("-f lavfi -i testsrc=size=160x120:rate=50:duration=1 -c:v mpeg2video -f mpeg", source));
       MainWindow main;
       Answers answers;
       Pointer p;
       UserDriver user;
       std::string proposed;
       TypeAndSource(p, user, 1006, source);
       user.On(CDlgTargetAVI::IDD, [&](CDialog& d) { Ready(&d), proposed = TextOf(&d, 1085), p.Click(&d, 1020); });
       main.AddJob(p, user);
       EXPECT_EQ(proposed, "30");
       EXPECT_TRUE(answers.boxes.empty()) << answers.boxes.front();
       ASSERT_EQ(main.dlg.GetJobCount(), 1);
       EXPECT_DOUBLE_EQ(main.dlg.GetJob(0)->m_dFrameRate, 30.0);
     }},
    {"TheStopQuestionHoldsTheJobAndTheKeptPartEndsThere",
     [] {
       const std::string target = Scratch("held") + "/long_pmr.mpg";
       RealWindow main;
       ASSERT_NO_FATAL_FAILURE(AddLongJob(main.dlg, target));
       Pointer p;
       std::error_code ec;
       auto written = [&] { return std::filesystem::file_size(target + ".part", ec); };
       // While each question is open the part written does not grow.
       std::vector<std::uintmax_t> asked, answered;
       auto hold = [&](int answer) {
         UiSetMessageBoxHook([&, answer](const std::string&, const std::string&, UINT) {
           Settle(0.5);
           asked.push_back(written());
           Settle(2);
           answered.push_back(written());
           return answer;
         });
       };
       p.Click(&main.dlg, 1002);
       ASSERT_TRUE(WaitFor([&] { return written() > 100000; }, 120));
       hold(IDNO);
       p.Click(&main.dlg, 1002);
       ASSERT_TRUE(main.dlg.IsConverting());
       // No: the job goes on.
       const std::uintmax_t before = written();
       EXPECT_TRUE(WaitFor([&] { return written() > before + 20000; }, 60));
       ASSERT_TRUE(main.dlg.IsConverting());
       hold(IDYES);
       p.Click(&main.dlg, 1002);
       UiSetMessageBoxHook(nullptr);
       ASSERT_TRUE(WaitFor([&] { return !main.dlg.IsConverting(); }, 30));
       ASSERT_EQ(asked.size(), 2u);
       EXPECT_EQ(asked, answered) << asked[0] << " " << answered[0] << ", " << asked[1] << " " << answered[1];
       // The kept part ends where the user asked: its length is the
       // position the log names.
       const std::string log = main.dlg.GetRunLog();
       const size_t at = log.find("Stopped by the user at ");
       ASSERT_NE(at, std::string::npos) << log << TextOf(&main.dlg, IDC_PROGRESS_LINE);
       const double stoppedAt = std::atof(log.c_str() + at + 23);
       EXPECT_NEAR(SecondsOf(target), stoppedAt, 1.0) << log;
       EXPECT_LT(stoppedAt, kLongJobSeconds - 1.0);
     }},
    {"TheTypePageStartsInItsGroupAndAnEmptyListShowsItsFocus",
     [] {
       MainWindow main;
       Pointer p;
       UserDriver user;
       std::vector<int> focus;
       int chosen = -1, focusShows = 0;
       user.On(CDlgCvtType::IDD, [&](CDialog& d) {
         Ready(&d);
         if (!RealInput()) QApplication::setActiveWindow(W(&d)->window());  // as the desktop does
         focus.push_back(FocusId());
         Press("Down", Qt::Key_Down);  // the first arrow already chooses
         focus.push_back(FocusId());
         chosen = d.GetCheckedRadioButton(1000, 1047);
         KeepGrab(&d, "desktop-type-page-focus");
         // The arrow's move shows: the chosen radio looks otherwise without the focus.
         const QImage focused = W(&d, 1010)->grab().toImage();
         W(&d, 1007)->setFocus();
         Settle();
         focusShows = PixelsChanged(focused, W(&d, 1010)->grab().toImage());
         p.Click(&d, IDCANCEL);
       });
       main.Menu(p, 1001, ID_JOB_ADD, &user);
       EXPECT_EQ(focus, (std::vector<int>{1009, 1010}));  // MPEG, then VCD/SVCD/DVD
       EXPECT_EQ(chosen, 1010);
       EXPECT_GT(focusShows, 20);
       // The empty job list, reached with Tab, shows that it has the focus.
       QWidget* list = W(&main.dlg, 1000);
       if (!RealInput()) QApplication::setActiveWindow(W(&main.dlg)->window());
       W(&main.dlg, 1002)->setFocus();
       Settle();
       const QImage plain = list->grab().toImage();
       Press("Tab", Qt::Key_Tab);
       ASSERT_EQ(FocusId(), 1000);
       EXPECT_GT(PixelsChanged(plain, list->grab().toImage()), 100);
     }},
    {"LongPathsKeepTheirFileNames",
     [] {
       MainWindow main;
       const std::string folder = "/home/someone/videos/from/the/summer/of/that/year/with/the/long/names/";
       // Names that differ where a cut in the middle of the whole path falls.
       main.Hold(folder + "one-at-the-seaside.mpg");
       main.Hold(folder + "two-at-the-seaside.mpg");
       Settle(0.3);
       auto* view = qobject_cast<QAbstractItemView*>(W(&main.dlg, 1000));
       const QImage all = view->viewport()->grab().toImage();
       const QRect a = view->visualRect(view->model()->index(0, 1)), b = view->visualRect(view->model()->index(1, 1));
       // The two cells of the source column look different.
       EXPECT_GT(PixelsChanged(all.copy(a), all.copy(b)), 20);
       KeepGrab(&main.dlg, "desktop-long-paths");
     }},
    {"TheMovieChooserOffersMoviesOnceNamedWithWholeColumns",
     [] {
       if (!RealInput()) return;  // the toolkit's own chooser, on a desktop only
       CConvertOpt movie;
       movie.SetType(CONVERT_MPEG);
       QStringList kinds;
       int cut = -1;
       Pointer p;
       RunPage<CDlgVideoSource>(movie, [&](CDialog& d) {
         // The chooser runs its own modal loop: it is looked at from a timer
         // once it has been shown a while, then closed.
         QTimer look;
         int shown = 0;
         QObject::connect(&look, &QTimer::timeout, [&] {
           auto* chooser = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
           if (!chooser || !chooser->isVisible() || ++shown < 8) return;
           look.stop();
           if (auto* types = chooser->findChild<QComboBox*>("fileTypeCombo"))
             for (int i = 0; i < types->count(); ++i) kinds << types->itemText(i);
           if (auto* view = chooser->findChild<QTreeView*>("treeView")) {
             cut = 0;
             for (int c = 1; c < view->header()->count(); ++c)
               cut += view->header()->sectionSize(c) <
                      std::max(view->header()->sectionSizeHint(c),
                               static_cast<QAbstractItemView*>(view)->sizeHintForColumn(c));
             cut += view->model()->rowCount(view->rootIndex()) == 0;  // nothing shown would prove nothing
           }
           const QRect frame = chooser->frameGeometry();
           if (const char* dir = std::getenv("PELLOMAR_SHOTS"))
             QGuiApplication::primaryScreen()
                 ->grabWindow(0, frame.x(), frame.y(), frame.width(), frame.height())
                 .save(QString(dir) + "/movie-chooser.png");
           chooser->reject();
         });
         look.start(100);
         // The chooser opens where the samples are: rows of every column.
         const QString here = QDir::currentPath();
         QDir::setCurrent(QString::fromStdString(std::filesystem::path(Sample("mpeg2-ps-mp2.mpg")).parent_path().string()));
         p.Click(&d, 1023);
         QDir::setCurrent(here);
       });
       ASSERT_FALSE(kinds.isEmpty());
       EXPECT_EQ(kinds.at(1).toStdString(), "AVI Files (*.avi)");
       EXPECT_EQ(kinds.back().toStdString(), "All files (*.*)");
       EXPECT_EQ(cut, 0);
     }},
};

INSTANTIATE_TEST_SUITE_P(Faults, Desktop, ::testing::ValuesIn(kFaults),
                         [](const ::testing::TestParamInfo<Fault>& info) { return std::string(info.param.name); });

}  // namespace
