# Builds each preset named in QDM7_PRESETS in its own folder (build/<preset>,
# as `cmake --preset <preset> && cmake --build --preset <preset>` would, and
# one at a time), and runs all their tests as this build's tests. A workflow
# preset takes a single configure preset; this is how one covers several.
include(ExternalProject)
cmake_host_system_information(RESULT cores QUERY NUMBER_OF_LOGICAL_CORES)
set(previous)
set(test_dirs)
foreach(preset IN LISTS QDM7_PRESETS)
  set(preset_build ${PROJECT_SOURCE_DIR}/build/${preset})
  if(preset_build STREQUAL PROJECT_BINARY_DIR)
    message(FATAL_ERROR "QDM7_PRESETS: ${preset} is this build itself")
  endif()
  # Configured on every build, so that changes to the presets count.
  ExternalProject_Add(preset-${preset}
    SOURCE_DIR ${PROJECT_SOURCE_DIR}
    BINARY_DIR ${preset_build}
    CONFIGURE_COMMAND ""
    BUILD_COMMAND ${CMAKE_COMMAND} -S ${PROJECT_SOURCE_DIR} --preset ${preset}
          COMMAND ${CMAKE_COMMAND} --build ${preset_build} --parallel ${cores}
    BUILD_ALWAYS ON
    INSTALL_COMMAND ""
    USES_TERMINAL_BUILD ON
    DEPENDS ${previous})
  set(previous preset-${preset})
  string(APPEND test_dirs "subdirs(\"${preset_build}\")\n")
endforeach()

enable_testing()
file(WRITE ${PROJECT_BINARY_DIR}/preset_tests.cmake "${test_dirs}")
set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${PROJECT_BINARY_DIR}/preset_tests.cmake)
