# The Windows build's tests, cross-built here and run under Wine by scripts/test-windows.sh:
# the engine's ladder, framing and export, and the Windows platform layer. GoogleTest is built
# from Debian's sources (/usr/src/googletest) with the same toolchain.

set(VETRIX_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest's sources (Debian's googletest)")
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
add_subdirectory(${VETRIX_GTEST_SOURCE} ${PROJECT_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
# Its warnings are its own business, not this build's.
set_target_properties(gtest gtest_main PROPERTIES COMPILE_WARNING_AS_ERROR OFF)

set(VETRIX_TEST_DATA ${CMAKE_CURRENT_SOURCE_DIR}/data)
add_library(vetrix_test_support STATIC test_support.cpp test_support.h)
target_link_libraries(vetrix_test_support PUBLIC vetrix_engine PRIVATE vetrix_warnings)
target_compile_definitions(vetrix_test_support PRIVATE VETRIX_TEST_DATA="${VETRIX_TEST_DATA}")

set(vetrix_windows_tests)
function(vetrix_windows_gtest name)
  add_executable(${name} ${ARGN})
  target_link_libraries(${name} PRIVATE vetrix_engine vetrix_log vetrix_test_support
                        vetrix_warnings gtest gtest_main)
  target_compile_definitions(${name} PRIVATE
    VETRIX_TEST_DATA="${VETRIX_TEST_DATA}"
    VETRIX_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
    VETRIX_BIN_DIR="${CMAKE_RUNTIME_OUTPUT_DIRECTORY}")
  add_test(NAME ${name} COMMAND ${name})
  set(vetrix_windows_tests ${vetrix_windows_tests} ${name} PARENT_SCOPE)
endfunction()

vetrix_windows_gtest(audit_test audit_test.cpp)
vetrix_windows_gtest(framing_test framing_test.cpp)
vetrix_windows_gtest(export_test export_test.cpp)
vetrix_windows_gtest(platform_win_test platform_win_test.cpp)
add_custom_target(windows_tests DEPENDS ${vetrix_windows_tests})
