#!/usr/bin/env bash
# Builds the release packages of the commit checked out, or of the source
# tarball unpacked here, into dist/:
#   corvalin-VERSION.tar.gz                the source
#   corvalin-VERSION-x86_64-linux.tar.gz   static program, man page, README, LICENSE
#   corvalin-VERSION-aarch64-linux.tar.gz  the same for 64-bit ARM
#   corvalin-VERSION-x86_64-windows.zip    corvalin.exe, README, LICENSE and the
#                                          manual as text with CR LF line endings
#   corvalin_VERSION_amd64.deb             for Debian 11, Ubuntu 22.04 and later (a
#   corvalin_VERSION_arm64.deb             static program: no library needed)
#   SHA256SUMS
# VERSION is the program's own (corvalin --version): VERSION's, or for
# unreleased changes VERSION+dev.gHASH. Installs with apt-get what a fresh
# Debian machine lacks. The same sources give the same bytes: every time
# stamp is the commit's (SOURCE_DATE_EPOCH, from git or from
# packaging/commit in a source tarball), source paths are mapped away, and
# archive members are sorted, owned by root and stamped alike. A step that
# fails says where its output is. Last, packaging/check_debian.sh installs
# the .deb in fresh Debian 11, 12 and 13 systems (root, and a Debian
# mirror, needed); --no-chroots leaves that out.
#   packaging/release.sh [--no-chroots]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

needed=(g++ cmake make git g++-aarch64-linux-gnu binutils-aarch64-linux-gnu
        g++-mingw-w64-x86-64-posix dpkg-dev groff-base zip xz-utils)
missing=()
for p in "${needed[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# The commit: "TIME HASH", filled in by git archive in a source tarball.
read -r commit_time commit_hash <packaging/commit || true
if ! [[ $commit_time =~ ^[0-9]+$ ]]; then
  commit_time=$(git log -1 --format=%ct)
  commit_hash=$(git log -1 --format=%H)
fi
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$commit_time}
export TZ=UTC LC_ALL=C
umask 022
# Where the sources were checked out must not show in what is built.
prefix_map="-ffile-prefix-map=$root=."
maintainer="Quen Varlowby <quen@corvalin.example.org>"

work=$root/build-release
dist=$root/dist
rm -rf "$work" "$dist"
mkdir -p "$work" "$dist"

# build NAME CMAKE-ARGS...: a Release build of the program alone, its
# output in build-release/NAME.log.
build() {
  local name=$1 log=$work/$1.log
  shift
  if ! { cmake -S "$root" -B "$work/$name" -DCMAKE_BUILD_TYPE=Release -DCORVALIN_TESTS=OFF "$@" &&
         cmake --build "$work/$name" -j"$(nproc)" --target corvalin; } >"$log" 2>&1; then
    tail -n 20 "$log"
    echo "building $name failed: its whole output is in $log"
    exit 1
  fi
}

# Every file and folder under $1 stamped with the commit's time.
stamp() { find "$1" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +; }

# A folder as a sorted tar.gz with root as owner and the commit's time.
tarball() {
  local folder=$1 out=$2
  stamp "$work/$folder"
  tar -C "$work" --sort=name --format=gnu --owner=0 --group=0 --numeric-owner --mode=go-w \
      --mtime="@$SOURCE_DATE_EPOCH" -cf - "$folder" | gzip -9n >"$out"
}

crlf() { sed 's/$/\r/' "$1" >"$2"; }

echo "== Linux, static: x86_64 and aarch64"
build linux-x86_64 -DCORVALIN_FULLY_STATIC=ON "-DCMAKE_CXX_FLAGS=$prefix_map"
version=$("$work/linux-x86_64/corvalin" --version | cut -d ' ' -f 2)

echo "== the source: corvalin-$version.tar.gz"
# What git tracks (in a source tarball, what it holds), packaging/commit
# filled in as git archive does.
folder=corvalin-$version
mkdir -p "$work/$folder"
if [ -e .git ]; then git ls-files -z; else find . -type f ! -path './build*' ! -path './dist/*' -print0; fi |
  sed -z 's|^\./||' | xargs -0 cp --parents -p -t "$work/$folder"
echo "$commit_time $commit_hash" >"$work/$folder/packaging/commit"
tarball "$folder" "$dist/$folder.tar.gz"
build linux-aarch64 -DCMAKE_TOOLCHAIN_FILE="$root/cmake/aarch64-linux-gnu.cmake" \
  -DCORVALIN_FULLY_STATIC=ON "-DCMAKE_CXX_FLAGS=$prefix_map"
for arch in x86_64 aarch64; do
  folder=corvalin-$version-$arch-linux
  mkdir -p "$work/$folder"
  strip=strip
  [ $arch = aarch64 ] && strip=aarch64-linux-gnu-strip
  $strip -o "$work/$folder/corvalin" "$work/linux-$arch/corvalin"
  cp "$work/linux-$arch/corvalin.1" README.md LICENSE CHANGELOG.md "$work/$folder/"
  chmod 0755 "$work/$folder/corvalin"
  chmod 0644 "$work/$folder"/{corvalin.1,README.md,LICENSE,CHANGELOG.md}
  tarball "$folder" "$dist/$folder.tar.gz"
done

echo "== Windows, x86_64"
build windows-x86_64 -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
  "-DCMAKE_CXX_FLAGS=$prefix_map"
folder=corvalin-$version-x86_64-windows
mkdir -p "$work/$folder"
x86_64-w64-mingw32-strip -o "$work/$folder/corvalin.exe" "$work/windows-x86_64/corvalin.exe"
crlf README.md "$work/$folder/README.txt"
crlf LICENSE "$work/$folder/LICENSE.txt"
crlf CHANGELOG.md "$work/$folder/CHANGELOG.txt"
# The manual as plain text (no bold or underline by overstriking).
# -k: the manual's UTF-8 (Café 日本) read as such, not as Latin-1.
groff -k -man -Tutf8 -P-cbou "$work/windows-x86_64/corvalin.1" >"$work/manual.txt"
crlf "$work/manual.txt" "$work/$folder/corvalin-manual.txt"
stamp "$work/$folder"
(cd "$work" && find "$folder" -type f | sort | zip -X -D -q -9 "$dist/$folder.zip" -@)

echo "== Debian packages: amd64 and arm64"
# The packages' program is static, as the tarballs' (a static PIE, with
# Debian's hardening flags): a C library linked dynamically would tie it to
# this machine's glibc (2.36), and Debian 11 has 2.31, Ubuntu 22.04 2.35.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
deb_cxxflags="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS) $prefix_map"
deb_ldflags="$(dpkg-buildflags --get LDFLAGS) -static-pie"
# (-static-pie links the C++ runtime in too; -static-libgcc beside it would
# undo it.)
build deb-amd64 -DCORVALIN_STATIC_RUNTIME=OFF "-DCMAKE_CXX_FLAGS=$deb_cxxflags" "-DCMAKE_EXE_LINKER_FLAGS=$deb_ldflags"
build deb-arm64 -DCMAKE_TOOLCHAIN_FILE="$root/cmake/aarch64-linux-gnu.cmake" -DCORVALIN_STATIC_RUNTIME=OFF \
  "-DCMAKE_CXX_FLAGS=$deb_cxxflags" "-DCMAKE_EXE_LINKER_FLAGS=$deb_ldflags"

changelog_date=$(date -R -d "@$SOURCE_DATE_EPOCH")
for arch in amd64 arm64; do
  stage=$work/deb-$arch-root
  doc=$stage/usr/share/doc/corvalin
  mkdir -p "$stage/DEBIAN" "$stage/usr/bin" "$stage/usr/share/man/man1" "$doc"
  if [ $arch = amd64 ]; then
    strip --remove-section=.comment --remove-section=.note -o "$stage/usr/bin/corvalin" "$work/deb-amd64/corvalin"
  else
    aarch64-linux-gnu-strip --remove-section=.comment --remove-section=.note \
      -o "$stage/usr/bin/corvalin" "$work/deb-arm64/corvalin"
  fi
  gzip -9n <"$work/deb-$arch/corvalin.1" >"$stage/usr/share/man/man1/corvalin.1.gz"
  gzip -9n <README.md >"$doc/README.md.gz"
  sed "s/@VERSION@/$version/; s/@MAINTAINER@/$maintainer/; s/@DATE@/$changelog_date/" \
    packaging/debian/changelog | gzip -9n >"$doc/changelog.gz"
  { cat packaging/debian/copyright; sed -n '/^Permission/,$p' LICENSE | sed 's/^$/./; s/^/ /'; } >"$doc/copyright"

  mkdir -p "$stage/usr/share/lintian/overrides"
  # lintian takes a static PIE for a shared library without its own.
  printf 'corvalin: %s [usr/bin/corvalin]\n' statically-linked-binary shared-library-lacks-prerequisites \
    >"$stage/usr/share/lintian/overrides/corvalin"
  size=$(du -k -s --apparent-size "$stage/usr" | cut -f 1)
  sed "s/@VERSION@/$version/; s/@ARCH@/$arch/; s/@MAINTAINER@/$maintainer/; s/@SIZE@/$size/" \
    packaging/debian/control >"$stage/DEBIAN/control"
  (cd "$stage" && find usr -type f | sort | xargs md5sum >DEBIAN/md5sums)
  find "$stage" -type d -exec chmod 0755 {} +
  find "$stage" -type f -exec chmod 0644 {} +
  chmod 0755 "$stage/usr/bin/corvalin"
  stamp "$stage"
  dpkg-deb --root-owner-group -Zxz -z9 --build "$stage" "$dist/corvalin_${version}_$arch.deb" >/dev/null
done

(cd "$dist" && sha256sum -- * >SHA256SUMS)
echo "== dist/"
(cd "$dist" && ls -l && cat SHA256SUMS)
if [ "${1:-}" != --no-chroots ]; then
  echo "== the Debian package on Debian 11, 12 and 13"
  packaging/check_debian.sh "$dist"
fi
