#include "tests/app/AppTestEnv.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QPlainTextEdit>
#include <QTimer>
#include <QWidget>
#include <cstdlib>
#include <memory>

#include "platform/codecs/CodecsRegister.h"
#include "platform/com/ComBase.h"
#include "platform/dshow/DShowRegister.h"
#include "platform/dshow/Errors.h"
#include "platform/dshow/FilterGraph.h"
#include "platform/wmf/WmfRegister.h"

namespace apptest {
namespace {

class AppEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    static int argc = 1;
    static char name[] = "app-tests";
    static char* argv[] = {name, nullptr};
    app_ = std::make_unique<QApplication>(argc, argv);
    // Captions of framework boxes come from the application object.
    winApp_ = std::make_unique<CWinApp>("Pellomar");
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    ASSERT_TRUE(SUCCEEDED(DShowRegisterPlatform()));
    // Real conversions run too: the codec and Windows Media stand-ins.
    ASSERT_TRUE(SUCCEEDED(CodecsRegisterPlatform()));
    ASSERT_TRUE(SUCCEEDED(WmfRegisterPlatform()));
    DShowRegisterMessages();
    SetGraphNotifyHook(UiPostGraphNotify);
    module_ = UiLoadResourceModule(PMRHELPER_MODULE);
    ASSERT_NE(module_, nullptr);
    AfxSetResourceHandle(module_);
  }
  void TearDown() override {
    AfxSetResourceHandle(nullptr);
    UiPumpMessages();
    SetGraphNotifyHook(nullptr);
    UiFreeResourceModule(module_);
    CoUninitialize();
    winApp_.reset();
    app_.reset();
  }

 private:
  std::unique_ptr<QApplication> app_;
  std::unique_ptr<CWinApp> winApp_;
  HINSTANCE module_ = nullptr;
};

const auto* const g_env = ::testing::AddGlobalTestEnvironment(new AppEnvironment);

}  // namespace

struct ModalWatcher::Impl {
  QTimer timer;
};

ModalWatcher::ModalWatcher() : m_impl(new Impl) {
  QObject::connect(&m_impl->timer, &QTimer::timeout, [this] {
    QWidget* modal = QApplication::activeModalWidget();
    if (!modal) return;
    ModalSeen s;
    s.title = modal->windowTitle().toStdString();
    if (auto* edit = modal->findChild<QPlainTextEdit*>()) s.text = edit->toPlainText().toStdString();
    seen.push_back(s);
    modal->close();
  });
  m_impl->timer.start(20);
}

ModalWatcher::~ModalWatcher() { delete m_impl; }

bool WaitFor(const std::function<bool()>& done, int seconds) {
  QElapsedTimer clock;
  clock.start();
  while (!done()) {
    if (clock.elapsed() > seconds * 1000LL) return done();
    QEventLoop loop;
    QTimer::singleShot(10, &loop, &QEventLoop::quit);
    loop.exec();
  }
  return true;
}

BoxHook::BoxHook(std::function<int(const BoxSeen&)> answer) : m_answer(std::move(answer)) {
  UiSetMessageBoxHook([this](const std::string& text, const std::string& caption, UINT type) {
    BoxSeen box{text, caption, type};
    seen.push_back(box);
    if (m_answer) return m_answer(box);
    return (type & 0xF) == MB_YESNO ? IDNO : IDOK;
  });
}

BoxHook::~BoxHook() { UiSetMessageBoxHook(nullptr); }

std::string GrabPath(const std::string& name) {
  // The run on a desktop (on-desktop.sh) keeps its grabs apart from the
  // offscreen run beside it.
  const char* desktop = std::getenv("PELLOMAR_DESKTOP");
  const std::string dir = std::string(APP_GRAB_DIR) + (desktop ? std::string("/") + desktop : std::string());
  QDir().mkpath(QString::fromStdString(dir));
  return dir + "/" + name + ".png";
}

}  // namespace apptest
