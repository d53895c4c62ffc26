# The macOS app bundle: "Quern Zova.app" in bin/, with our Info.plist and an icon made from
# AppIcon.svg at build time. Included from the top-level CMakeLists.txt on Apple platforms; on Linux
# from CompileCheck.cmake, which wants only the icon tool and the bundle's properties.
add_executable(quern-make-icns ${CMAKE_CURRENT_LIST_DIR}/MakeIcns.cpp)
target_link_libraries(quern-make-icns PRIVATE Qt6::Gui Qt6::Svg quern_warnings)
# What CMake fills Info.plist.in with (MACOSX_BUNDLE_EXECUTABLE_NAME is the output name).
set(QUERN_BUNDLE_PROPERTIES
  OUTPUT_NAME "Quern Zova"
  MACOSX_BUNDLE_INFO_PLIST ${CMAKE_CURRENT_LIST_DIR}/Info.plist.in
  MACOSX_BUNDLE_GUI_IDENTIFIER app.quernzova.client
  MACOSX_BUNDLE_BUNDLE_NAME "Quern Zova"
  MACOSX_BUNDLE_BUNDLE_VERSION ${PROJECT_VERSION}
  MACOSX_BUNDLE_SHORT_VERSION_STRING ${PROJECT_VERSION}
  MACOSX_BUNDLE_ICON_FILE AppIcon)
if(NOT APPLE)
  set_target_properties(quern-make-icns PROPERTIES EXCLUDE_FROM_ALL TRUE)
  return()
endif()

# It runs during the build: only the build machine's slice when the app is built for several.
if(CMAKE_HOST_SYSTEM_PROCESSOR IN_LIST CMAKE_OSX_ARCHITECTURES)
  set_target_properties(quern-make-icns PROPERTIES OSX_ARCHITECTURES ${CMAKE_HOST_SYSTEM_PROCESSOR})
endif()

set(QUERN_ICNS ${CMAKE_BINARY_DIR}/AppIcon.icns)
add_custom_command(OUTPUT ${QUERN_ICNS}
  COMMAND quern-make-icns ${CMAKE_SOURCE_DIR}/resources/icons/AppIcon.svg ${QUERN_ICNS}
  DEPENDS quern-make-icns ${CMAKE_SOURCE_DIR}/resources/icons/AppIcon.svg
  COMMENT "AppIcon.icns from AppIcon.svg")
target_sources(quern-zova PRIVATE ${QUERN_ICNS})
set_source_files_properties(${QUERN_ICNS} PROPERTIES MACOSX_PACKAGE_LOCATION Resources)

set_target_properties(quern-zova PROPERTIES MACOSX_BUNDLE TRUE ${QUERN_BUNDLE_PROPERTIES})
install(TARGETS quern-zova BUNDLE DESTINATION .)
