# Writes what the macOS build would compile, and how, so that scripts/macos-compile.sh can compile it
# here with Zig's macOS headers. Included from the top-level CMakeLists.txt on Linux only.
#
# The sources are the targets' own (common to both platforms) with the Linux-only ones swapped for
# the Apple-only ones, so a file added to a target is checked without being named here.
set(_sources)
foreach(_target quern_core quern_processes quern_app quern-zova)
  get_target_property(_target_sources ${_target} SOURCES)
  list(APPEND _sources ${_target_sources})
endforeach()
list(REMOVE_ITEM _sources ${QUERN_LINUX_SOURCES})
# The icon tool of the bundle (resources/macos/Bundle.cmake) runs on the build machine.
list(APPEND _sources ${QUERN_APPLE_SOURCES} resources/macos/MakeIcns.cpp)
list(REMOVE_DUPLICATES _sources)

set(_cxx)
set(_objcxx)
foreach(_source IN LISTS _sources)
  cmake_path(ABSOLUTE_PATH _source BASE_DIRECTORY ${CMAKE_SOURCE_DIR})
  if(_source MATCHES "\\.cpp$")
    list(APPEND _cxx ${_source})
  elseif(_source MATCHES "\\.mm$")
    list(APPEND _objcxx ${_source})
  endif()
endforeach()
list(JOIN _cxx "\n" _cxx)
list(JOIN _objcxx "\n" _objcxx)
file(WRITE ${CMAKE_BINARY_DIR}/macos-sources.txt "${_cxx}\n")
file(WRITE ${CMAKE_BINARY_DIR}/macos-objc-sources.txt "${_objcxx}\n")

# One item a line: the defines and include folders the program's sources get (its Qt modules,
# without the Linux-only D-Bus one, which quern_app links privately), the warnings, the standard
# and the build type's flags.
string(TOUPPER "${CMAKE_BUILD_TYPE}" _config)
separate_arguments(_build_flags UNIX_COMMAND "${CMAKE_CXX_FLAGS} ${CMAKE_CXX_FLAGS_${_config}}")
set(_program quern-zova)
list(JOIN _build_flags "\noption " _build_flags)
file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/macos-compile-flags.txt CONTENT
"define $<JOIN:$<TARGET_PROPERTY:${_program},COMPILE_DEFINITIONS>,\ndefine >
include $<JOIN:$<TARGET_PROPERTY:${_program},INCLUDE_DIRECTORIES>,\ninclude >
option $<JOIN:$<TARGET_PROPERTY:quern_warnings,INTERFACE_COMPILE_OPTIONS>,\noption >
option -std=c++${CMAKE_CXX_STANDARD}
option ${_build_flags}
")
