# kelvo_add_gtests(LABEL label SOURCES a_test.cpp ... LIBRARIES lib ...): one GoogleTest
# executable per source, named after it, its tests registered with CTest under `label`.
# Labels are set by hand, never derived from names: "threads" for every test that runs the
# engine's threads (the ThreadSanitizer build runs exactly those), "unit" for the rest; the
# AddressSanitizer build runs both. kelvo_check_labelled(DIR) fails the configuration when a
# *_test.cpp of DIR was given no label, so a new test cannot miss its sanitizer run.
include(GoogleTest)

set_property(GLOBAL PROPERTY KELVO_LABELLED_TESTS "")

function(kelvo_add_gtests)
  cmake_parse_arguments(ARG "" "LABEL" "SOURCES;LIBRARIES" ${ARGN})
  if(NOT ARG_LABEL MATCHES "^(unit|threads)$")
    message(FATAL_ERROR "kelvo_add_gtests: LABEL must be unit or threads, got '${ARG_LABEL}'")
  endif()
  foreach(src ${ARG_SOURCES})
    get_filename_component(path ${src} ABSOLUTE)
    get_filename_component(name ${src} NAME_WE)
    add_executable(${name} ${path})
    target_link_libraries(${name} PRIVATE ${ARG_LIBRARIES} kelvo_warnings GTest::gtest
                          GTest::gtest_main)
    # One label per test: a list does not survive test discovery.
    gtest_discover_tests(${name} PROPERTIES LABELS ${ARG_LABEL} DISCOVERY_TIMEOUT 60)
    set_property(GLOBAL APPEND PROPERTY KELVO_LABELLED_TESTS ${path})
  endforeach()
endfunction()

function(kelvo_check_labelled dir)
  file(GLOB found CONFIGURE_DEPENDS ${dir}/*_test.cpp)
  get_property(labelled GLOBAL PROPERTY KELVO_LABELLED_TESTS)
  foreach(src ${found})
    if(NOT src IN_LIST labelled)
      message(FATAL_ERROR "${src} has no test label: add it to a kelvo_add_gtests call with "
                          "LABEL threads (it runs the engine's threads) or LABEL unit")
    endif()
  endforeach()
endfunction()
