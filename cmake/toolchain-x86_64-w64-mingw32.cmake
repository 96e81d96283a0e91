# Cross build for 64-bit Windows: the same sources as the shipping target, run under 64-bit Wine by the tests.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(HALVORIN_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER   ${HALVORIN_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${HALVORIN_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER  ${HALVORIN_TRIPLE}-windres)
set(HALVORIN_WIDL      ${HALVORIN_TRIPLE}-widl)
set(CMAKE_FIND_ROOT_PATH /usr/${HALVORIN_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Test programs run through Wine (see scripts/wine-run).
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run)
