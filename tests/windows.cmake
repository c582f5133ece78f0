# The test suites under Wine. Included from tests/CMakeLists.txt when building
# for Windows: the POSIX calls the suites make are mapped in
# support/win32/posix_shim.h, and their fixture commands run on the Linux
# side (support/win32/linux_shell.cpp).
target_sources(ae_test_support PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/support/win32/linux_shell.cpp)
target_include_directories(ae_test_support PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/support/win32)
target_compile_options(ae_test_support PUBLIC
  $<$<COMPILE_LANGUAGE:CXX>:-include${CMAKE_CURRENT_SOURCE_DIR}/support/win32/posix_shim.h>)

# Suites that need Linux-only facilities (robust_test limits the address
# space with setrlimit, atomic_output_test too).
set(AE_SKIP_SUITES robust_test atomic_output_test)

# Cases about POSIX behaviour that Windows does not have: directory modes
# under the umask, and a dangling symbolic link in a listing (Wine leaves it
# out; POSIX lists it as a file).
set(AE_TEST_FILTER_platform_test "-MakeDirectory.CreatesOneLevelUnderTheUmask:Listing.EntryAttributes")

# The Windows file-system layer and the name conversion.
add_executable(fs_win32_test ${CMAKE_CURRENT_SOURCE_DIR}/win32/fs_win32_test.cpp)
target_compile_options(fs_win32_test PRIVATE -Wall -Wextra)
target_link_libraries(fs_win32_test PRIVATE ae_test_support GTest::gtest_main)
gtest_discover_tests(fs_win32_test WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}
  DISCOVERY_TIMEOUT 120 PROPERTIES TIMEOUT 900)

# The DLL exports the five functions and nothing else.
add_test(NAME exported_symbols
  COMMAND ${CMAKE_COMMAND} -DDLL=$<TARGET_FILE:audioenhancer> -DOBJDUMP=${CMAKE_OBJDUMP}
          -P ${CMAKE_CURRENT_SOURCE_DIR}/check_exports.cmake)

# The Windows build answers as the Linux build does on the same files.
set(AE_LINUX_BUILD ${CMAKE_SOURCE_DIR}/build CACHE PATH "Linux build to compare the Windows answers with")
add_test(NAME linux_parity
  COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/win32/parity.sh
          $<TARGET_FILE:audioenhancer_cli> ${AE_LINUX_BUILD}/audioenhancer
          ${CMAKE_CURRENT_BINARY_DIR}/parity_work ${CMAKE_CROSSCOMPILING_EMULATOR})
set_tests_properties(linux_parity PROPERTIES TIMEOUT 900)
