# GoogleTest from Debian's sources, built with the compiler and flags of this build,
# and a helper that declares one test program.
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
# GoogleTest's own code is not ours to warn about.
foreach(lib gtest gtest_main)
  target_compile_options(${lib} PRIVATE -w)
endforeach()

enable_testing()

# halvorin_add_test(NAME <name> SOURCES <files...> [LIBS <libs...>] [LABELS <labels...>]
#                   [RESOURCE_LOCK <locks...>] [TIMEOUT <seconds>])
# Native test programs run directly; Windows ones run through Wine (the cross
# build's emulator).
function(halvorin_add_test)
  cmake_parse_arguments(T "" "NAME;TIMEOUT" "SOURCES;LIBS;LABELS;RESOURCE_LOCK" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} gtest_main gtest)
  halvorin_expose(${T_NAME} PRIVATE tests)
  add_test(NAME ${T_NAME} COMMAND ${T_NAME})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set_tests_properties(${T_NAME} PROPERTIES TIMEOUT ${T_TIMEOUT}
    ENVIRONMENT "HALVORIN_SOURCE_DIR=${CMAKE_SOURCE_DIR};HALVORIN_BIN_DIR=${HALVORIN_OUT_DIR}")
  if(T_LABELS)
    set_tests_properties(${T_NAME} PROPERTIES LABELS "${T_LABELS}")
  endif()
  if(T_RESOURCE_LOCK)
    set_tests_properties(${T_NAME} PROPERTIES RESOURCE_LOCK "${T_RESOURCE_LOCK}")
  endif()
endfunction()
