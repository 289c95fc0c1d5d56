#include "app/TakenTargets.h"

#include <sys/stat.h>

#include <filesystem>

#include "platform/ui/MessageBox.h"

bool IsTakenTarget(const std::string& target) {
  struct stat st {};
  return !target.empty() && ::stat(target.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string TargetKey(const std::string& path) {
  std::error_code ec;
  const std::filesystem::path absolute = std::filesystem::absolute(path, ec);
  return (ec ? std::filesystem::path(path) : absolute).lexically_normal().string();
}

bool HasTarget(const std::vector<std::string>& targets, const std::string& target) {
  if (target.empty()) return false;
  const std::string key = TargetKey(target);
  for (const std::string& t : targets)
    if (!t.empty() && TargetKey(t) == key) return true;
  return false;
}

std::string TakenTargetsText(const std::vector<std::string>& targets, size_t ofJobs) {
  // A long batch names its first files; the count says the rest.
  constexpr size_t kNamed = 10;
  const bool one = targets.size() == 1;
  std::string text = ofJobs == 0               ? (one ? "This target already exists:\n" : "These targets already exist:\n")
                     : ofJobs == targets.size() ? (one ? "This target is the target of another job already:\n"
                                                       : "These targets are the targets of other jobs already:\n")
                                                : "These targets already exist, or other jobs have them already:\n";
  for (size_t i = 0; i < targets.size() && i < kNamed; ++i) text += "    " + targets[i] + "\n";
  if (targets.size() > kNamed) text += "    and " + std::to_string(targets.size() - kNamed) + " more\n";
  return text;
}

int TargetMessageBox(CWnd* asker, const std::string& text, UINT style) {
  return asker && asker->GetSafeHwnd() ? asker->MessageBox(text.c_str(), "Pellomar", style) : AfxMessageBox(text, style);
}

int AskToReplace(CWnd* asker, const std::string& taken, size_t count, UINT buttons, const std::string& more) {
  const std::string question =
      taken + (count == 1 ? "\nDo you want to replace it?" : "\nDo you want to replace them?") + more;
  return TargetMessageBox(asker, question, buttons | MB_ICONEXCLAMATION | MB_DEFBUTTON2);
}
