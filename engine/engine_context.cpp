#include "engine/engine_context.h"

#include <cstdarg>

void EngineContext::WriteLog(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    log.WriteV(format, arguments);
    va_end(arguments);
}
