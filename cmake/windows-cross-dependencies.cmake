# What a cross-build for Windows (cmake/mingw-w64-x86_64.cmake) takes from the
# Debian build machine. Included by the top-level CMakeLists.txt.

# Header-only libraries: their Debian packages install them in /usr/include
# beside the Linux C library's headers, which must never come before MinGW's.
# So each gets a folder of its own in the build tree that holds only it.
function(lorvane_host_headers target package)
  set(folder ${CMAKE_BINARY_DIR}/host-headers/${package})
  foreach(entry IN LISTS ARGN)
    if(NOT EXISTS /usr/include/${entry})
      return()  # not installed: the find_package that follows says so
    endif()
    file(MAKE_DIRECTORY ${folder})
    file(CREATE_LINK /usr/include/${entry} ${folder}/${entry} SYMBOLIC)
  endforeach()
  add_library(${target} INTERFACE IMPORTED GLOBAL)
  set_target_properties(${target} PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${folder})
  set(${package}_FOUND TRUE PARENT_SCOPE)
endfunction()

lorvane_host_headers(CLI11::CLI11 CLI11 CLI)
lorvane_host_headers(nlohmann_json::nlohmann_json nlohmann_json nlohmann)

# GoogleTest, built from Debian's googletest sources with the same compiler.
if(LORVANE_BUILD_TESTS)
  set(LORVANE_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources for cross builds")
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(${LORVANE_GOOGLETEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)  # defines GTest::gtest
endif()

# Test programs are listed when ctest runs, not at build time: building then
# needs no Wine, and a Wine that fails shows as a failed test.
set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)

# The tests find lorvane-cli.exe beside themselves, as they would on Windows.
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
