# kelvane_add_test(NAME name COMMAND target [args...] [GUI])
# Registers one test executable with CTest. Windows executables run through Wine
# (the toolchain's emulator); GUI tests share one Xvfb display that a fixture starts
# before and stops after them.
if(KELVANE_WINDOWS)
  add_test(NAME xvfb_start COMMAND ${PROJECT_SOURCE_DIR}/cmake/xvfb.sh start ${CMAKE_BINARY_DIR})
  add_test(NAME xvfb_stop COMMAND ${PROJECT_SOURCE_DIR}/cmake/xvfb.sh stop ${CMAKE_BINARY_DIR})
  set_tests_properties(xvfb_start PROPERTIES FIXTURES_SETUP kelvane_display)
  set_tests_properties(xvfb_stop PROPERTIES FIXTURES_CLEANUP kelvane_display)
endif()

function(kelvane_add_test)
  cmake_parse_arguments(T "GUI" "NAME" "COMMAND" ${ARGN})
  add_test(NAME ${T_NAME} COMMAND ${T_COMMAND})
  set_property(TEST ${T_NAME} APPEND PROPERTY ENVIRONMENT
    "KELVANE_BUILD_DIR=${CMAKE_BINARY_DIR}"
    "KELVANE_SOURCE_DIR=${PROJECT_SOURCE_DIR}"
    "KELVANE_ARTIFACTS=${CMAKE_BINARY_DIR}/artifacts")
  if(KELVANE_WINDOWS)
    # Every Wine test uses the display: even console programs may create windows.
    set_tests_properties(${T_NAME} PROPERTIES FIXTURES_REQUIRED kelvane_display
      RESOURCE_LOCK wineprefix)
  endif()
endfunction()
