#include "tests/platform/ui/UiTestEnv.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <memory>

namespace {

HINSTANCE g_module = nullptr;

class UiEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    static int argc = 1;
    static char name[] = "ui-tests";
    static char* argv[] = {name, nullptr};
    app_ = std::make_unique<QApplication>(argc, argv);
    UiEnsureMessagePumpForTests();
    g_module = UiLoadResourceModule(UI_TEST_RESOURCE_MODULE);
    AfxSetResourceHandle(g_module);
  }
  void TearDown() override {
    AfxSetResourceHandle(nullptr);
    UiPumpMessages();
    UiFreeResourceModule(g_module);
    app_.reset();
  }

 private:
  static void UiEnsureMessagePumpForTests() { UiPumpMessages(); }
  std::unique_ptr<QApplication> app_;
};

const auto* const g_env = ::testing::AddGlobalTestEnvironment(new UiEnvironment);

}  // namespace

HINSTANCE TestResources() { return g_module; }

bool RunUntil(const std::function<bool()>& done) {
  QElapsedTimer safety;
  safety.start();
  while (!done()) {
    if (safety.elapsed() > 20000) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 50);
  }
  UiPumpMessages();
  return true;
}
