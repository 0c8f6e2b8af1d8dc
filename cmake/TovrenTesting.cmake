# tovren_add_test(NAME <name> SOURCES <files...> LABELS <labels...> [LIBS <libs...>] [TIMEOUT <s>])
# Builds a Qt Test executable and registers it with CTest under the given labels.
function(tovren_add_test)
  cmake_parse_arguments(T "" "NAME;TIMEOUT" "SOURCES;LABELS;LIBS" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE tovren_testkit ${T_LIBS})
  add_test(NAME ${T_NAME} COMMAND ${TOVREN_TEST_LAUNCHER} $<TARGET_FILE:${T_NAME}>)
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set(environment QT_QPA_PLATFORM=offscreen TOVREN_BUILD_DIR=${CMAKE_BINARY_DIR} TOVREN_SOURCE_DIR=${CMAKE_SOURCE_DIR}
    ${TOVREN_SANITIZER_ENVIRONMENT})
  set_tests_properties(${T_NAME} PROPERTIES
    LABELS "${T_LABELS}"
    TIMEOUT ${T_TIMEOUT}
    ENVIRONMENT "${environment}")
endfunction()

# Under the sanitizers every finding ends the process that made it (a test, or a tool or core it started).
set(TOVREN_SANITIZER_ENVIRONMENT "")
if(TOVREN_SANITIZE)
  set(TOVREN_SANITIZER_ENVIRONMENT
    "ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:detect_stack_use_after_return=0:strict_string_checks=1"
    "UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:suppressions=${CMAKE_SOURCE_DIR}/cmake/ubsan.supp"
    "LSAN_OPTIONS=suppressions=${CMAKE_SOURCE_DIR}/cmake/lsan.supp:print_suppressions=0")
endif()

# Every suite runs in a network namespace of its own where one can be made (root, unshare, ip), with only its
# loopback up: the suites that bind the client's fixed local ports (19090 to 19110) then run in parallel and
# never meet a demo, a benchmark or another checkout's run. Elsewhere those take turns through a resource lock.
set(TOVREN_TEST_LAUNCHER "")
set(TOVREN_LOCAL_PORTS_LOCK local_proxy_ports)
execute_process(COMMAND unshare --net ip link set lo up RESULT_VARIABLE netns_status OUTPUT_QUIET ERROR_QUIET)
if(netns_status EQUAL 0)
  set(TOVREN_TEST_LAUNCHER unshare --net sh -c "ip link set lo up && exec \"$@\"" sh)
  set(TOVREN_LOCAL_PORTS_LOCK "")
endif()

# tovren_uses_local_ports(<tests...>): these suites bind or sweep the client's local ports.
function(tovren_uses_local_ports)
  if(TOVREN_LOCAL_PORTS_LOCK)
    set_tests_properties(${ARGN} PROPERTIES RESOURCE_LOCK ${TOVREN_LOCAL_PORTS_LOCK})
  endif()
endfunction()
