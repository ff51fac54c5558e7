# quillcast.exe's resources (icon, manifest, version information) and the two packages
# (the NSIS installer and the portable zip), made from the one version number above.
enable_language(RC)
find_package(Python3 REQUIRED COMPONENTS Interpreter)

set(QC_RESOURCE_DIR ${CMAKE_BINARY_DIR}/resources)
set(QC_ICON_FILE ${QC_RESOURCE_DIR}/quillcast.ico)
set(QC_MANIFEST_FILE ${QC_RESOURCE_DIR}/quillcast.exe.manifest)
configure_file(${CMAKE_SOURCE_DIR}/resources/quillcast.exe.manifest.in ${QC_MANIFEST_FILE} @ONLY)
configure_file(${CMAKE_SOURCE_DIR}/resources/quillcast.rc.in ${QC_RESOURCE_DIR}/quillcast.rc @ONLY)
# The icon is drawn by a script kept beside the other sources; nothing binary is committed.
add_custom_command(
  OUTPUT ${QC_ICON_FILE}
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/resources/make_icon.py ${QC_ICON_FILE}
  DEPENDS ${CMAKE_SOURCE_DIR}/resources/make_icon.py
  COMMENT "Drawing the application icon")
add_custom_target(quillcast_icon DEPENDS ${QC_ICON_FILE})
set_source_files_properties(${QC_RESOURCE_DIR}/quillcast.rc PROPERTIES
  OBJECT_DEPENDS "${QC_ICON_FILE};${QC_MANIFEST_FILE}")
target_sources(quillcast PRIVATE ${QC_RESOURCE_DIR}/quillcast.rc)
add_dependencies(quillcast quillcast_icon)

# `cmake --build build/win --target packages` writes both packages into QC_DIST_DIR.
set(QC_DIST_DIR ${CMAKE_SOURCE_DIR}/dist CACHE PATH "Where the Windows packages are written")
find_program(QC_MAKENSIS makensis)
find_program(QC_ZIP zip)
set(QC_SETUP ${QC_DIST_DIR}/quillcast-${PROJECT_VERSION}-setup.exe)
set(QC_ZIP_FILE ${QC_DIST_DIR}/quillcast-${PROJECT_VERSION}-windows-x64.zip)
set(QC_ZIP_DIR ${CMAKE_BINARY_DIR}/portable/quillcast-${PROJECT_VERSION})
if(QC_MAKENSIS AND QC_ZIP)
  add_custom_command(
    OUTPUT ${QC_SETUP}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${QC_DIST_DIR}
    COMMAND ${QC_MAKENSIS} -V2 -NOCD
            -DVERSION=${PROJECT_VERSION}
            -DVERSION_MAJOR=${PROJECT_VERSION_MAJOR}
            -DVERSION_MINOR=${PROJECT_VERSION_MINOR}
            -DEXE=$<TARGET_FILE:quillcast>
            -DICON=${QC_ICON_FILE}
            -DLICENSE_FILE=${CMAKE_SOURCE_DIR}/LICENSE
            -DOUTFILE=${QC_SETUP}
            ${CMAKE_SOURCE_DIR}/installer/quillcast.nsi
    DEPENDS quillcast ${CMAKE_SOURCE_DIR}/installer/quillcast.nsi ${CMAKE_SOURCE_DIR}/LICENSE
            ${QC_ICON_FILE}
    COMMENT "Building the installer")
  add_custom_command(
    OUTPUT ${QC_ZIP_FILE}
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${QC_ZIP_DIR} ${QC_ZIP_FILE}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${QC_ZIP_DIR} ${QC_DIST_DIR}
    COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:quillcast> ${CMAKE_SOURCE_DIR}/LICENSE
            ${CMAKE_SOURCE_DIR}/installer/README.txt ${QC_ZIP_DIR}
    COMMAND ${CMAKE_COMMAND} -E chdir ${CMAKE_BINARY_DIR}/portable
            ${QC_ZIP} -q -r -X ${QC_ZIP_FILE} quillcast-${PROJECT_VERSION}
    DEPENDS quillcast ${CMAKE_SOURCE_DIR}/LICENSE ${CMAKE_SOURCE_DIR}/installer/README.txt
    COMMENT "Building the portable zip")
  add_custom_target(packages DEPENDS ${QC_SETUP} ${QC_ZIP_FILE})
else()
  add_custom_target(packages
    COMMAND ${CMAKE_COMMAND} -E echo "makensis and zip are needed for the packages (scripts/deps.sh all)"
    COMMAND ${CMAKE_COMMAND} -E false)
endif()
