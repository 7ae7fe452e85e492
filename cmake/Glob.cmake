# Source lists are gathered from the folders so that new class files join the build
# without touching the build scripts.
function(project_sources out)
  set(files)
  foreach(dir IN LISTS ARGN)
    file(GLOB_RECURSE found CONFIGURE_DEPENDS
         "${dir}/*.cpp" "${dir}/*.cc" "${dir}/*.c")
    list(APPEND files ${found})
  endforeach()
  set(${out} ${files} PARENT_SCOPE)
endfunction()

# Adds every immediate sub-folder of the current folder that has a CMakeLists.txt.
function(add_child_directories)
  file(GLOB children LIST_DIRECTORIES true "${CMAKE_CURRENT_SOURCE_DIR}/*")
  list(SORT children)
  foreach(child IN LISTS children)
    if(IS_DIRECTORY "${child}" AND EXISTS "${child}/CMakeLists.txt")
      add_subdirectory("${child}")
    endif()
  endforeach()
endfunction()

# A static library of every source below the given folders (an interface library while empty).
function(project_library name)
  project_sources(sources ${ARGN})
  if(sources)
    add_library(${name} STATIC ${sources})
    set(scope PUBLIC)
  else()
    add_library(${name} INTERFACE)
    set(scope INTERFACE)
  endif()
  set(${name}_SCOPE ${scope} PARENT_SCOPE)
endfunction()
