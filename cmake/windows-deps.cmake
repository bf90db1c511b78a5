# The Windows build's libraries: imported targets on the static prefix that
# scripts/windows-deps.sh builds, named as their Linux counterparts so every
# target links the same names. Windows has no iconv; nothing stands in for it.
set(QSN_WIN_DEPS "" CACHE PATH "Prefix printed by scripts/windows-deps.sh")
if(NOT EXISTS "${QSN_WIN_DEPS}/.complete")
  message(FATAL_ERROR
    "QSN_WIN_DEPS must name a complete prefix: -DQSN_WIN_DEPS=$(scripts/windows-deps.sh)")
endif()
list(APPEND CMAKE_FIND_ROOT_PATH "${QSN_WIN_DEPS}")
list(APPEND CMAKE_PREFIX_PATH "${QSN_WIN_DEPS}")

# qsn_static_import(TARGET LIBRARY [DEFINITIONS] [LINK ITEMS...])
function(qsn_static_import target library definitions)
  add_library(${target} STATIC IMPORTED)
  set_target_properties(${target} PROPERTIES
    IMPORTED_LOCATION "${QSN_WIN_DEPS}/lib/${library}"
    INTERFACE_INCLUDE_DIRECTORIES "${QSN_WIN_DEPS}/include"
    INTERFACE_COMPILE_DEFINITIONS "${definitions}"
    INTERFACE_LINK_LIBRARIES "${ARGN}")
endfunction()

qsn_static_import(OpenSSL::Crypto libcrypto.a "" crypt32 ws2_32 advapi32)
qsn_static_import(CURL::libcurl libcurl.a CURL_STATICLIB
  "${QSN_WIN_DEPS}/lib/libz.a" bcrypt advapi32 crypt32 ws2_32)
# Tcl and Tk call each other's stub tables; the resources object carries
# Tk's cursors and dialogs, which a static Tk cannot find otherwise.
qsn_static_import(PkgConfig::TCL libtcl86.a STATIC_BUILD
  "${QSN_WIN_DEPS}/lib/libtclstub86.a" netapi32 userenv ws2_32)
qsn_static_import(PkgConfig::TK libtk86.a STATIC_BUILD
  "${QSN_WIN_DEPS}/lib/libtkstub86.a" PkgConfig::TCL "${QSN_WIN_DEPS}/lib/tk_base.res.o"
  imm32 comctl32 comdlg32 shell32 uuid ole32 oleaut32 gdi32)
