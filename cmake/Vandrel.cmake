# Shared build helpers: libraries, tests and the application bundle.

# vandrel_add_library(NAME SOURCES... [DEPS ...] [PRIVATE_DEPS ...])
function(vandrel_add_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS;PRIVATE_DEPS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR} ${PROJECT_BINARY_DIR})
  target_link_libraries(${name} PUBLIC ${ARG_DEPS} PRIVATE ${ARG_PRIVATE_DEPS})
endfunction()

# vandrel_add_test(NAME SOURCES... [LIBS ...] [NETNS [PIDNS]] [DBUS] [TIMEOUT s])
# NETNS runs the binary inside a private network and mount namespace made
# by scripts/netns-run (lo up, ICMP datagram sockets allowed); PIDNS adds a
# process namespace of its own, for tests that read the whole process
# table; DBUS runs it under its own session bus.
find_package(GTest REQUIRED)
function(vandrel_add_test name)
  cmake_parse_arguments(ARG "NETNS;PIDNS;DBUS" "TIMEOUT" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gmock GTest::gtest GTest::gtest_main
                        Threads::Threads)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR} ${PROJECT_BINARY_DIR})
  set(command $<TARGET_FILE:${name}>)
  set(labels unit)
  if(ARG_NETNS)
    set(command ${PROJECT_SOURCE_DIR}/scripts/netns-run ${command})
    if(ARG_PIDNS)
      set(command ${CMAKE_COMMAND} -E env VANDREL_NETNS_PIDS=1 ${command})
    endif()
    set(labels netns)
  endif()
  if(ARG_DBUS)
    set(command dbus-run-session -- ${command})
    list(APPEND labels dbus)
  endif()
  add_test(NAME ${name} COMMAND ${command})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 300)
  endif()
  set_tests_properties(${name} PROPERTIES
    LABELS "${labels}"
    TIMEOUT ${ARG_TIMEOUT}
    SKIP_RETURN_CODE 77
    ENVIRONMENT "VANDREL_SOURCE_DIR=${PROJECT_SOURCE_DIR};VANDREL_BINARY_DIR=${PROJECT_BINARY_DIR};VANDREL_BUNDLE=${VANDREL_BUNDLE_DIR};QT_QPA_PLATFORM=offscreen")
endfunction()

# Writes Contents/Info.json of the bundle in the build tree.
function(vandrel_write_bundle_info)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/Info.json.in ${VANDREL_CONTENTS_DIR}/Info.json @ONLY)
endfunction()
