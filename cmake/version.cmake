# The package's one version number, from the file VERSION at the top of the tree: it goes
# into every program's and library's version resource, the type library's version
# (its first two parts) and the name of the package.
file(STRINGS ${CMAKE_SOURCE_DIR}/VERSION HALVORIN_VERSION LIMIT_COUNT 1)
if(NOT HALVORIN_VERSION MATCHES "^([0-9]+)\\.([0-9]+)\\.([0-9]+)\\.([0-9]+)$")
  message(FATAL_ERROR "VERSION must hold four numbers, such as 1.0.0.1")
endif()
set(HALVORIN_VERSION_MAJOR ${CMAKE_MATCH_1})
set(HALVORIN_VERSION_MINOR ${CMAKE_MATCH_2})
set(HALVORIN_VERSION_PATCH ${CMAKE_MATCH_3})
set(HALVORIN_VERSION_BUILD ${CMAKE_MATCH_4})
set(HALVORIN_VERSION_DIR ${CMAKE_BINARY_DIR}/version)
configure_file(${CMAKE_SOURCE_DIR}/cmake/halvorin_version.h.in ${HALVORIN_VERSION_DIR}/halvorin_version.h @ONLY)

# halvorin_version_resource(<target> <file description> <original file name> <APP|DLL>)
# Gives a Windows program or library its version resource.
function(halvorin_version_resource target description original kind)
  set(HALVORIN_RESOURCE_DESCRIPTION "${description}")
  set(HALVORIN_RESOURCE_NAME "${original}")
  set(HALVORIN_RESOURCE_INTERNAL "${target}")
  set(HALVORIN_RESOURCE_TYPE VFT_${kind})
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc)
  configure_file(${CMAKE_SOURCE_DIR}/cmake/version.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
  target_include_directories(${target} PRIVATE ${HALVORIN_VERSION_DIR})
endfunction()
