# Shared compile settings for the project's own targets.

# Warnings for our code, as errors with QRV_WERROR (CI); third-party code
# never goes through this.
function(qrv_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra)
  if(QRV_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

# The tool, recorder, simulator and device library each pull the same heavy
# headers (CLI11, Asio, the JSON and TOML readers) into every file, and most of
# their compile time is those headers' inline code, generated again per file.
# Compiled as a few large units they build 3-7 times faster. Only targets whose
# link interface is complete qualify: a static library merged into one object
# drags all its references into every program that links any part of it.
# An optional second argument caps the files per unit (default: all in one).
function(qrv_unity target)
  set(batch 0)
  if(ARGC GREATER 1)
    set(batch ${ARGV1})
  endif()
  if(QRV_UNITY_BUILD)
    set_target_properties(${target} PROPERTIES UNITY_BUILD ON UNITY_BUILD_BATCH_SIZE ${batch})
    # In a unit every file is an included one, so a class using a type of its
    # own file's unnamed namespace looks like a header's mistake to g++.
    if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
      target_compile_options(${target} PRIVATE -Wno-subobject-linkage)
      # With ThreadSanitizer's instrumentation, g++ 12 sees Asio's one-byte
      # ioctl argument as written past its end once a unit inlines enough.
      if(QRV_SANITIZER STREQUAL "thread")
        target_compile_options(${target} PRIVATE -Wno-stringop-overflow)
      endif()
    endif()
  endif()
endfunction()

# Code that may fault inside a fault barrier must let exceptions leave a faulting
# instruction, so the processor-fault translator can unwind through it.
function(qrv_fault_unwinding target)
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    target_compile_options(${target} PRIVATE -fnon-call-exceptions)
  endif()
endfunction()

# GoogleTest's and GoogleMock's headers, parsed once for all test programs:
# one precompiled header made by a program with the tests' own flags (an
# executable, as position-independent code must match; fault unwinding, as the
# header's inline functions keep the flags it was made with) and reused by each.
# QRV_TEST_PCH=OFF parses them in every file again.
function(qrv_use_test_pch target)
  if(NOT QRV_TEST_PCH)
    return()
  endif()
  if(NOT TARGET qrv_test_pch)
    add_executable(qrv_test_pch ${PROJECT_SOURCE_DIR}/tests/support/pch_anchor.cc)
    qrv_warnings(qrv_test_pch)
    qrv_fault_unwinding(qrv_test_pch)
    target_link_libraries(qrv_test_pch PRIVATE ${QRV_GTEST_LIBS})
    target_precompile_headers(qrv_test_pch PRIVATE <gtest/gtest.h> <gmock/gmock.h>)
  endif()
  target_precompile_headers(${target} REUSE_FROM qrv_test_pch)
endfunction()

# Adds a GoogleTest executable and registers it with CTest.
#   qrv_test(NAME name SOURCES ... LIBS ... [LABELS ...] [LOCK resource])
# Nothing without QRV_BUILD_TESTS, wherever it is called.
function(qrv_test)
  if(NOT QRV_BUILD_TESTS)
    return()
  endif()
  cmake_parse_arguments(T "" "NAME;LOCK;TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  qrv_warnings(${T_NAME})
  qrv_fault_unwinding(${T_NAME})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} ${QRV_GTEST_LIBS})
  qrv_use_test_pch(${T_NAME})
  add_test(NAME ${T_NAME} COMMAND ${T_NAME})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set_tests_properties(${T_NAME} PROPERTIES LABELS "${T_LABELS}" TIMEOUT ${T_TIMEOUT})
  # Unit tests must not depend on the order they run in: they run shuffled,
  # each program printing its seed ("Randomizing tests' orders with a seed of
  # N"); GTEST_RANDOM_SEED=N repeats an order.
  if("unit" IN_LIST T_LABELS)
    set_tests_properties(${T_NAME} PROPERTIES ENVIRONMENT "GTEST_SHUFFLE=1")
  endif()
  if(T_LOCK)
    set_tests_properties(${T_NAME} PROPERTIES RESOURCE_LOCK ${T_LOCK})
  endif()
endfunction()

# A plug-in subsystem: a static library of every .cc file in the calling
# folder, built hidden (only ModuleInstance leaves the shared plug-in) and with
# fault unwinding. Subsystems may depend on each other in both directions.
#   qrv_subsystem(NAME qrv_media DEPS qrv_device ...)
function(qrv_subsystem)
  cmake_parse_arguments(S "" "NAME" "DEPS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cc)
  if(sources)
    add_library(${S_NAME} STATIC ${sources})
    target_include_directories(${S_NAME} PUBLIC ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/include)
    target_link_libraries(${S_NAME} PUBLIC ${S_DEPS})
    set_target_properties(${S_NAME} PROPERTIES CXX_VISIBILITY_PRESET hidden
                                               VISIBILITY_INLINES_HIDDEN ON)
    qrv_warnings(${S_NAME})
    qrv_fault_unwinding(${S_NAME})
  else()
    add_library(${S_NAME} INTERFACE)
    target_link_libraries(${S_NAME} INTERFACE ${S_DEPS})
  endif()
endfunction()

# Tests that hold the alarm port or the discovery port run through
# e2e/in_netns.sh, each in a network namespace of its own where the machine
# lets this user make one: then they need no lock and run side by side.
# Where it does not, they run one at a time.
# (Root makes one without a user namespace, as e2e/in_netns.sh does.)
execute_process(COMMAND id -u OUTPUT_VARIABLE qrv_uid OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
if(qrv_uid STREQUAL "0")
  execute_process(COMMAND unshare -n true RESULT_VARIABLE qrv_netns_result OUTPUT_QUIET ERROR_QUIET)
else()
  execute_process(COMMAND unshare -rn true RESULT_VARIABLE qrv_netns_result
                  OUTPUT_QUIET ERROR_QUIET)
endif()
function(qrv_netns_test_lock test)
  if(NOT qrv_netns_result EQUAL 0)
    set_tests_properties(${test} PROPERTIES RESOURCE_LOCK "port5005;discovery")
  endif()
endfunction()
