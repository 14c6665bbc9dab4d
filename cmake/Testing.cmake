# halvorine_add_gtest(NAME SOURCES ... LIBRARIES ... [LABELS ...])
#
# One GoogleTest executable. Natively every test case becomes a CTest test;
# in the Windows cross build the executable is one CTest test run under Wine
# (CMAKE_CROSSCOMPILING_EMULATOR) inside the Wine fixture.
include(GoogleTest)

# Test names carry the build they come from, so one CTest run can cover the
# native, sanitizer and Windows trees together.
if(CMAKE_CROSSCOMPILING)
  set(HALVORINE_TEST_PREFIX "win:")
elseif(CMAKE_CXX_FLAGS MATCHES "sanitize=address")
  set(HALVORINE_TEST_PREFIX "asan:")
elseif(CMAKE_CXX_FLAGS MATCHES "sanitize=thread")
  set(HALVORINE_TEST_PREFIX "tsan:")
else()
  set(HALVORINE_TEST_PREFIX "")
endif()

if(CMAKE_CROSSCOMPILING)
  set(HALVORINE_WINE_STATE "${CMAKE_BINARY_DIR}/wine-state")
  set(CMAKE_CROSSCOMPILING_EMULATOR "${PROJECT_SOURCE_DIR}/scripts/wine-exec;${HALVORINE_WINE_STATE}")
endif()

function(halvorine_add_gtest name)
  cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;LIBRARIES;LABELS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBRARIES} halvorine_test_support GTest::gmock_main)
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 300)
  endif()
  if(CMAKE_CROSSCOMPILING)
    add_test(NAME ${HALVORINE_TEST_PREFIX}${name} COMMAND ${name} --gtest_color=no)
    set_tests_properties(${HALVORINE_TEST_PREFIX}${name} PROPERTIES
                         FIXTURES_REQUIRED wine LABELS "wine;${ARG_LABELS}" TIMEOUT ${ARG_TIMEOUT}
                         RESOURCE_LOCK wine_pipes)
  else()
    gtest_discover_tests(${name} TEST_PREFIX "${HALVORINE_TEST_PREFIX}" DISCOVERY_TIMEOUT 60
                         PROPERTIES LABELS "native;${ARG_LABELS}"
                                                               TIMEOUT ${ARG_TIMEOUT})
  endif()
endfunction()

# halvorine_add_wine_test(NAME COMMAND ...): a script-driven test that needs
# the Wine fixture (its environment is in the state directory's env file).
function(halvorine_add_wine_test name)
  cmake_parse_arguments(ARG "" "TIMEOUT" "COMMAND;LABELS" ${ARGN})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 300)
  endif()
  add_test(NAME ${HALVORINE_TEST_PREFIX}${name} COMMAND ${ARG_COMMAND})
  # Wine tests share one prefix and so one namespace of pipe names.
  set_tests_properties(${HALVORINE_TEST_PREFIX}${name} PROPERTIES
                       FIXTURES_REQUIRED wine LABELS "wine;${ARG_LABELS}" TIMEOUT ${ARG_TIMEOUT}
                       RESOURCE_LOCK wine_pipes
                       ENVIRONMENT "HALVORINE_WINE_STATE=${HALVORINE_WINE_STATE}")
endfunction()
