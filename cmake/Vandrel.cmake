# Shared build helpers: libraries, tests and the application bundle.

# vandrel_add_library(NAME SOURCES... [DEPS ...] [PRIVATE_DEPS ...])
function(vandrel_add_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS;PRIVATE_DEPS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR} ${PROJECT_BINARY_DIR})
  target_link_libraries(${name} PUBLIC ${ARG_DEPS} PRIVATE ${ARG_PRIVATE_DEPS})
endfunction()

# vandrel_add_test(NAME SOURCES... [LIBS ...] [NETNS [PIDNS]] [DBUS] [HANDLES_SIGNALS] [TIMEOUT s]
#                  [NO_ASAN reason] [NO_TSAN reason])
# NETNS runs the binary inside a private network and mount namespace made
# by scripts/netns-run (lo up, ICMP datagram sockets allowed); PIDNS adds a
# process namespace of its own, for tests that read the whole process
# table; DBUS runs it under its own session bus. HANDLES_SIGNALS: the test
# or its children catch fatal signals themselves; the sanitizers leave those
# signals to them (cmake/Guards.cmake). NO_ASAN / NO_TSAN keep a test out of
# that sanitizer's run (it stays registered and shows as not run); the
# reason is required: only a test that must die by a signal, or that forks
# or execs in a way the sanitizer cannot follow, may opt out.
find_package(GTest REQUIRED)
function(vandrel_add_test name)
  cmake_parse_arguments(ARG "NETNS;PIDNS;DBUS;HANDLES_SIGNALS" "TIMEOUT;NO_ASAN;NO_TSAN"
                        "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gmock GTest::gtest GTest::gtest_main
                        Threads::Threads)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR} ${PROJECT_BINARY_DIR})
  vandrel_register_test(${name} $<TARGET_FILE:${name}> ${ARGN})
endfunction()

# vandrel_register_test(NAME COMMAND [NETNS [PIDNS]] [DBUS] [HANDLES_SIGNALS] [TIMEOUT s]
#                       [NO_ASAN reason] [NO_TSAN reason] [LABELS ...] [ARGS ...])
# Registers an executable that is already defined as a test with the
# wrappers, labels and environment every test gets.
function(vandrel_register_test name executable)
  cmake_parse_arguments(ARG "NETNS;PIDNS;DBUS;HANDLES_SIGNALS" "TIMEOUT;NO_ASAN;NO_TSAN"
                        "SOURCES;LIBS;LABELS;ARGS" ${ARGN})
  foreach(sanitizer ASAN TSAN)
    if("NO_${sanitizer}" IN_LIST ARG_KEYWORDS_MISSING_VALUES)
      message(FATAL_ERROR "${name}: NO_${sanitizer} needs the reason the test cannot run there")
    endif()
  endforeach()
  set(command ${executable} ${ARG_ARGS})
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
  list(APPEND labels ${ARG_LABELS})
  add_test(NAME ${name} COMMAND ${command})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 300)
  endif()
  set(sanitizer_environment)
  if(ARG_HANDLES_SIGNALS)
    set(sanitizer_environment ${VANDREL_SANITIZER_SIGNALS_ENVIRONMENT})
  endif()
  set(environment
      "VANDREL_SOURCE_DIR=${PROJECT_SOURCE_DIR}" "VANDREL_BINARY_DIR=${PROJECT_BINARY_DIR}"
      "VANDREL_BUNDLE=${VANDREL_BUNDLE_DIR}" "QT_QPA_PLATFORM=offscreen"
      ${sanitizer_environment})
  set_tests_properties(${name} PROPERTIES
    LABELS "${labels}"
    TIMEOUT ${ARG_TIMEOUT}
    SKIP_RETURN_CODE 77
    ENVIRONMENT "${environment}")
  if((VANDREL_SANITIZE STREQUAL "address" AND DEFINED ARG_NO_ASAN)
     OR (VANDREL_SANITIZE STREQUAL "thread" AND DEFINED ARG_NO_TSAN))
    set_tests_properties(${name} PROPERTIES DISABLED TRUE)
  endif()
endfunction()

# Writes Contents/Info.json of the bundle in the build tree.
function(vandrel_write_bundle_info)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/Info.json.in ${VANDREL_CONTENTS_DIR}/Info.json @ONLY)
endfunction()
