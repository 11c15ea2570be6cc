# The MSVC-mode check, for builds without MSVC: clang in MSVC mode (--target=x86_64-pc-windows-msvc,
# -fms-compatibility) parses every C++ source of the named targets with -fsyntax-only against
# MinGW's headers and libstdc++, with HRESULT_FROM_WIN32 an inline function as in the Windows SDK
# (msvc_check_sdk.h). It catches constructs that MSVC refuses and GCC accepts; it does not replace
# a build with MSVC (no MSVC headers or STL, no MSVC warnings).
#   bridge_msvc_syntax_check(target...)   in the targets' folder; nothing unless the option is ON
# Each target gets msvc_check_<target>, part of the default build; a source is checked again when
# it or a header it includes changes.
option(BRIDGE_MSVC_SYNTAX_CHECK "Check the product sources with clang in MSVC mode" OFF)

if(BRIDGE_MSVC_SYNTAX_CHECK)
  find_program(BRIDGE_CLANGXX clang++ REQUIRED)
  if(NOT MINGW_GCC_DIR)
    file(GLOB MINGW_GCC_DIR LIST_DIRECTORIES true /usr/lib/gcc/x86_64-w64-mingw32/*-posix)
    list(SORT MINGW_GCC_DIR COMPARE NATURAL ORDER DESCENDING)
    list(GET MINGW_GCC_DIR 0 MINGW_GCC_DIR)
  endif()
  set(cxx_include ${MINGW_GCC_DIR}/include/c++)
  # -fgnuc-version: MinGW's headers define __attribute__ away for a compiler that is not GCC;
  # __STRICT_ANSI__ as -std=c++17 defines it for GCC (libstdc++ warns without it).
  set(BRIDGE_MSVC_CHECK_FLAGS
      --target=x86_64-pc-windows-msvc -fms-compatibility -fms-extensions
      -fms-compatibility-version=19.30 -fgnuc-version=12 -std=c++17 -D__STRICT_ANSI__
      -fsyntax-only -Wall -Wextra -Werror
      -nostdlibinc -isystem ${cxx_include} -isystem ${cxx_include}/x86_64-w64-mingw32
      -isystem ${cxx_include}/backward -idirafter /usr/x86_64-w64-mingw32/include
      -include ${CMAKE_CURRENT_LIST_DIR}/msvc_check_sdk.h)
endif()

function(bridge_msvc_syntax_check)
  if(NOT BRIDGE_MSVC_SYNTAX_CHECK)
    return()
  endif()
  foreach(target IN LISTS ARGN)
    get_target_property(sources ${target} SOURCES)
    get_target_property(source_dir ${target} SOURCE_DIR)
    set(includes "$<TARGET_PROPERTY:${target},INCLUDE_DIRECTORIES>")
    set(definitions "$<TARGET_PROPERTY:${target},COMPILE_DEFINITIONS>")
    list(TRANSFORM BRIDGE_DEFINITIONS PREPEND -D OUTPUT_VARIABLE project_definitions)
    set(stamps)
    foreach(source IN LISTS sources)
      if(NOT source MATCHES "\\.cpp$")
        continue()
      endif()
      get_filename_component(source ${source} ABSOLUTE BASE_DIR ${source_dir})
      # Generated sources are named from the build folder.
      file(RELATIVE_PATH name ${CMAKE_BINARY_DIR} ${source})
      if(name MATCHES "^\\.\\./")
        file(RELATIVE_PATH name ${CMAKE_SOURCE_DIR} ${source})
      else()
        set(name generated/${name})
      endif()
      set(stamp ${CMAKE_BINARY_DIR}/msvc-check/${name}.ok)
      get_filename_component(stamp_dir ${stamp} DIRECTORY)
      file(MAKE_DIRECTORY ${stamp_dir})
      add_custom_command(
        OUTPUT ${stamp}
        COMMAND ${BRIDGE_CLANGXX} ${BRIDGE_MSVC_CHECK_FLAGS}
                "$<$<BOOL:${includes}>:-I$<JOIN:${includes},;-I>>"
                "$<$<BOOL:${definitions}>:-D$<JOIN:${definitions},;-D>>" ${project_definitions}
                -MD -MF ${stamp}.d -MT ${stamp} ${source}
        COMMAND ${CMAKE_COMMAND} -E touch ${stamp}
        DEPENDS ${source}
        DEPFILE ${stamp}.d
        COMMENT "MSVC-mode check of ${name}"
        COMMAND_EXPAND_LISTS VERBATIM)
      list(APPEND stamps ${stamp})
    endforeach()
    add_custom_target(msvc_check_${target} ALL DEPENDS ${stamps})
    # After the target itself: its generated headers exist then.
    add_dependencies(msvc_check_${target} ${target})
  endforeach()
endfunction()
