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
  set_tests_properties(${T_NAME} PROPERTIES
    LABELS "${T_LABELS}"
    TIMEOUT ${T_TIMEOUT}
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen;TOVREN_BUILD_DIR=${CMAKE_BINARY_DIR};TOVREN_SOURCE_DIR=${CMAKE_SOURCE_DIR}")
endfunction()
