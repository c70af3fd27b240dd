#!/usr/bin/env bash
# Cross-builds VESK's dependencies for x86_64-w64-mingw32 from Debian's own sources into PREFIX:
# PCRE 8.x (static, UTF-8 and Unicode properties), SQLite 3 (static, thread-safe, from the
# amalgamation generated with the build machine's tools) and GoogleTest/GoogleMock (static).
# Usage: windows-deps.sh PREFIX WORKDIR. Needs the deb-src entries that build-windows.sh adds.
set -euo pipefail
PREFIX=${1:?usage: windows-deps.sh PREFIX WORKDIR}
WORK=${2:?usage: windows-deps.sh PREFIX WORKDIR}
TOOLCHAIN=$(cd "$(dirname "$0")/.." && pwd)/cmake/mingw-w64-x86_64.cmake
HOST=x86_64-w64-mingw32
mkdir -p "$WORK" "$PREFIX/lib/pkgconfig" "$PREFIX/include"
cd "$WORK"
ls -d pcre3-*/ sqlite3-*/ >/dev/null 2>&1 || apt-get source -qq pcre3 sqlite3 </dev/null >/dev/null
pcre_dir=$(ls -d pcre3-*/ | head -1)
sqlite_dir=$(ls -d sqlite3-*/ | head -1)

# PCRE: Debian's patches touch configure.ac and Makefile.am; making the generated files newer
# keeps make from rerunning aclocal and automake, which are not installed.
( cd "$pcre_dir"
  touch -d '2016-01-01' configure.ac Makefile.am m4/*
  touch aclocal.m4; sleep 1; touch configure Makefile.in config.h.in
  ./configure --host=$HOST --prefix="$PREFIX" --disable-shared --enable-static --enable-utf \
      --enable-unicode-properties --disable-cpp CC=$HOST-gcc-posix >/dev/null
  make -j"$(nproc)" libpcre.la >/dev/null
  make install-libLTLIBRARIES install-includeHEADERS install-nodist_includeHEADERS \
       install-pkgconfigDATA >/dev/null )   # libpcre.pc carries -DPCRE_STATIC

# SQLite: the amalgamation is generated natively, then cross-compiled.
mkdir -p sqlite-amalg
( cd sqlite-amalg
  [ -f sqlite3.c ] || { "../${sqlite_dir}configure" --disable-tcl >/dev/null
                        make -j"$(nproc)" sqlite3.c >/dev/null; }
  $HOST-gcc-posix -O2 -c sqlite3.c -o sqlite3.o -DSQLITE_THREADSAFE=1 -DSQLITE_USE_URI=1 \
      -DSQLITE_SECURE_DELETE -DSQLITE_OMIT_LOAD_EXTENSION
  $HOST-ar rcs libsqlite3.a sqlite3.o
  cp libsqlite3.a "$PREFIX/lib/"; cp sqlite3.h sqlite3ext.h "$PREFIX/include/" )
sqlite_version=$(sed -n 's/^#define SQLITE_VERSION *"\(.*\)"/\1/p' "$PREFIX/include/sqlite3.h")
cat > "$PREFIX/lib/pkgconfig/sqlite3.pc" <<PC
prefix=$PREFIX
libdir=\${prefix}/lib
includedir=\${prefix}/include

Name: SQLite
Description: SQL database engine (static, cross-built for $HOST)
Version: $sqlite_version
Libs: -L\${libdir} -lsqlite3
Cflags: -I\${includedir}
PC

# GoogleTest from the sources that Debian's googletest package installs.
cmake -S /usr/src/googletest -B gtest-build -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" \
    -DVESK_WIN_PREFIX="$PREFIX" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$PREFIX" \
    -DBUILD_GMOCK=ON -DINSTALL_GTEST=ON >/dev/null
cmake --build gtest-build -j"$(nproc)" >/dev/null
cmake --install gtest-build >/dev/null
echo "Windows dependencies installed in $PREFIX"
