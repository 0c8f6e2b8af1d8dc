# tovren_add_test(NAME <name> SOURCES <files...> LABELS <labels...> [LIBS <libs...>] [TIMEOUT <s>])
# Builds a Qt Test executable and registers it with CTest under the given labels.
function(tovren_add_test)
  cmake_parse_arguments(T "" "NAME;TIMEOUT" "SOURCES;LABELS;LIBS" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE tovren_core tovren_test_support Qt6::Test ${T_LIBS})
  add_test(NAME ${T_NAME} COMMAND ${T_NAME})
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
