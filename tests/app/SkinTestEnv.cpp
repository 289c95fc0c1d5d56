#include "tests/app/SkinTestEnv.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <memory>

namespace {

class SkinEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    static int argc = 1;
    static char name[] = "skin-tests";
    static char* argv[] = {name, nullptr};
    app_ = std::make_unique<QApplication>(argc, argv);
    module_ = UiLoadResourceModule(PMRHELPER_MODULE);
    ASSERT_NE(module_, nullptr);
    AfxSetResourceHandle(module_);
  }
  void TearDown() override {
    AfxSetResourceHandle(nullptr);
    UiPumpMessages();
    UiFreeResourceModule(module_);
    app_.reset();
  }

 private:
  std::unique_ptr<QApplication> app_;
  HINSTANCE module_ = nullptr;
};

const auto* const g_env = ::testing::AddGlobalTestEnvironment(new SkinEnvironment);

}  // namespace

QImage GrabWindow(CWnd* wnd) {
  std::string path = "/tmp/pellomar-skin-grab-" + std::to_string(::getpid()) + ".png";
  if (!UiGrabWindow(wnd, path.c_str())) return {};
  QImage image(QString::fromStdString(path));
  ::unlink(path.c_str());
  return image.convertToFormat(QImage::Format_RGB32);
}
