# Included by the x64 build's end-to-end tests (tests/e2e): builds the x86 side (this folder's
# project, with the 32-bit toolchain) as an external project, lays its proxy/stub and sample client
# out in ${E2E_DIR}/x86 beside the x64 page oracle, registers the proxy/stub in the 32-bit registry
# view and runs the 32-bit client's tests against the registered x64 server.
# Needs E2E_DIR and SIM_SCENARIO_DIR, and the fixture e2e_registered.
option(BRIDGE_BUILD_X86 "Build the x86 proxy/stub and run the 32-bit client's end-to-end tests" ON)
if(NOT BRIDGE_BUILD_X86)
  return()
endif()

include(ExternalProject)
set(X86_BUILD_DIR ${CMAKE_BINARY_DIR}/x86)
set(X86_BIN ${X86_BUILD_DIR}/bin)
set(x86_args -DBRIDGE_WARNINGS_AS_ERRORS=${BRIDGE_WARNINGS_AS_ERRORS}
             -DBRIDGE_VERSION=${PROJECT_VERSION}
             -DGTEST_SOURCE_DIR=${GTEST_SOURCE_DIR} -DBRIDGE_FETCH_GTEST=${BRIDGE_FETCH_GTEST})

if(MSVC)
  # Visual Studio builds the x86 side as Win32 with the same generator.
  ExternalProject_Add(bridge_x86
    SOURCE_DIR ${CMAKE_CURRENT_LIST_DIR}
    BINARY_DIR ${X86_BUILD_DIR}
    CMAKE_GENERATOR ${CMAKE_GENERATOR}
    CMAKE_GENERATOR_PLATFORM Win32
    CMAKE_ARGS ${x86_args}
    INSTALL_COMMAND ""
    BUILD_ALWAYS ON)
else()
  find_program(X86_CXX i686-w64-mingw32-g++-posix)
  if(NOT X86_CXX)
    message(FATAL_ERROR "i686-w64-mingw32-g++-posix not found: run tools/install-deps.sh, or "
                        "configure with -DBRIDGE_BUILD_X86=OFF to leave the 32-bit side out")
  endif()
  ExternalProject_Add(bridge_x86
    SOURCE_DIR ${CMAKE_CURRENT_LIST_DIR}
    BINARY_DIR ${X86_BUILD_DIR}
    CMAKE_ARGS -DCMAKE_TOOLCHAIN_FILE=${CMAKE_SOURCE_DIR}/cmake/toolchain-mingw-w64-i686.cmake
               -DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE} ${x86_args}
    INSTALL_COMMAND ""
    # The x86 build tracks its own sources: run its build every time and let it decide.
    BUILD_ALWAYS ON
    BUILD_BYPRODUCTS ${X86_BIN}/StiScannerComBridgePS.dll ${X86_BIN}/sample_client.exe
                     ${X86_BIN}/bridge_e2e32_tests.exe ${X86_BIN}/StiBridgeSource.ds
                     ${X86_BIN}/datasource_tests.exe)
endif()

# The expected page bytes of the 32-bit client: the simulator's generator, from an x64 program.
add_executable(sim_page_oracle ${CMAKE_CURRENT_LIST_DIR}/sim_page_oracle.cpp)
target_link_libraries(sim_page_oracle PRIVATE sim_core shell32)

add_custom_target(e2e32_layout ALL
  COMMAND ${CMAKE_COMMAND} -E make_directory ${E2E_DIR}/x86
  COMMAND ${CMAKE_COMMAND} -E copy_if_different ${X86_BIN}/StiScannerComBridgePS.dll
          ${X86_BIN}/sample_client.exe $<TARGET_FILE:sim_page_oracle> ${E2E_DIR}/x86
  COMMAND ${CMAKE_COMMAND} -E make_directory ${E2E_DIR}/x86/twain_32
  COMMAND ${CMAKE_COMMAND} -E copy_if_different ${X86_BIN}/StiBridgeSource.ds
          ${E2E_DIR}/x86/twain_32
  VERBATIM)
add_dependencies(e2e32_layout bridge_x86 sim_page_oracle)

# A Linux kernel started without IA-32 emulation (seen: "32-bit emulation disabled" with
# ia32_emulation=off) runs no 32-bit program, Wine's 32-bit half included: the x86 side is still
# built, but its tests cannot run there and are left out.
if(CMAKE_CROSSCOMPILING)
  execute_process(COMMAND /usr/lib/wine/wine --version RESULT_VARIABLE x86_wine_result
                  OUTPUT_QUIET ERROR_QUIET)
  if(NOT x86_wine_result EQUAL 0)
    message(WARNING "This machine cannot run 32-bit programs (/usr/lib/wine/wine does not start): "
                    "the x86 side is built, its tests are left out")
    return()
  endif()
endif()

# The 32-bit proxy/stub in the 32-bit registry view, after the server and the x64 proxy/stub: the
# 32-bit regsvr32 writes that view. Elevated on Windows, like e2e_register.
if(CMAKE_CROSSCOMPILING)
  add_test(NAME e2e32_register
           COMMAND ${CMAKE_CURRENT_LIST_DIR}/../e2e/register.sh ${CMAKE_BINARY_DIR}/wine-run.sh
                   ${E2E_DIR} x86)
else()
  find_program(REGSVR32_X86_EXECUTABLE regsvr32 PATHS "$ENV{SystemRoot}/SysWOW64" NO_DEFAULT_PATH
               REQUIRED)
  file(TO_NATIVE_PATH ${E2E_DIR}/x86/StiScannerComBridgePS.dll x86_proxy_native)
  add_test(NAME e2e32_register COMMAND ${REGSVR32_X86_EXECUTABLE} /s ${x86_proxy_native})
endif()
set_tests_properties(e2e32_register PROPERTIES FIXTURES_SETUP e2e32_registered
                     FIXTURES_REQUIRED e2e_registered TIMEOUT 300)

# The 32-bit client runs beside the server: under the x64 build's Wine (WoW64), in the prefix of
# the server, or natively. Its fixture brings e2e_registered with it.
add_executable(bridge_e2e32_tests IMPORTED)
set_target_properties(bridge_e2e32_tests PROPERTIES
                      IMPORTED_LOCATION ${X86_BIN}/bridge_e2e32_tests.exe)
if(CMAKE_CROSSCOMPILING)
  set_target_properties(bridge_e2e32_tests PROPERTIES
                        CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run.sh)
endif()
gtest_discover_tests(bridge_e2e32_tests DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120
                     TEST_PREFIX x86.
                     EXTRA_ARGS --e2e-dir=${E2E_DIR} --scenario-dir=${SIM_SCENARIO_DIR}
                     PROPERTIES FIXTURES_REQUIRED e2e32_registered TIMEOUT 300 RUN_SERIAL TRUE)

# The x86 data source in a 32-bit application, against the same server.
add_executable(datasource_x86_tests IMPORTED)
set_target_properties(datasource_x86_tests PROPERTIES
  IMPORTED_LOCATION ${X86_BIN}/datasource_tests.exe
  CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run.sh)
gtest_discover_tests(datasource_x86_tests DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120
                     TEST_PREFIX x86. TEST_FILTER -SourceServerDeath.*:SourceWorker.*
                     EXTRA_ARGS --e2e-dir=${E2E_DIR} --scenario-dir=${SIM_SCENARIO_DIR}
                                --ds=${E2E_DIR}/x86/twain_32/StiBridgeSource.ds
                     PROPERTIES FIXTURES_REQUIRED e2e32_registered TIMEOUT 300 RUN_SERIAL TRUE)
