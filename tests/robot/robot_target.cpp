// robot_target.exe: shows windows in a process of its own for the robot's tests and
// tells through its exit code what its user did.
//   robot_target box CAPTION TEXT [yesno]  exit code: the MessageBoxA result
//   robot_target boxes N PREFIX             N boxes one after another, captions "PREFIX 1"...;
//                                           exit code: how many returned IDOK
//   robot_target dialog [topmost]           the test progress dialog until WM_CLOSE;
//                                           exit code: EncodeDialogOutcome
#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "test_dialog.h"

int main(int argc, char** argv) {
    if (argc >= 4 && std::strcmp(argv[1], "box") == 0) {
        UINT type = MB_ICONERROR | (argc >= 5 && std::strcmp(argv[4], "yesno") == 0 ? MB_YESNO : MB_OK);
        return MessageBoxA(nullptr, argv[3], argv[2], type);
    }
    if (argc >= 4 && std::strcmp(argv[1], "boxes") == 0) {
        int n = std::atoi(argv[2]);
        int ok = 0;
        for (int i = 1; i <= n; ++i) {
            std::string caption = std::string(argv[3]) + " " + std::to_string(i);
            std::string text = "Box " + std::to_string(i) + " of " + std::to_string(n);
            if (MessageBoxA(nullptr, text.c_str(), caption.c_str(), MB_OK | MB_ICONERROR) == IDOK) ++ok;
        }
        return ok;
    }
    if (argc >= 2 && std::strcmp(argv[1], "dialog") == 0) {
        robottest::DialogParams params = robottest::StandardDialogParams();
        params.topmost = argc >= 3 && std::strcmp(argv[2], "topmost") == 0;
        robottest::DialogRecord record;
        INT_PTR result = robottest::RunTestDialog(params, &record);
        return robottest::EncodeDialogOutcome(record, result);
    }
    return 100;
}
