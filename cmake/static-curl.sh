#!/bin/sh
# Builds the minimal static libcurl that the static launcher links: HTTP and HTTPS over
# OpenSSL, nothing else. Usage: static-curl.sh WORK_DIRECTORY [CURL_SOURCE_DIRECTORY]
#
# Without a source directory, Debian's curl source package of this machine's release is
# fetched with apt by curl-source.sh, using a private state and a private sources list that
# name the archives this machine already uses; the system's apt state is never changed. The result,
# WORK_DIRECTORY/prefix with lib/libcurl.a and include/curl, is built once and reused.
set -eu

work=$1
source_tree=${2:-}
prefix=$work/prefix
stamp=$prefix/.complete
[ -f "$stamp" ] && exit 0

mkdir -p "$work"
work=$(cd "$work" && pwd)
prefix=$work/prefix
stamp=$prefix/.complete

fetch_source() {
  "$(dirname "$0")/curl-source.sh" "$work" >/dev/null || exit 1
  source_tree=$(find "$work/source" -mindepth 1 -maxdepth 1 -type d -name 'curl-*' | head -n 1)
  # Debian's last two patches only rename the library for its GnuTLS and NSS flavours.
  for patch in 99_nss 90_gnutls; do
    if [ -f "$source_tree/debian/patches/$patch.patch" ]; then
      patch -s -R -p1 -d "$source_tree" <"$source_tree/debian/patches/$patch.patch"
    fi
  done
}

[ -n "$source_tree" ] || fetch_source
if [ ! -f "$source_tree/CMakeLists.txt" ] || [ ! -f "$source_tree/include/curl/curl.h" ]; then
  echo "static-curl: $source_tree is no curl source tree" >&2
  exit 1
fi
source_tree=$(cd "$source_tree" && pwd)

# The paths of this build tree stay out of the objects, so two build trees make the same
# library and the same launcher.
prefix_maps="-ffile-prefix-map=$source_tree=curl -ffile-prefix-map=$work/build=curl-build"
rm -rf "$work/build" "$prefix"
cmake -S "$source_tree" -B "$work/build" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_INSTALL_LIBDIR=lib \
  -DCMAKE_POSITION_INDEPENDENT_CODE=ON -DCMAKE_C_FLAGS="$prefix_maps" \
  -DBUILD_SHARED_LIBS=OFF -DBUILD_CURL_EXE=OFF -DBUILD_TESTING=OFF -DENABLE_MANUAL=OFF \
  -DHTTP_ONLY=ON -DCURL_USE_OPENSSL=ON -DCURL_DISABLE_OPENSSL_AUTO_LOAD_CONFIG=ON \
  -DCURL_CA_BUNDLE=none -DCURL_CA_PATH=none -DCURL_CA_FALLBACK=OFF \
  -DCURL_ZLIB=OFF -DCURL_BROTLI=OFF -DCURL_ZSTD=OFF -DUSE_NGHTTP2=OFF -DUSE_LIBIDN2=OFF \
  -DCURL_USE_LIBPSL=OFF -DCURL_USE_LIBSSH2=OFF -DCURL_USE_LIBSSH=OFF -DCURL_USE_GSSAPI=OFF \
  -DCURL_DISABLE_LDAP=ON -DCURL_DISABLE_LDAPS=ON -DCURL_DISABLE_NETRC=ON \
  -DENABLE_UNIX_SOCKETS=OFF >"$work/configure.log" 2>&1 || {
  cat "$work/configure.log" >&2
  exit 1
}
cmake --build "$work/build" -j "$(nproc)" >"$work/build.log" 2>&1 || {
  tail -n 50 "$work/build.log" >&2
  exit 1
}
cmake --install "$work/build" >/dev/null
touch "$stamp"
