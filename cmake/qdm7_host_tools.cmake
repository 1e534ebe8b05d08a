# The programs the tests run on the build machine, as qdm7::qdm7-sim. A native
# build runs its own; a cross build's tests under Wine need a native qdm7-sim
# too, and get it in one of two ways, chosen by QDM7_HOST_TOOLS_DIR:
# - empty (the default): this source tree is built again for the host
#   compiler (Release, no tests, just qdm7-sim) in <build>/host-tools;
# - a native build folder of this project with qdm7-sim built: its
#   qdm7-host-tools.cmake, checked here.
# Either way <build>/host-tools.txt names the simulator for scripts, and the
# target qdm7-host-tools builds it.
if(NOT CMAKE_CROSSCOMPILING)
  add_executable(qdm7::qdm7-sim ALIAS qdm7-sim)
  return()
endif()

set(QDM7_HOST_TOOLS_DIR "" CACHE PATH
    "Native build folder whose qdm7-sim the Windows tests run (empty: build one in this build)")

if(QDM7_HOST_TOOLS_DIR)
  set(exports ${QDM7_HOST_TOOLS_DIR}/qdm7-host-tools.cmake)
  if(NOT EXISTS ${exports})
    message(FATAL_ERROR "QDM7_HOST_TOOLS_DIR: ${QDM7_HOST_TOOLS_DIR} is not a configured native "
            "build of this project (no qdm7-host-tools.cmake in it).\n"
            "Configure and build one there (e.g. cmake --preset release && cmake --build "
            "--preset release --target qdm7-sim), or leave QDM7_HOST_TOOLS_DIR empty to "
            "build the host tools in this build.")
  endif()
  include(${exports})
  get_target_property(sim qdm7::qdm7-sim LOCATION)
  if(NOT EXISTS ${sim})
    message(FATAL_ERROR "QDM7_HOST_TOOLS_DIR: ${sim} is not built yet: build the target "
            "qdm7-sim in ${QDM7_HOST_TOOLS_DIR} first.")
  endif()
  add_custom_target(qdm7-host-tools)
else()
  include(ExternalProject)
  set(host_build ${PROJECT_BINARY_DIR}/host-tools)
  set(sim ${host_build}/tools/qdm7-sim/qdm7-sim)
  cmake_host_system_information(RESULT cores QUERY NUMBER_OF_LOGICAL_CORES)
  # Built on every build (a quick no-op when nothing changed), so that the
  # simulator follows its sources.
  ExternalProject_Add(qdm7-host-tools
    SOURCE_DIR ${PROJECT_SOURCE_DIR}
    BINARY_DIR ${host_build}
    CMAKE_ARGS -DCMAKE_BUILD_TYPE=Release -DQDM7_BUILD_TESTS=OFF
               -DCMAKE_COMPILE_WARNING_AS_ERROR=${CMAKE_COMPILE_WARNING_AS_ERROR}
    BUILD_COMMAND ${CMAKE_COMMAND} --build ${host_build} --target qdm7-sim --parallel ${cores}
    BUILD_ALWAYS ON
    BUILD_BYPRODUCTS ${sim}
    INSTALL_COMMAND ""
    USES_TERMINAL_CONFIGURE ON
    USES_TERMINAL_BUILD ON)
  add_executable(qdm7::qdm7-sim IMPORTED GLOBAL)
  set_target_properties(qdm7::qdm7-sim PROPERTIES IMPORTED_LOCATION ${sim})
  add_dependencies(qdm7::qdm7-sim qdm7-host-tools)
endif()

file(GENERATE OUTPUT ${PROJECT_BINARY_DIR}/host-tools.txt
     CONTENT "qdm7-sim=$<TARGET_FILE:qdm7::qdm7-sim>\n")
