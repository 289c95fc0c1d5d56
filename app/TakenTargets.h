// Targets whose names are taken already, by a file or by another job, and
// the one question that asks the user whether to replace them.
#pragma once

#include <string>
#include <vector>

#include "platform/ui/Wnd.h"

// A target whose name a file has already (one a job would replace).
bool IsTakenTarget(const std::string& target);
// The name under which two paths of one target compare equal (absolute,
// without "." and ".." steps).
std::string TargetKey(const std::string& path);
// Whether `targets` holds `target` under one of its names.
bool HasTarget(const std::vector<std::string>& targets, const std::string& target);
// "These targets already exist:" and their names, one a line; `ofJobs`
// says how many of them are targets of other jobs rather than files.
std::string TakenTargetsText(const std::vector<std::string>& targets, size_t ofJobs = 0);

// A message box about targets: it belongs to `asker`, or to the main
// window when the asker has no window. Returns the button pressed.
int TargetMessageBox(CWnd* asker, const std::string& text, UINT style);

// Asks whether what `taken` describes (`count` names) may be replaced:
// the description, "Do you want to replace it?" (them, for more than one)
// and `more`, with No as the default button; `buttons` is MB_YESNO or
// MB_YESNOCANCEL.
int AskToReplace(CWnd* asker, const std::string& taken, size_t count, UINT buttons = MB_YESNO,
                 const std::string& more = std::string());
