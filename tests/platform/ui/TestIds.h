// Resource and control ids of the test resource module.
#pragma once

#include "platform/win32/Types.h"

constexpr UINT kDlgForm = 200;
constexpr UINT kDlgPicture = 201;
constexpr UINT kDlgText = 202;
constexpr UINT kDlgPage = 203;
constexpr UINT kDlgShownPage = 204;
constexpr UINT kMenuMain = 300;
constexpr UINT kStrQuestion = 128;
constexpr UINT kStrHello = 129;
constexpr UINT kBmpStrip = 157;
constexpr UINT kIconApp = 128;

constexpr int kIdName = 1001;
constexpr int kIdCount = 1002;
constexpr int kIdCheck = 1003;
constexpr int kIdRadio1 = 1004;
constexpr int kIdRadio2 = 1005;
constexpr int kIdRadio3 = 1006;
constexpr int kIdCombo = 1007;
constexpr int kIdList = 1008;
constexpr int kIdLabel = 1009;
constexpr int kIdProgress = 1010;
constexpr int kIdRate = 1011;
constexpr int kIdBlack = 1020;

constexpr UINT kCmdOpen = 40001;
constexpr UINT kCmdRemove = 40002;
constexpr UINT kCmdAbout = 40003;
