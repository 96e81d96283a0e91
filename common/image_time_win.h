// ImageTime and the Windows SYSTEMTIME it mirrors field for field.
#pragma once
#include <windows.h>

#include "common/image_model.h"

inline ImageTime FromSystemTime(const SYSTEMTIME& system) {
    ImageTime time;
    time.year = system.wYear;
    time.month = system.wMonth;
    time.dayOfWeek = system.wDayOfWeek;
    time.day = system.wDay;
    time.hour = system.wHour;
    time.minute = system.wMinute;
    time.second = system.wSecond;
    time.milliseconds = system.wMilliseconds;
    return time;
}

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
