# The layers are kept apart by the build, not by review:
# - a library offers its headers under "<name>/<file>" from a folder of links made here, so the
#   repository root is never an include folder and a header left out (platform/detail/) cannot
#   be reached from outside;
# - nlohmann-json lives behind platform/: every other target sees a json.hpp that stops the build.

# Offers the headers directly in `folder` (not its sub-folders) to users of `target` as
# "<name>/<file>". New headers are picked up when the build configures again.
function(offer_headers target name folder)
  set(offered ${CMAKE_BINARY_DIR}/offered/${target})
  file(GLOB headers CONFIGURE_DEPENDS "${folder}/*.h")
  file(REMOVE_RECURSE ${offered})
  file(MAKE_DIRECTORY ${offered}/${name})
  foreach(header IN LISTS headers)
    get_filename_component(file ${header} NAME)
    file(CREATE_LINK ${header} ${offered}/${name}/${file} SYMBOLIC)
  endforeach()
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "INTERFACE_LIBRARY")
    target_include_directories(${target} INTERFACE ${offered})
  else()
    target_include_directories(${target} PUBLIC ${offered})
  endif()
endfunction()

# Keeps nlohmann-json out of `target` and of everything that links it.
function(guard_json_layer target)
  target_include_directories(${target} BEFORE PUBLIC ${PROJECT_SOURCE_DIR}/cmake/layer_guard)
endfunction()
