# Generates the header, the interface ids, the proxy and dlldata of an IDL file with widl (MIDL
# under MSVC), and defines two targets: <name>_idl, a static library with the ids whose include
# folder holds the header, and <name>_proxy, the proxy/stub DLL named <dll_name>.dll. The target's
# bitness (CMAKE_SIZEOF_VOID_P) picks the marshaling code's: x64 or x86, structures packed to 2
# bytes on both.
#   add_com_interface(NAME name IDL file DLL_NAME name PROXY_CLSID {...} [INCLUDES dirs...])
function(add_com_interface)
  cmake_parse_arguments(ARG "" "NAME;IDL;DLL_NAME;PROXY_CLSID" "INCLUDES;DEPENDS" ${ARGN})
  get_filename_component(base ${ARG_IDL} NAME_WE)
  set(gen ${CMAKE_CURRENT_BINARY_DIR}/generated)
  file(MAKE_DIRECTORY ${gen})
  set(header ${gen}/${base}.h)
  set(iids ${gen}/${base}_i.c)
  set(proxy ${gen}/${base}_p.c)
  set(dlldata ${gen}/${base}_dlldata.c)
  set(includes)
  foreach(dir IN LISTS ARG_INCLUDES)
    list(APPEND includes -I${dir})
  endforeach()

  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(midl_env win32)
    set(widl_target -m32 --win32-align 2)
  else()
    set(midl_env x64)
    set(widl_target -m64 --win64-align 2)
  endif()

  if(MSVC)
    add_custom_command(
      OUTPUT ${header} ${iids} ${proxy} ${dlldata}
      COMMAND midl /nologo /env ${midl_env} /Zp2 /Oicf ${includes} /h ${header} /iid ${iids}
              /proxy ${proxy} /dlldata ${dlldata} ${ARG_IDL}
      DEPENDS ${ARG_IDL} ${ARG_DEPENDS}
      VERBATIM)
  else()
    set(flags ${widl_target} -Oif -I/usr/include/wine/wine/windows ${includes})
    add_custom_command(
      OUTPUT ${header} ${iids} ${proxy} ${dlldata}
      COMMAND ${WIDL_EXECUTABLE} ${flags} -h -H ${header} ${ARG_IDL}
      COMMAND ${WIDL_EXECUTABLE} ${flags} -u -U ${iids} ${ARG_IDL}
      COMMAND ${WIDL_EXECUTABLE} ${flags} -p -P ${proxy} ${ARG_IDL}
      COMMAND ${WIDL_EXECUTABLE} ${flags} --dlldata-only --dlldata=${dlldata} ${ARG_IDL}
      # widl describes an [out, string] WCHAR** parameter by its inner pointer; point it at the
      # outer one.
      COMMAND ${CMAKE_COMMAND} -DPROXY_FILE=${proxy} -P ${BRIDGE_CMAKE_DIR}/fix_widl_string_out.cmake
      DEPENDS ${ARG_IDL} ${ARG_DEPENDS} ${BRIDGE_CMAKE_DIR}/fix_widl_string_out.cmake
      VERBATIM)
  endif()
  add_custom_target(${ARG_NAME}_generated DEPENDS ${header} ${iids} ${proxy} ${dlldata})

  add_library(${ARG_NAME}_idl STATIC ${iids})
  add_dependencies(${ARG_NAME}_idl ${ARG_NAME}_generated)
  # Both targets hold only generated code: CompileSettings.cmake scopes the warning flags.
  set_target_properties(${ARG_NAME}_idl PROPERTIES BRIDGE_GENERATED_CODE ON)
  target_include_directories(${ARG_NAME}_idl PUBLIC ${gen})

  set(def ${gen}/${ARG_DLL_NAME}.def)
  file(WRITE ${def} "LIBRARY ${ARG_DLL_NAME}\nEXPORTS\n    DllGetClassObject PRIVATE\n"
                    "    DllCanUnloadNow PRIVATE\n    DllRegisterServer PRIVATE\n"
                    "    DllUnregisterServer PRIVATE\n")
  add_library(${ARG_NAME}_proxy SHARED ${proxy} ${iids} ${dlldata} ${def})
  add_dependencies(${ARG_NAME}_proxy ${ARG_NAME}_generated)
  set_target_properties(${ARG_NAME}_proxy PROPERTIES BRIDGE_GENERATED_CODE ON)
  target_include_directories(${ARG_NAME}_proxy PRIVATE ${gen})
  target_compile_definitions(${ARG_NAME}_proxy PRIVATE REGISTER_PROXY_DLL
                             "PROXY_CLSID_IS=${ARG_PROXY_CLSID}")
  if(NOT MSVC)
    target_compile_options(${ARG_NAME}_proxy PRIVATE
      -include ${BRIDGE_CMAKE_DIR}/widl_proxy_prelude.h -Wno-unused-parameter
      -Wno-missing-field-initializers -Wno-cast-function-type)
    if(CMAKE_SIZEOF_VOID_P EQUAL 4)
      # The .def names the exports undecorated; x86 gives the stdcall functions @n suffixes.
      target_link_options(${ARG_NAME}_proxy PRIVATE -Wl,--enable-stdcall-fixup)
    endif()
  endif()
  target_link_libraries(${ARG_NAME}_proxy PRIVATE rpcrt4 ole32 oleaut32 uuid)
  set_target_properties(${ARG_NAME}_proxy PROPERTIES PREFIX "" OUTPUT_NAME ${ARG_DLL_NAME})
endfunction()
