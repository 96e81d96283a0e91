// ImageTime and the Windows SYSTEMTIME it mirrors field for field.
#pragma once
#include <windows.h>

#include "common/image_model.h"

inline SYSTEMTIME ToSystemTime(const ImageTime& time) {
    SYSTEMTIME system;
    system.wYear = time.year;
    system.wMonth = time.month;
    system.wDayOfWeek = time.dayOfWeek;
    system.wDay = time.day;
    system.wHour = time.hour;
    system.wMinute = time.minute;
    system.wSecond = time.second;
    system.wMilliseconds = time.milliseconds;
    return system;
}
