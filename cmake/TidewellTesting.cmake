# Helpers for declaring tests.
#
# tidewell_add_test(NAME name SOURCES ... LIBS ... [SHARED_REGIONS] [TIMEOUT s] [LABELS ...])
#   Builds one GoogleTest executable and registers it with CTest.
#   SHARED_REGIONS marks tests that publish the system's fixed shared-memory names
#   ("/twruntime3", control and meter regions) or start an audio server. They run
#   inside a private /dev/shm (a mount namespace) where the machine allows it, so
#   they can run in parallel; elsewhere they share one RESOURCE_LOCK and run one
#   at a time.

set(TIDEWELL_PRIVATE_SHM ${CMAKE_SOURCE_DIR}/scripts/private-shm)
if(NOT DEFINED TIDEWELL_HAVE_PRIVATE_SHM)
  execute_process(COMMAND ${TIDEWELL_PRIVATE_SHM} --check
                  RESULT_VARIABLE _tw_shm_rc OUTPUT_QUIET ERROR_QUIET)
  if(_tw_shm_rc EQUAL 0)
    set(TIDEWELL_HAVE_PRIVATE_SHM ON CACHE BOOL "Tests can run in a private /dev/shm")
  else()
    set(TIDEWELL_HAVE_PRIVATE_SHM OFF CACHE BOOL "Tests can run in a private /dev/shm")
  endif()
endif()

function(tidewell_add_test)
  cmake_parse_arguments(T "SHARED_REGIONS" "NAME;TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main GTest::gmock Threads::Threads)
  set(cmd $<TARGET_FILE:${T_NAME}>)
  if(T_SHARED_REGIONS AND TIDEWELL_HAVE_PRIVATE_SHM)
    add_test(NAME ${T_NAME} COMMAND ${TIDEWELL_PRIVATE_SHM} ${cmd})
  else()
    add_test(NAME ${T_NAME} COMMAND ${cmd})
  endif()
  # set_property keeps list values whole (set_tests_properties would split them).
  set_property(TEST ${T_NAME} PROPERTY ENVIRONMENT
    "TIDEWELL_BIN_DIR=${CMAKE_BINARY_DIR}/bin"
    "TIDEWELL_PLUGIN_DIR=${TIDEWELL_PLUGIN_DIR}"
    "TIDEWELL_SOURCE_DIR=${CMAKE_SOURCE_DIR}")
  if(T_TIMEOUT)
    set_property(TEST ${T_NAME} PROPERTY TIMEOUT ${T_TIMEOUT})
  else()
    set_property(TEST ${T_NAME} PROPERTY TIMEOUT 300)
  endif()
  if(T_SHARED_REGIONS)
    list(APPEND T_LABELS shared-regions)
    # These tests run audio in real time across several processes (server, helpers, tools),
    # each with IO threads that must keep their deadline; counting each as four processors
    # keeps a parallel ctest from starving them (at most two at once on eight cores).
    set_property(TEST ${T_NAME} PROPERTY PROCESSORS 4)
    if(NOT TIDEWELL_HAVE_PRIVATE_SHM)
      set_property(TEST ${T_NAME} PROPERTY RESOURCE_LOCK tidewell_shared_regions)
    endif()
  endif()
  if(T_LABELS)
    set_property(TEST ${T_NAME} PROPERTY LABELS ${T_LABELS})
  endif()
endfunction()
