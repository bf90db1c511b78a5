# The version of every program and package, taken from the latest entry of
# packaging/changelog, so that the Debian packages, the Windows programs'
# version information and their installer never disagree. Sets QSN_VERSION
# (as written there) and QSN_VERSION_MAJOR, _MINOR and _PATCH.
file(STRINGS ${CMAKE_CURRENT_LIST_DIR}/../packaging/changelog qsn_changelog_head
     LIMIT_COUNT 1)
if(NOT qsn_changelog_head MATCHES "^qsnclient \\(([^)]+)\\)")
  message(FATAL_ERROR "packaging/changelog does not start with an entry for qsnclient")
endif()
set(QSN_VERSION ${CMAKE_MATCH_1})
# A new entry configures the build anew.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             ${CMAKE_CURRENT_LIST_DIR}/../packaging/changelog)
# Windows keeps four numbers; a Debian revision or suffix does not count.
if(NOT QSN_VERSION MATCHES "^([0-9]+)\\.([0-9]+)\\.([0-9]+)")
  message(FATAL_ERROR "version ${QSN_VERSION} does not start with three numbers")
endif()
set(QSN_VERSION_MAJOR ${CMAKE_MATCH_1})
set(QSN_VERSION_MINOR ${CMAKE_MATCH_2})
set(QSN_VERSION_PATCH ${CMAKE_MATCH_3})
