# Test registration shared by every folder.
#
#   tarnwick_add_gtest(NAME SOURCES ... LIBS ... [TIMEOUT s] [LABELS ...])
#   tarnwick_add_qt_test(NAME SOURCES ... LIBS ... [TIMEOUT s] [LABELS ...])
#   tarnwick_add_script_test(NAME SCRIPT file ARGS ... [TIMEOUT s] [LABELS ...])
#
# Every test gets TARNWICK_CORPUS (the corpus folder; tests skip when it is
# absent) and a private HOME / XDG tree inside the build folder, so that Qt's
# dialogs and caches never touch the user's own settings.

if(TARNWICK_BUILD_TESTS)
  enable_testing()
  find_package(GTest REQUIRED)
  include(GoogleTest)
endif()

function(_tarnwick_test_env name timeout labels)
  set(home "${CMAKE_BINARY_DIR}/test-home/${name}")
  file(MAKE_DIRECTORY "${home}/config" "${home}/data" "${home}/runtime")
  file(CHMOD "${home}/runtime" DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)
  set_tests_properties(${name} PROPERTIES
    TIMEOUT ${timeout}
    LABELS "${labels}"
    ENVIRONMENT "TARNWICK_CORPUS=${TARNWICK_CORPUS_DIR};TARNWICK_SOURCE_DIR=${PROJECT_SOURCE_DIR};HOME=${home};XDG_CONFIG_HOME=${home}/config;XDG_DATA_HOME=${home}/data;XDG_RUNTIME_DIR=${home}/runtime;QT_QPA_PLATFORM=offscreen;ASAN_OPTIONS=detect_leaks=1;UBSAN_OPTIONS=print_stacktrace=1"
    SKIP_RETURN_CODE 77)
endfunction()

function(tarnwick_add_gtest name)
  if(NOT TARNWICK_BUILD_TESTS)
    return()
  endif()
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} testsupport GTest::gtest GTest::gtest_main)
  add_test(NAME ${name} COMMAND ${name})
  _tarnwick_test_env(${name} ${T_TIMEOUT} "${T_LABELS}")
endfunction()

function(tarnwick_add_qt_test name)
  if(NOT TARNWICK_BUILD_TESTS)
    return()
  endif()
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} testsupport Qt6::Test Qt6::Widgets)
  add_test(NAME ${name} COMMAND ${name})
  _tarnwick_test_env(${name} ${T_TIMEOUT} "${T_LABELS}")
endfunction()

#   tarnwick_add_script_test(NAME SCRIPT file ARGS ... [TIMEOUT s] [LABELS ...])
# A test that is a shell script (run with bash), with the same environment.
function(tarnwick_add_script_test name)
  if(NOT TARNWICK_BUILD_TESTS)
    return()
  endif()
  cmake_parse_arguments(T "" "TIMEOUT;SCRIPT" "ARGS;LABELS" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  add_test(NAME ${name} COMMAND bash "${T_SCRIPT}" ${T_ARGS})
  _tarnwick_test_env(${name} ${T_TIMEOUT} "${T_LABELS}")
endfunction()
