# qtx_add_test(<name> SOURCES <files...> [LIBS <targets...>] [TIMEOUT <s>] [LABELS <labels...>])
# One Qt Test executable registered with ctest. QTX_TEST_SOURCE_DIR points at the
# test's source folder so fixtures under data/ are found from any working directory.
function(qtx_add_test name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE Qt5::Test Qt5::Core ${T_LIBS})
  target_compile_definitions(${name} PRIVATE
    QTX_TEST_SOURCE_DIR="${CMAKE_CURRENT_SOURCE_DIR}"
    QTX_BINARY_DIR="${PROJECT_BINARY_DIR}")
  add_test(NAME ${name} COMMAND ${name})
  set(_env "QT_QPA_PLATFORM=offscreen")
  if(QTX_ASAN)
    # Qt's offscreen platform never frees its screens; full malloc stacks let the
    # suppressions see Qt's own frames. Server processes the tests start inherit it.
    list(APPEND _env "LSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/tests/lsan.supp:fast_unwind_on_malloc=0")
  endif()
  if(QTX_TSAN)
    # Qt is not instrumented: reports inside it are dropped, and its queued calls
    # are suppressed (reasons in the file).
    list(APPEND _env "TSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/tests/tsan.supp ignore_noninstrumented_modules=1 halt_on_error=1")
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT} ENVIRONMENT "${_env}")
  if(T_LABELS)
    set_tests_properties(${name} PROPERTIES LABELS "${T_LABELS}")
  endif()
endfunction()
