// printf into a string, for texts that are formatted once and kept (report texts, failures).
#pragma once
#include <string>

#define HALVORIN_PRINTF(formatIndex, firstArgument) \
    __attribute__((format(gnu_printf, formatIndex, firstArgument)))

// No length limit.
std::string FormatText(const char* format, ...) HALVORIN_PRINTF(1, 2);
