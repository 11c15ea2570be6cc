# Cross-compiles the server for Windows x64 with clang and lld, against the MinGW-w64 headers,
# import libraries and libstdc++ (posix threads) of the GCC build: the second compiler of CI.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(MINGW_TRIPLE x86_64-w64-mingw32)
set(MINGW_SYSROOT /usr/${MINGW_TRIPLE})
file(GLOB MINGW_GCC_DIRS LIST_DIRECTORIES true /usr/lib/gcc/${MINGW_TRIPLE}/*-posix)
list(SORT MINGW_GCC_DIRS COMPARE NATURAL ORDER DESCENDING)
list(GET MINGW_GCC_DIRS 0 MINGW_GCC_DIR)

set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET ${MINGW_TRIPLE})
set(CMAKE_CXX_COMPILER_TARGET ${MINGW_TRIPLE})
set(CMAKE_RC_COMPILER ${MINGW_TRIPLE}-windres)
set(WIDL_EXECUTABLE ${MINGW_TRIPLE}-widl)

# Only MinGW's headers: without -nostdlibinc clang would also search the host's, libstdc++ too.
set(mingw_includes "-nostdlibinc -idirafter ${MINGW_SYSROOT}/include")
set(CMAKE_C_FLAGS_INIT "${mingw_includes}")
set(libstdcxx ${MINGW_GCC_DIR}/include/c++)
set(CMAKE_CXX_FLAGS_INIT "-nostdlibinc -isystem ${libstdcxx} \
-isystem ${libstdcxx}/${MINGW_TRIPLE} -isystem ${libstdcxx}/backward \
-idirafter ${MINGW_SYSROOT}/include")
# lld, with the posix libstdc++'s thread library that the clang driver does not add. The compile
# flags also reach the link, where clang finds some of them unused.
set(bridge_clang_link "-fuse-ld=lld -L${MINGW_GCC_DIR} -L${MINGW_SYSROOT}/lib -lpthread \
-Wno-unused-command-line-argument")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${bridge_clang_link}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${bridge_clang_link}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${bridge_clang_link}")

set(CMAKE_FIND_ROOT_PATH ${MINGW_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
