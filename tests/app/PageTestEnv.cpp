#include "tests/app/PageTestEnv.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTest>
#include <QTimer>
#include <QWidget>
#include <cstdio>
#include <filesystem>

#include "app/TambrelApp.h"
#include "platform/ui/FileDialog.h"
#include "platform/ui/WindowRecord.h"

namespace pagetest {
namespace {

class PageEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    static int argc = 1;
    static char name[] = "page-tests";
    static char* argv[] = {name, nullptr};
    qapp_ = std::make_unique<QApplication>(argc, argv);
    app_ = std::make_unique<CTambrelApp>();
    app_->StartUp();
    // The test program does not sit beside the resource module.
    if (!AfxGetResourceHandle()) {
      module_ = UiLoadResourceModule(PMRHELPER_MODULE);
      ASSERT_NE(module_, nullptr);
      AfxSetResourceHandle(module_);
    }
    ASSERT_NE(AfxGetInstanceHandle(), nullptr);
  }
  void TearDown() override {
    UiPumpMessages();
    app_->ExitInstance();
    if (module_) UiFreeResourceModule(module_);
    app_.reset();
    qapp_.reset();
  }

 private:
  std::unique_ptr<QApplication> qapp_;
  std::unique_ptr<CTambrelApp> app_;
  HINSTANCE module_ = nullptr;
};

const auto* const g_env = ::testing::AddGlobalTestEnvironment(new PageEnvironment);

QWidget* WidgetOf(CWnd* window, int id) {
  CWnd* control = window ? window->GetDlgItem(id) : nullptr;
  return control ? control->GetWidget() : nullptr;
}

}  // namespace

std::string Sample(const std::string& name) {
  const char* dir = std::getenv("PELLOMAR_TEST_DATA");
  return std::string(dir ? dir : PELLOMAR_SOURCE_DIR "/tests/data") + "/" + name;
}

std::string Scratch(const std::string& name) {
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string dir = std::filesystem::current_path().string() + "/page-scratch/" +
                    (info ? std::string(info->test_suite_name()) + "." + info->name() : std::string("any")) + "/" +
                    name;
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  return dir;
}

std::string Run(const std::string& command, int* status) {
  std::string out;
  FILE* p = popen(command.c_str(), "r");
  if (!p) return out;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, p)) > 0) out.append(buffer, n);
  const int st = pclose(p);
  if (status) *status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return out;
}

bool MakeWithFfmpeg(const std::string& arguments, const std::string& output) {
  int status = -1;
  Run("ffmpeg -v error -y -nostdin " + arguments + " '" + output + "' 2>&1", &status);
  return status == 0;
}

bool WaitFor(const std::function<bool()>& done, double seconds) {
  QElapsedTimer clock;
  clock.start();
  while (!done()) {
    if (clock.elapsed() > seconds * 1000.0) return done();
    QEventLoop loop;
    QTimer::singleShot(10, &loop, &QEventLoop::quit);
    loop.exec();
  }
  return true;
}

QImage Grab(CWnd* wnd) {
  const std::string path = Scratch("grab") + "/window.png";
  if (!UiGrabWindow(wnd, path.c_str())) return {};
  return QImage(QString::fromStdString(path)).convertToFormat(QImage::Format_RGB32);
}

void KeepGrab(CWnd* wnd, const std::string& name) {
  const std::string dir = std::filesystem::current_path().string() + "/page-grabs";
  std::filesystem::create_directories(dir);
  UiGrabWindow(wnd, (dir + "/" + name + ".png").c_str());
}

void Click(CWnd* window, int id) {
  QWidget* w = WidgetOf(window, id);
  ASSERT_NE(w, nullptr) << "no control " << id;
  ASSERT_TRUE(w->isVisible()) << "control " << id << " is hidden";
  ASSERT_TRUE(w->isEnabled()) << "control " << id << " is disabled";
  QTest::mouseClick(w, Qt::LeftButton, Qt::NoModifier, w->rect().center());
}

void Type(CWnd* window, int id, const std::string& text) {
  QWidget* w = WidgetOf(window, id);
  ASSERT_NE(w, nullptr) << "no control " << id;
  // Focus follows the click only in the active window.
  QApplication::setActiveWindow(w->window());
  QTest::mouseClick(w, Qt::LeftButton, Qt::NoModifier, w->rect().center());
  w->setFocus(Qt::MouseFocusReason);
  QTest::keyClick(w, Qt::Key_A, Qt::ControlModifier);
  QTest::keyClick(w, Qt::Key_Delete);
  QTest::keyClicks(w, QString::fromStdString(text));
}

void Choose(CWnd* window, int id, const std::string& text) {
  auto* combo = qobject_cast<QComboBox*>(WidgetOf(window, id));
  ASSERT_NE(combo, nullptr) << "no combo box " << id;
  const int index = combo->findText(QString::fromStdString(text));
  ASSERT_GE(index, 0) << "combo box " << id << " has no item " << text;
  combo->setCurrentIndex(index);
  // What the list sends when the user picks an item.
  combo->activated(index);
}

std::string TextOf(CWnd* window, int id) {
  std::string text;
  if (window) window->GetDlgItemText(id, text);
  return text;
}

UserDriver::UserDriver() : m_alive(std::make_shared<bool>(true)) { Tick(); }

UserDriver::~UserDriver() { *m_alive = false; }

UserDriver& UserDriver::On(UINT templateId, Action action) {
  m_steps.push_back({templateId, std::move(action)});
  return *this;
}

bool UserDriver::Done() const { return m_next >= m_steps.size(); }

void UserDriver::Tick() {
  // A new single-shot timer each time: a step may open a nested modal loop,
  // inside which the next tick must still come.
  std::weak_ptr<bool> alive = m_alive;
  QTimer::singleShot(15, [this, alive] {
    if (alive.expired()) return;
    Tick();
    if (Done()) return;
    QWidget* modal = QApplication::activeModalWidget();
    UiWindow* rec = modal ? UiFindWindow(modal) : nullptr;
    auto* page = rec ? dynamic_cast<CDialog*>(rec->wnd) : nullptr;
    if (!page || page == m_pActing || !modal->isVisible() || page->m_nIDTemplate != m_steps[m_next].templateId)
      return;
    Action action = m_steps[m_next].action;
    ++m_next;
    CDialog* const outer = m_pActing;
    m_pActing = page;
    action(*page);
    m_pActing = outer;
    // A step that could not do its part cancels the page, so the test ends
    // instead of waiting for a page that nobody closes.
    if (::testing::Test::HasFatalFailure() && IsWindow(page->m_hWnd)) page->PostMessage(WM_COMMAND, IDCANCEL);
  });
}

BoxRecorder::BoxRecorder() {
  UiSetMessageBoxHook([this](const std::string& text, const std::string&, UINT type) {
    seen.push_back({text, type});
    return (type & 0xF) == MB_YESNO ? IDNO : IDOK;
  });
}

BoxRecorder::~BoxRecorder() { UiSetMessageBoxHook(nullptr); }

ChooserAnswer::ChooserAnswer() {
  UiSetFileDialogHook([this](const UiFileRequest& request, std::vector<std::string>& chosen) {
    ++asked;
    filters.clear();
    for (const auto& f : request.filters) filters.push_back(f.first + "|" + f.second);
    chosen = next;
    return !chosen.empty();
  });
}

ChooserAnswer::~ChooserAnswer() { UiSetFileDialogHook(nullptr); }

}  // namespace pagetest
