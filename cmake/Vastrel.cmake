# vastrel_layer(NAME SOURCES ...): one layer of the component, as an object library.
function(vastrel_layer name)
  add_library(${name} OBJECT ${ARGN})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_compile_definitions(${name} PRIVATE VASTREL_BUILDING=1)
endfunction()

# vastrel_fuzz_replay(NAME CORPUS LIBS...): NAME_replay runs fuzz/NAME.cpp's entry function
# over fuzz/corpus/CORPUS as a test of the normal build.
function(vastrel_fuzz_replay name corpus)
  add_executable(${name}_replay ${PROJECT_SOURCE_DIR}/fuzz/${name}.cpp
                 ${PROJECT_SOURCE_DIR}/fuzz/replay_main.cpp)
  target_include_directories(${name}_replay PRIVATE ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name}_replay PRIVATE ${ARGN})
  add_test(NAME ${name}_replay COMMAND ${name}_replay ${PROJECT_SOURCE_DIR}/fuzz/corpus/${corpus})
endfunction()

# vastrel_add_test(NAME SOURCES a.cpp b.cpp [LIBS ...] [ENV VAR=VALUE ...] [TIMEOUT s])
# One GoogleTest binary per folder of tests, run by CTest as one test; gtest's own
# precompiled header keeps the builds short on two cores.
function(vastrel_add_test name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;ENV" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  target_precompile_headers(${name} PRIVATE <gtest/gtest.h> <gmock/gmock.h> <string> <vector>)
  add_test(NAME ${name} COMMAND ${name} --gtest_brief=1)
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 600)
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT} ENVIRONMENT "${T_ENV}")
endfunction()
