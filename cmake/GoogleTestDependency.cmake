# googletest for the tests, as the target GTest::gtest, from the first of:
#  1. GTEST_SOURCE_DIR: sources built here with the project's compiler and runtime. Debian's
#     googletest package puts them in /usr/src/googletest, the default when it is there; a cross
#     build uses them.
#  2. find_package(GTest): an installed googletest (vcpkg, CMAKE_PREFIX_PATH). With MSVC it must
#     use the static runtime like the rest of the build (/MT: vcpkg's x64-windows-static).
#  3. BRIDGE_FETCH_GTEST: FetchContent downloads the release below and builds it here.
if(TARGET GTest::gtest)
  return()
endif()

set(gtest_default_source "")
if(EXISTS /usr/src/googletest/CMakeLists.txt)
  set(gtest_default_source /usr/src/googletest)
endif()
set(GTEST_SOURCE_DIR "${gtest_default_source}" CACHE PATH
    "googletest sources to build with the project (empty: find or fetch it)")
option(BRIDGE_FETCH_GTEST "Download googletest when no sources are given and none is installed"
       OFF)

set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
# The static runtime, as set by CMAKE_MSVC_RUNTIME_LIBRARY for the project's own targets.
set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)

set(gtest_built_here OFF)
if(GTEST_SOURCE_DIR)
  add_subdirectory(${GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  set(gtest_built_here ON)
else()
  find_package(GTest QUIET)
  if(NOT GTest_FOUND)
    if(NOT BRIDGE_FETCH_GTEST)
      message(FATAL_ERROR "googletest not found: install it, set GTEST_SOURCE_DIR to its sources, "
                          "configure with -DBRIDGE_FETCH_GTEST=ON to download it, or with "
                          "-DBRIDGE_BUILD_TESTS=OFF to build without the tests")
    endif()
    include(FetchContent)
    FetchContent_Declare(googletest
      GIT_REPOSITORY https://github.com/google/googletest.git
      GIT_TAG release-1.12.1
      GIT_SHALLOW TRUE)
    FetchContent_MakeAvailable(googletest)
    set(gtest_built_here ON)
  endif()
endif()

if(gtest_built_here)
  if(NOT TARGET GTest::gtest)
    add_library(GTest::gtest ALIAS gtest)
  endif()
  # Not the project's code: no warnings of ours, and its headers count as system headers.
  if(NOT MSVC)
    target_compile_options(gtest PRIVATE -w)
  endif()
  get_target_property(gtest_includes gtest INTERFACE_INCLUDE_DIRECTORIES)
  set_target_properties(gtest PROPERTIES INTERFACE_SYSTEM_INCLUDE_DIRECTORIES "${gtest_includes}")
endif()
