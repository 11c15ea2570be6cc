# Compiler settings shared by the x64 build and the x86 side (tests/e2e32).
set(BRIDGE_DEFINITIONS UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)
add_compile_definitions(${BRIDGE_DEFINITIONS})

# Warning flags for the project's own code. Targets of generated code (MIDL or widl output, see
# Widl.cmake) set the property BRIDGE_GENERATED_CODE: MIDL's proxies are not written for /W4, so
# under MSVC they build at /W3 without /WX; GCC and clang keep the flags for them, less a few.
set(own_code "$<NOT:$<BOOL:$<TARGET_PROPERTY:BRIDGE_GENERATED_CODE>>>")
if(MSVC)
  add_compile_options(/permissive- "$<IF:${own_code},/W4,/W3>")
  if(BRIDGE_WARNINGS_AS_ERRORS)
    add_compile_options("$<${own_code}:/WX>")
  endif()
  set(CMAKE_MSVC_RUNTIME_LIBRARY "MultiThreaded$<$<CONFIG:Debug>:Debug>")
else()
  add_compile_options(-Wall -Wextra)
  if(BRIDGE_WARNINGS_AS_ERRORS)
    add_compile_options(-Werror)
  endif()
  # Static runtime: the executables and DLLs need no MinGW DLLs beside them.
  add_link_options(-static -static-libgcc -static-libstdc++)
endif()
