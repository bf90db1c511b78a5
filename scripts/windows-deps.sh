#!/usr/bin/env bash
# windows-deps.sh [--fetch]: builds the Windows host's libraries static for
# x86_64-w64-mingw32 -- Tcl and Tk, zlib, OpenSSL's libcrypto, libcurl on
# Schannel, GoogleTest -- from Debian's own source packages, once, into a
# cache folder, and prints that folder. With --fetch it only downloads the
# sources a build would need (a step that can run beside other work: it
# waits on the network, not on the processor). The folder's name carries the versions and a hash
# of this recipe, so a changed recipe builds anew; a run finding a complete
# folder reuses it and needs no network.
#
# Cache: ${QSN_WIN_CACHE:-$HOME/.cache/qsnclient}: sources/ (the tarballs,
# kept across recipes) and win64-<versions>-<hash>/ (the prefix). A prefix is
# complete only once its .complete stamp exists, written last.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

tcl_version=8.6.13
curl_version=7.88.1
openssl_series=3.0
host=x86_64-w64-mingw32
cc=$host-gcc-posix

cache=${QSN_WIN_CACHE:-$HOME/.cache/qsnclient}
jobs=$(nproc)

say() { printf '== %s\n' "$*" >&2; }
die() { printf 'windows-deps: %s\n' "$*" >&2; exit 1; }

# The recipe: the versions, the build steps as bash holds them (comments
# and layout do not count), the toolchain file, the compiler and GoogleTest.
recipe_hash() {
  {
    echo "$tcl_version $curl_version $openssl_series $host $cc"
    declare -f build_tcl build_tk build_zlib build_openssl patch_curl build_curl build_gtest
    cat "$root/cmake/mingw-w64.cmake"
    "$cc" --version | head -n 1
    dpkg-query -W -f='${Version}\n' googletest
  } | sha256sum | cut -c1-12
}

# Downloads the source packages with a private sources list and lists
# folder, leaving the system's apt configuration alone. apt-get may exit
# non-zero although the tarballs arrived (a .dsc missing from the security
# archive): what counts is the tarballs.
fetch_sources() {
  local src=$1 apt=$1/apt
  have_sources "$src" && return 0
  say "fetching Debian's sources of tcl8.6 tk8.6 curl openssl"
  mkdir -p "$apt/lists/partial"
  # The system's own mirrors, as deb-src: Debian 12's deb822 file, or the
  # one-line list of older set-ups.
  local list
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    list=$apt/deb-src.sources
    sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources >"$list"
  elif [ -f /etc/apt/sources.list ]; then
    list=$apt/deb-src.list
    sed -n 's/^deb /deb-src /p' /etc/apt/sources.list >"$list"
  else
    die "no apt sources in /etc/apt to fetch Debian's source packages from"
  fi
  local opts=(-o "Dir::Etc::SourceList=$list"
    -o Dir::Etc::SourceParts=/dev/null -o "Dir::State::Lists=$apt/lists")
  apt-get "${opts[@]}" -q update >"$apt/update.log" 2>&1 ||
    die "apt-get update failed: see $apt/update.log"
  # Into a folder of its own first, so that an interrupted download never
  # passes for a tarball.
  local fetch
  fetch=$(mktemp -d "$src/fetch.XXXXXX")
  (cd "$fetch" && apt-get "${opts[@]}" -q source --download-only \
    tcl8.6 tk8.6 curl openssl >"$apt/source.log" 2>&1) || true
  mv "$fetch"/*.orig.tar.gz "$fetch"/*.debian.tar.xz "$src/" 2>/dev/null || true
  rm -rf "$fetch"
  have_sources "$src" || die "source tarballs missing: see $apt/source.log"
}

# newest FOLDER GLOB: the newest file matching GLOB, or nothing.
newest() { (cd "$1" && ls $2 2>/dev/null | sort -V | tail -n 1); }

have_sources() {
  [ -n "$(newest "$1" "tcl8.6_$tcl_version*.orig.tar.gz")" ] &&
    [ -n "$(newest "$1" "tk8.6_$tcl_version.orig.tar.gz")" ] &&
    [ -n "$(newest "$1" "curl_$curl_version.orig.tar.gz")" ] &&
    [ -n "$(newest "$1" "curl_$curl_version-*.debian.tar.xz")" ] &&
    [ -n "$(newest "$1" "openssl_$openssl_series.*.orig.tar.gz")" ]
}

# step NAME COMMAND...: runs a build step with its output in NAME.log, and
# shows the end of that log when it fails. The step runs as a job of its own
# so that set -e stops it at its first failing command (a condition would
# switch that off).
step() {
  local name=$1 start=$SECONDS
  shift
  ("$@") >"$work/$name.log" 2>&1 &
  if ! wait $!; then
    tail -n 30 "$work/$name.log" >&2
    die "$name failed (log: $work/$name.log)"
  fi
  say "$name built in $((SECONDS - start)) s"
}

# The static library and its stub library, and the script library; no
# tclsh, no DLLs of Tcl's bundled packages: the host links Tcl in. The
# library compiles in the folders of its prefix (`::tcl::pkgconfig`, the
# library Tcl_Init tries when nothing else names one): a prefix that cannot
# exist on Windows, as libcrypto's, so that the program names no folder of
# the build machine. The script library is installed into the real one.
build_tcl() {
  tar xzf "$src/$(newest "$src" "tcl8.6_$tcl_version*.orig.tar.gz")" -C "$work"
  cd "$work"/tcl$tcl_version/win
  CC=$cc ./configure --host=$host --enable-64bit --disable-shared \
    --prefix='/?/no-tcl-prefix'
  make -j"$jobs" libtcl86.a libtclstub86.a
  make install-libraries prefix="$prefix" exec_prefix="$prefix"
  cp libtcl86.a libtclstub86.a "$prefix/lib/"
}

# Tk the same way, and the object of its resources (cursors, dialogs) that
# a program linking the static Tk must link too. Without Tk's icon: the
# host carries its own under the name Tk loads for its windows ("tk").
build_tk() {
  tar xzf "$src/tk8.6_$tcl_version.orig.tar.gz" -C "$work"
  cd "$work"/tk$tcl_version/win
  CC=$cc ./configure --host=$host --enable-64bit --disable-shared \
    --with-tcl="$work/tcl$tcl_version/win" --prefix="$prefix"
  make -j"$jobs" libtk86.a libtkstub86.a
  make install-libraries
  cp libtk86.a libtkstub86.a "$prefix/lib/"
  $host-windres -DBASE_NO_TK_ICON -Irc -I../generic -i rc/tk_base.rc -O coff \
    -o "$prefix/lib/tk_base.res.o"
}

# zlib for libcurl's gzip, from the copy Tcl carries and links the core of
# into itself: the same sources, so whichever library a program takes those
# objects from, they are the same code. The gz* file functions, which Tcl
# leaves out, complete the library (libcurl's configure looks for gzread).
build_zlib() {
  mkdir "$work/zlib"
  tar xzf "$src/$(newest "$src" "tcl8.6_$tcl_version*.orig.tar.gz")" -C "$work/zlib" \
    --strip-components=3 "tcl$tcl_version/compat/zlib"
  cd "$work/zlib"
  printf '%s\n' adler32 compress crc32 deflate infback inffast inflate inftrees trees \
    uncompr zutil gzclose gzlib gzread gzwrite |
    xargs -P "$jobs" -I{} $cc -O2 -c {}.c -o {}.o
  mkdir -p "$prefix/lib" "$prefix/include"
  $host-ar rcs "$prefix/lib/libz.a" ./*.o
  cp zlib.h zconf.h "$prefix/include/"
}

# libcrypto only, with no algorithm or part the host does not use: it
# deciphers init.dat with Blowfish-CBC and nothing else (TLS is
# Schannel's). no-module builds the legacy provider (Blowfish) into the
# library, so loading "legacy" needs no module file beside the program.
# The library compiles in folders of its own: OpenSSL's (where openssl.cnf
# would be), and the engines' and modules' under the prefix. The host loads
# no configuration, engine or module, and the library is copied out by
# hand, never installed: both are given names that cannot exist on Windows
# (a "?" is refused in any file name), so that the program names no folder
# of the build machine (\root\.cache\... on the current drive, which any
# user there may create).
build_openssl() {
  local tarball
  tarball=$(newest "$src" "openssl_$openssl_series.*.orig.tar.gz")
  mkdir "$work/openssl"
  tar xzf "$src/$tarball" -C "$work/openssl" --strip-components=1
  cd "$work/openssl"
  ./Configure mingw64 --cross-compile-prefix=$host- no-shared no-module no-tests \
    no-deprecated no-engine no-dso no-async no-sock no-ui-console no-comp \
    no-ssl no-tls no-dtls no-srp no-srtp no-ct no-ocsp no-cms no-ts no-cmp no-rfc3779 \
    no-dh no-dsa no-ec no-sm2 no-gost no-aria no-camellia no-cast no-chacha no-poly1305 \
    no-des no-idea no-rc2 no-rc4 no-rc5 no-seed no-sm4 no-md4 no-mdc2 no-rmd160 \
    no-sm3 no-whirlpool no-blake2 no-siphash no-scrypt no-ocb no-siv no-multiblock \
    no-padlockeng no-capieng --prefix='/?/no-openssl-prefix' --libdir=lib \
    --openssldir='/?/no-openssl-directory' CC=gcc-posix
  make build_generated
  make -j"$jobs" libcrypto.a
  mkdir -p "$prefix/lib" "$prefix/include/openssl"
  cp libcrypto.a "$prefix/lib/"
  cp include/openssl/*.h "$prefix/include/openssl/"
}

# Debian's security fixes of the library's own sources; the patches to
# Debian's packaging and build files do not concern this build (and would
# have make run autoconf and automake again).
patch_curl() {
  local patches=$1/debian/patches p
  sed -n '/Do not add patches below/q;p' "$patches/series" | sed 's/#.*//' |
    while read -r p; do
      [ -n "$p" ] || continue
      if grep -E '^\+\+\+ ' "$patches/$p" | grep -qE 'configure\.ac|Makefile\.am|ltmain\.sh|\.in$'; then
        continue
      fi
      patch -p1 -s -d "$1" <"$patches/$p"
    done
}

# Schannel for TLS, Windows' threads for the resolver, zlib for gzip,
# nothing else optional, and no protocol but HTTP and HTTPS: the host speaks
# nothing else. Only the library is built.
build_curl() {
  mkdir "$work/curl"
  tar xzf "$src/curl_$curl_version.orig.tar.gz" -C "$work/curl" --strip-components=1
  tar xJf "$src/$(newest "$src" "curl_$curl_version-*.debian.tar.xz")" -C "$work/curl"
  patch_curl "$work/curl"
  cd "$work/curl"
  CC=$cc ./configure --host=$host --prefix="$prefix" --disable-shared \
    --with-schannel --without-openssl --disable-pthreads --with-zlib="$prefix" \
    --without-brotli --without-zstd --without-libidn2 \
    --without-libpsl --without-nghttp2 --without-libssh2 --without-librtmp \
    --disable-ldap --disable-ldaps --disable-manual --disable-dependency-tracking \
    --disable-dict --disable-file --disable-ftp --disable-gopher --disable-imap \
    --disable-mqtt --disable-pop3 --disable-rtsp --disable-smb --disable-smtp \
    --disable-telnet --disable-tftp
  make -j"$jobs" -C lib
  make -C lib install
  make -C include install
}

build_gtest() {
  cmake -S /usr/src/googletest -B "$work/gtest" \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DBUILD_GMOCK=OFF -DCMAKE_INSTALL_PREFIX="$prefix"
  cmake --build "$work/gtest" -j"$jobs"
  cmake --install "$work/gtest"
}

# Two chains side by side: Tk needs Tcl's build tree, libcurl zlib; the
# rest is independent. Each chain's configure steps, which run one process
# at a time, leave a core to the other.
build_all() {
  (step tcl build_tcl && step tk build_tk && step gtest build_gtest) &
  local tcl_chain=$!
  (step zlib build_zlib && step curl build_curl && step openssl build_openssl) &
  local curl_chain=$!
  local failed=0
  wait "$tcl_chain" || failed=1
  wait "$curl_chain" || failed=1
  return "$failed"
}

record_versions() {
  {
    echo "recipe $(recipe_hash)"
    newest "$src" "tcl8.6_$tcl_version*.orig.tar.gz"
    echo "tk8.6_$tcl_version.orig.tar.gz"
    echo "curl_$curl_version.orig.tar.gz"
    newest "$src" "curl_$curl_version-*.debian.tar.xz"
    newest "$src" "openssl_$openssl_series.*.orig.tar.gz"
    echo "zlib from Tcl's compat/zlib"
    echo "compiler $("$cc" --version | head -n 1)"
    echo "googletest $(dpkg-query -W -f='${Version}' googletest)"
  } >"$prefix/VERSIONS"
}

main() {
  local fetch_only=0
  [ "${1:-}" != --fetch ] || fetch_only=1
  command -v "$cc" >/dev/null || die "$cc not found (Debian package mingw-w64)"
  mkdir -p "$cache"
  prefix=$cache/win64-tcl$tcl_version-curl$curl_version-openssl$openssl_series-$(recipe_hash)
  if [ -e "$prefix/.complete" ]; then
    [ $fetch_only = 1 ] || echo "$prefix"
    return 0
  fi
  # One builder at a time; a run that waited finds the prefix done.
  exec 9>"$cache/.lock"
  if ! flock -n 9; then
    say "another build holds $cache/.lock (building the libraries or fetching their sources): waiting for it"
    flock 9
    say "the other build is done"
  fi
  if [ -e "$prefix/.complete" ]; then
    [ $fetch_only = 1 ] || echo "$prefix"
    return 0
  fi
  src=$cache/sources
  mkdir -p "$src"
  # Under the lock, what is left of an earlier run is an interrupted one.
  rm -rf "$src"/fetch.*
  if [ $fetch_only = 1 ]; then
    fetch_sources "$src"
    return 0
  fi
  rm -rf "$prefix" "$cache"/build.*
  fetch_sources "$src"
  work=$(mktemp -d "$cache/build.XXXXXX")
  say "building into $prefix"
  local start=$SECONDS
  build_all || die "build failed; the prefix stays incomplete"
  record_versions
  touch "$prefix/.complete"
  rm -rf "$work"
  say "built in $((SECONDS - start)) s"
  echo "$prefix"
}

main "$@"
