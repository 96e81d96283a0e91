// Helpers shared by the robot's source files.
#pragma once
#include <windows.h>

#include <vector>

#include "ui_robot.h"

namespace uirobot {
namespace internal {

constexpr DWORD kPollMs = 20;

std::vector<HWND> TopLevelWindows();
// Children whose parent is this window (EnumChildWindows also gives grandchildren).
std::vector<HWND> DirectChildren(HWND parent);
bool PassesFilter(HWND window, const WindowFilter& filter);
bool SendWithTimeout(HWND window, UINT message, WPARAM wParam, LPARAM lParam, DWORD timeoutMs, DWORD_PTR* result);

}  // namespace internal
}  // namespace uirobot
