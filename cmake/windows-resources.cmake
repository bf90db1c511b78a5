# The Windows programs' resources: icon, manifest and version information
# (packaging/windows/program.rc.in), from the one version in
# cmake/version.cmake. QSN_ICON replaces the icon (scripts/windows.sh
# --icon). The build folder's VERSION file tells the packaging script the
# same version.
enable_language(RC)
set(QSN_ICON "${PROJECT_SOURCE_DIR}/packaging/windows/qsnclient.ico"
    CACHE FILEPATH "The Windows programs' icon (.ico)")
set(QSN_PUBLISHER "qsnclient maintainers")
file(WRITE ${PROJECT_BINARY_DIR}/VERSION "${QSN_VERSION}\n")

# qsn_windows_resources(TARGET DESCRIPTION)
function(qsn_windows_resources target description)
  set(rc_name ${target})
  set(rc_description ${description})
  set(rc_manifest ${PROJECT_BINARY_DIR}/${target}.manifest)
  set(rc_file ${PROJECT_BINARY_DIR}/${target}.rc)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/windows/program.manifest.in ${rc_manifest} @ONLY)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/windows/program.rc.in ${rc_file} @ONLY)
  # windres reads the icon and the manifest; CMake does not see them.
  set_source_files_properties(${rc_file} PROPERTIES
    OBJECT_DEPENDS "${QSN_ICON};${rc_manifest}")
  target_sources(${target} PRIVATE ${rc_file})
endfunction()
