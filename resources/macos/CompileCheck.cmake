# Writes what the macOS build compiles and links, and how, so that scripts/macos-check.sh can check
# it here with Zig's macOS headers, GNUstep's AppKit headers and Qt's moc and rcc. Included from the
# top-level CMakeLists.txt on Linux only, after tests/.
#
# The sources are the targets' own (common to both platforms) with the Linux-only ones swapped for
# the Apple-only ones, so a file added to a target is checked without being named here. One line
# each in macos-sources.txt: "app", "objc" or "generated" (the executable's objects) or "other" (the
# test suites, the demo agent and the icon tool, compiled but not linked here), then the path.
set(_app)
foreach(_target quern_core quern_processes quern_supervisor quern_agent quern_app quern-zova)
  get_target_property(_target_sources ${_target} SOURCES)
  list(APPEND _app ${_target_sources})
endforeach()
list(REMOVE_ITEM _app ${QUERN_LINUX_SOURCES} ${QUERN_LINUX_AGENT_SOURCES})
list(APPEND _app ${QUERN_APPLE_SOURCES})
list(REMOVE_DUPLICATES _app)

set(_other resources/macos/MakeIcns.cpp)
get_target_property(_agent_sources quern-bridge-agent SOURCES)
foreach(_source IN LISTS _agent_sources)
  list(APPEND _other demo-agent/${_source})
endforeach()
if(TARGET core_tests)
  get_directory_property(_suites DIRECTORY tests DEFINITION QUERN_SUITES_OF_BOTH)
  get_directory_property(_macos_suite DIRECTORY tests DEFINITION QUERN_MACOS_SUITE_SOURCES)
  foreach(_target quern-test-child ${_suites})
    get_target_property(_target_sources ${_target} SOURCES)
    list(APPEND _tests ${_target_sources})
  endforeach()
  list(APPEND _tests ${_macos_suite})
  list(REMOVE_DUPLICATES _tests)
  foreach(_source IN LISTS _tests)
    cmake_path(ABSOLUTE_PATH _source BASE_DIRECTORY ${CMAKE_SOURCE_DIR}/tests)
    list(APPEND _other ${_source})
  endforeach()
endif()

# moc and rcc as the macOS build runs them: moc over the executable's own sources (not the Linux
# ones) and over the tests', rcc over its resources. Built by the target quern_macos_generated.
set(_lines)
set(_qrc)
set(_app_cxx)
foreach(_source IN LISTS _app)
  cmake_path(ABSOLUTE_PATH _source BASE_DIRECTORY ${CMAKE_SOURCE_DIR})
  if(_source MATCHES "\\.(cpp|h)$")
    list(APPEND _app_cxx ${_source})
  endif()
  if(_source MATCHES "\\.cpp$")
    list(APPEND _lines "app ${_source}")
  elseif(_source MATCHES "\\.mm$")
    list(APPEND _lines "objc ${_source}")
  elseif(_source MATCHES "\\.qrc$")
    list(APPEND _qrc ${_source})
  endif()
endforeach()
add_library(quern_macos_app OBJECT EXCLUDE_FROM_ALL ${_app_cxx})
target_link_libraries(quern_macos_app PRIVATE quern_core Qt6::Widgets Qt6::Svg Qt6::Network)
set(_other_cxx)
foreach(_source IN LISTS _other)
  cmake_path(ABSOLUTE_PATH _source BASE_DIRECTORY ${CMAKE_SOURCE_DIR})
  list(APPEND _other_cxx ${_source})
  list(APPEND _lines "other ${_source}")
endforeach()
find_package(Qt6 REQUIRED COMPONENTS Test)
find_package(GTest REQUIRED)
add_library(quern_macos_other OBJECT EXCLUDE_FROM_ALL ${_other_cxx})
target_include_directories(quern_macos_other PRIVATE ${CMAKE_SOURCE_DIR}/tests)
target_link_libraries(quern_macos_other PRIVATE quern_app Qt6::Test GTest::gtest)
# Only moc's output is wanted: not the libraries the targets link.
set_target_properties(quern_macos_app quern_macos_other PROPERTIES AUTOMOC ON AUTORCC OFF AUTOGEN_ORIGIN_DEPENDS OFF)
list(APPEND _lines "generated ${CMAKE_BINARY_DIR}/quern_macos_app_autogen/mocs_compilation.cpp")
# rcc as AUTORCC runs it (qt_add_resources would take the file from quern_app's AUTORCC); run every
# time, it is quick and the compiler cache sees unchanged output.
set(_rcc)
foreach(_source IN LISTS _qrc)
  cmake_path(GET _source STEM _name)
  list(APPEND _lines "generated ${CMAKE_BINARY_DIR}/macos/qrc_${_name}.cpp")
  list(APPEND _rcc COMMAND Qt6::rcc --name ${_name} -o ${CMAKE_BINARY_DIR}/macos/qrc_${_name}.cpp ${_source})
endforeach()
add_custom_target(quern_macos_generated ${_rcc})
add_dependencies(quern_macos_generated quern_macos_app_autogen quern_macos_other_autogen quern-make-icns)
list(JOIN _lines "\n" _lines)
file(WRITE ${CMAKE_BINARY_DIR}/macos-sources.txt "${_lines}\n")

# One item a line, for the executable (macos-compile-flags.txt) and the rest (macos-other-flags.txt):
# the defines and include folders, the warnings, the standard and the build type's flags.
string(TOUPPER "${CMAKE_BUILD_TYPE}" _config)
separate_arguments(_build_flags UNIX_COMMAND "${CMAKE_CXX_FLAGS} ${CMAKE_CXX_FLAGS_${_config}}")
list(JOIN _build_flags "\noption " _build_flags)
foreach(_kind compile other)
  set(_target quern_macos_app)
  if(_kind STREQUAL other)
    set(_target quern_macos_other)
  endif()
  file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/macos-${_kind}-flags.txt CONTENT
"define $<JOIN:$<TARGET_PROPERTY:${_target},COMPILE_DEFINITIONS>,\ndefine >
include $<JOIN:$<TARGET_PROPERTY:${_target},INCLUDE_DIRECTORIES>,\ninclude >
option $<JOIN:$<TARGET_PROPERTY:quern_warnings,INTERFACE_COMPILE_OPTIONS>,\noption >
option -std=c++${CMAKE_CXX_STANDARD}
option ${_build_flags}
")
endforeach()

# Info.plist as CMake fills it for the bundle (resources/macos/Bundle.cmake), and the deployment
# target it must name.
include(${CMAKE_CURRENT_LIST_DIR}/Bundle.cmake)
cmake_parse_arguments(_bundle "" "OUTPUT_NAME;MACOSX_BUNDLE_INFO_PLIST;MACOSX_BUNDLE_GUI_IDENTIFIER;MACOSX_BUNDLE_BUNDLE_NAME;MACOSX_BUNDLE_BUNDLE_VERSION;MACOSX_BUNDLE_SHORT_VERSION_STRING;MACOSX_BUNDLE_ICON_FILE" "" ${QUERN_BUNDLE_PROPERTIES})
set(MACOSX_BUNDLE_EXECUTABLE_NAME "${_bundle_OUTPUT_NAME}")
foreach(_key GUI_IDENTIFIER BUNDLE_NAME BUNDLE_VERSION SHORT_VERSION_STRING ICON_FILE)
  set(MACOSX_BUNDLE_${_key} "${_bundle_MACOSX_BUNDLE_${_key}}")
endforeach()
configure_file(${_bundle_MACOSX_BUNDLE_INFO_PLIST} ${CMAKE_BINARY_DIR}/macos/Info.plist)
file(WRITE ${CMAKE_BINARY_DIR}/macos-bundle.txt
  "executable ${MACOSX_BUNDLE_EXECUTABLE_NAME}\ndeployment-target ${CMAKE_OSX_DEPLOYMENT_TARGET}\nicon ${MACOSX_BUNDLE_ICON_FILE}\n")
