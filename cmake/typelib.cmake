# Vandrel's COM build products from server/vandrel.idl:
#
#   vandrel_type_library(<target> IDL <file.idl>
#                        [OUT_TLB <var>] [OUT_HEADER <var>] [OUT_INCLUDE_DIR <var>])
#
# makes, in ${CMAKE_BINARY_DIR}/typelib/server:
#   <stem>_idl.h  the C/C++ header (widl -h): interfaces, IID_IShell, CLSID_Shell ...
#   <stem>_i.c    their definitions (widl -u), compiled into the static library <target>
#   Vandrel.tlb   the type library, written by server/typelib/build_typelib.cpp run under Wine
#                 (natively on Windows): widl writes a broken library for the order
#                 _IShellEvents, Shell, IShell that the library must have.
#
# Linking <target> gives the IID/CLSID definitions, builds the type library first, and puts
# typelib/ and typelib/server/ on the include path: "server/vandrel_idl.h" and "vandrel_idl.h"
# both work, and so does 1 TYPELIB "Vandrel.tlb" in a resource script. The outputs do not
# depend on the calling directory: a second call with the same target and IDL (server/ and
# tests/server/ may both call it) only sets the OUT_ variables to the same paths.

include_guard(GLOBAL)

set(_vandrel_typelib_source ${CMAKE_CURRENT_LIST_DIR}/../server/typelib/build_typelib.cpp)
cmake_path(NORMAL_PATH _vandrel_typelib_source)

function(vandrel_type_library target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "IDL;OUT_TLB;OUT_HEADER;OUT_INCLUDE_DIR" "")
  if(NOT arg_IDL OR arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "usage: vandrel_type_library(<target> IDL <file.idl> [OUT_TLB <var>] "
                        "[OUT_HEADER <var>] [OUT_INCLUDE_DIR <var>])")
  endif()
  cmake_path(ABSOLUTE_PATH arg_IDL NORMALIZE)
  cmake_path(GET arg_IDL STEM stem)
  set(dir ${CMAKE_BINARY_DIR}/typelib/server)
  set(header ${dir}/${stem}_idl.h)
  set(iids ${dir}/${stem}_i.c)
  set(tlb ${dir}/Vandrel.tlb)

  if(TARGET ${target})
    get_target_property(made_from ${target} VANDREL_IDL)
    if(NOT made_from STREQUAL arg_IDL)
      message(FATAL_ERROR "vandrel_type_library: ${target} is already made from ${made_from}")
    endif()
  else()
    _vandrel_type_library_rules(${target} ${arg_IDL} ${dir} ${header} ${iids} ${tlb})
  endif()

  foreach(out TLB HEADER INCLUDE_DIR)
    if(arg_OUT_${out})
      set(value ${tlb})
      if(out STREQUAL "HEADER")
        set(value ${header})
      elseif(out STREQUAL "INCLUDE_DIR")
        set(value ${dir})
      endif()
      set(${arg_OUT_${out}} ${value} PARENT_SCOPE)
    endif()
  endforeach()
endfunction()

function(_vandrel_type_library_rules target idl dir header iids tlb)
  file(MAKE_DIRECTORY ${dir})

  find_program(VANDREL_WIDL NAMES ${VANDREL_MINGW_TRIPLE}-widl widl REQUIRED)
  find_path(VANDREL_WIDL_INCLUDE oaidl.idl
            PATHS /usr/include/wine/wine/windows /usr/include/wine/windows
            NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH REQUIRED)
  add_custom_command(
    OUTPUT ${header} ${iids}
    COMMAND ${VANDREL_WIDL} -I${VANDREL_WIDL_INCLUDE} -h -H ${header} -u -U ${iids} ${idl}
    DEPENDS ${idl}
    COMMENT "Generating the header and IID definitions from ${idl}"
    VERBATIM)

  # IDispatch must come from the Win32 stdole2: build_typelib.cpp says why.
  if(CMAKE_CROSSCOMPILING)
    # Built as an x64 program whatever the target: this machine may run only x64 programs.
    find_program(VANDREL_TYPELIB_CXX NAMES x86_64-w64-mingw32-g++-posix x86_64-w64-mingw32-g++
                 REQUIRED)
    find_file(VANDREL_STDOLE2_WIN32 stdole2.tlb
              PATHS /usr/lib/i386-linux-gnu/wine/i386-windows /usr/lib/wine/i386-windows
              NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH REQUIRED)
    set(builder ${dir}/build_typelib.exe)
    set(flags -std=c++20 -O2 ${VANDREL_WARNINGS} -municode -static)
    add_custom_command(
      OUTPUT ${builder}
      COMMAND ${VANDREL_TYPELIB_CXX} ${flags} -I${dir} ${_vandrel_typelib_source} -o ${builder}
              -loleaut32 -lole32 -luuid
      DEPENDS ${_vandrel_typelib_source} ${header}
      COMMENT "Building the type library builder (x64)"
      VERBATIM)
    set(run_builder ${VANDREL_WINE} ${VANDREL_WINEPREFIX} run ${builder})
  else()
    add_executable(${target}_builder ${_vandrel_typelib_source} ${header})
    target_include_directories(${target}_builder PRIVATE ${dir})
    target_link_libraries(${target}_builder PRIVATE oleaut32 ole32 uuid)
    if(MINGW)
      target_compile_options(${target}_builder PRIVATE ${VANDREL_WARNINGS})
      target_link_options(${target}_builder PRIVATE -municode)
    endif()
    find_file(VANDREL_STDOLE2_WIN32 stdole2.tlb
              PATHS "$ENV{SystemRoot}/SysWOW64" "$ENV{SystemRoot}/System32"
              NO_DEFAULT_PATH REQUIRED)
    set(builder ${target}_builder)
    set(run_builder $<TARGET_FILE:${target}_builder>)
  endif()
  add_custom_command(
    OUTPUT ${tlb}
    COMMAND ${run_builder} ${tlb} ${VANDREL_STDOLE2_WIN32}
    DEPENDS ${builder}
    COMMENT "Writing the type library ${tlb}"
    VERBATIM)
  add_custom_target(${target}_files DEPENDS ${header} ${iids} ${tlb})

  add_library(${target} STATIC ${iids})
  target_include_directories(${target} PUBLIC ${CMAKE_BINARY_DIR}/typelib ${dir})
  add_dependencies(${target} ${target}_files)
  set_target_properties(${target} PROPERTIES VANDREL_IDL ${idl} VANDREL_TLB ${tlb})
endfunction()
