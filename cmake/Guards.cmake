# Instrumented builds of the whole tree, each in a build directory of its
# own (scripts/test --sanitize=..., scripts/fuzz):
#
#   VANDREL_SANITIZE=address  AddressSanitizer with UndefinedBehaviorSanitizer
#   VANDREL_SANITIZE=thread   ThreadSanitizer
#   VANDREL_FUZZ=ON           clang only: coverage for libFuzzer plus ASan and
#                             UBSan; tests/fuzz builds its fuzzers instead of
#                             the replay programs of their corpora
#
# Every finding stops the program that made it: undefined behaviour does not
# recover, and the run-time options of the tests (cmake/Vandrel.cmake) make
# the other reports fail their test too.

set(VANDREL_SANITIZE "" CACHE STRING "Instrument the tree: address, thread, or empty for none")
set_property(CACHE VANDREL_SANITIZE PROPERTY STRINGS "" address thread)
option(VANDREL_FUZZ "Build the libFuzzer targets of tests/fuzz (clang)" OFF)

set(VANDREL_SANITIZER_FLAGS "")
if(VANDREL_SANITIZE STREQUAL "address")
  # gcc leaves the float-to-integer overflow out of "undefined"; clang has it.
  set(VANDREL_SANITIZER_FLAGS -fsanitize=address,undefined,float-cast-overflow
                              -fno-sanitize-recover=undefined,float-cast-overflow)
elseif(VANDREL_SANITIZE STREQUAL "thread")
  set(VANDREL_SANITIZER_FLAGS -fsanitize=thread)
elseif(NOT VANDREL_SANITIZE STREQUAL "")
  message(FATAL_ERROR "VANDREL_SANITIZE must be address, thread or empty, got '${VANDREL_SANITIZE}'")
endif()

if(VANDREL_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "VANDREL_FUZZ needs clang (libFuzzer); scripts/fuzz configures it")
  endif()
  if(NOT VANDREL_SANITIZE STREQUAL "")
    message(FATAL_ERROR "VANDREL_FUZZ brings its own sanitizers; leave VANDREL_SANITIZE empty")
  endif()
  set(VANDREL_SANITIZER_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=undefined)
  # Coverage for every library; only the fuzzers link libFuzzer's main.
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()

if(VANDREL_SANITIZER_FLAGS)
  # -O1 keeps the reports' stacks whole; line tables are all they need, and
  # they keep an instrumented tree a fraction of the size of a full debug one.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    set(vandrel_line_tables -gline-tables-only)
  else()
    set(vandrel_line_tables -g1)
  endif()
  add_compile_options(${VANDREL_SANITIZER_FLAGS} -fno-omit-frame-pointer -O1 ${vandrel_line_tables})
  add_link_options(${VANDREL_SANITIZER_FLAGS})
endif()

# Run-time options of the instrumented tests and of every program they
# start. The suppression files hold findings inside Qt, gRPC, D-Bus and
# fontconfig only, never one in our own code.
#
# A test marked HANDLES_SIGNALS (it, or a child it starts, catches fatal
# signals itself: the crash kit) gets the fatal signals and the alternate
# signal stack left to it, as the process has them in production: the
# sanitizer's own handlers would report the crash instead of the kit, and
# its small per-thread signal stack would not hold the kit's handler once
# instrumented.
set(vandrel_sanitizer_dir ${PROJECT_SOURCE_DIR}/tests/sanitizers)
set(vandrel_own_signals
    "handle_segv=0:handle_sigbus=0:handle_sigfpe=0:handle_sigill=0:handle_abort=0:use_sigaltstack=0")
set(VANDREL_SANITIZER_ENVIRONMENT "")
set(VANDREL_SANITIZER_SIGNALS_ENVIRONMENT "")
if(VANDREL_SANITIZE STREQUAL "address")
  set(vandrel_asan_options
      "detect_leaks=1:detect_stack_use_after_return=1:strict_init_order=1:check_initialization_order=1:abort_on_error=0")
  set(vandrel_common
      "LSAN_OPTIONS=suppressions=${vandrel_sanitizer_dir}/lsan.supp:print_suppressions=0"
      "UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:suppressions=${vandrel_sanitizer_dir}/ubsan.supp")
  set(VANDREL_SANITIZER_ENVIRONMENT "ASAN_OPTIONS=${vandrel_asan_options}" ${vandrel_common})
  set(VANDREL_SANITIZER_SIGNALS_ENVIRONMENT
      "ASAN_OPTIONS=${vandrel_asan_options}:${vandrel_own_signals}" ${vandrel_common})
elseif(VANDREL_SANITIZE STREQUAL "thread")
  set(vandrel_tsan_options
      "second_deadlock_stack=1:suppressions=${vandrel_sanitizer_dir}/tsan.supp:print_suppressions=0")
  set(VANDREL_SANITIZER_ENVIRONMENT "TSAN_OPTIONS=${vandrel_tsan_options}")
  set(VANDREL_SANITIZER_SIGNALS_ENVIRONMENT "TSAN_OPTIONS=${vandrel_tsan_options}:${vandrel_own_signals}")
endif()
