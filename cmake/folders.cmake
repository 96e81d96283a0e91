# halvorin_expose(<target> <PUBLIC|INTERFACE|PRIVATE> <folder>)
# Makes "<folder>/..." includes reachable for the target (and, PUBLIC or INTERFACE, for
# whatever links it) through a directory of the build tree that holds one link, named
# after the folder, to the folder. No target sees the source root itself, so a folder's
# headers are found only by targets that link its library.
function(halvorin_expose target scope folder)
  set(dir ${CMAKE_BINARY_DIR}/exposed/${folder})
  if(NOT EXISTS ${dir}/${folder})
    file(MAKE_DIRECTORY ${dir})
    file(CREATE_LINK ${CMAKE_SOURCE_DIR}/${folder} ${dir}/${folder} SYMBOLIC)
  endif()
  target_include_directories(${target} ${scope} ${dir})
endfunction()
