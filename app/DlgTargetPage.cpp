#include "app/DlgTargetPage.h"

#include "app/DlgTargetStandIn.h"

std::unique_ptr<CDlgTargetPage> CreateTargetPage(int type, CWnd* parent) {
  static const char* const kExtensions[] = {".avi", ".asf", ".mpg", ".mpg", ".mpg", ".3gp",
                                            ".mp4", ".mp4", ".mp4", ".flv", "",     ".avi"};
  if (type < 0 || type >= CONVERT_TYPE_COUNT) return nullptr;
  return std::make_unique<CDlgTargetStandIn>(kExtensions[type], parent);
}
