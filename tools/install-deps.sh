#!/usr/bin/env bash
# Installs what the build and the tests need from Debian's packages, when missing: the MinGW-w64
# compilers, clang with lld for the second build of the same target, and wixl for the MSI.
# The x86 side (a 32-bit client of the x64 server) needs the i686 compilers and Wine's 32-bit half
# (wine32 from the i386 architecture), which runs 32-bit programs in the 64-bit prefix.
set -euo pipefail
packages=(cmake make g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix mingw-w64-tools wine64
          wine32:i386 libwine-dev googletest clang lld wixl)
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "Installing: ${missing[*]}"
sudo_cmd=()
[ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  "${sudo_cmd[@]}" dpkg --add-architecture i386
fi
# A mirror in the middle of a sync can fail one index (seen: the security suite's i386 list); the
# others still serve.
"${sudo_cmd[@]}" apt-get update -qq || echo "install-deps.sh: some package lists failed to update" >&2
install=("${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq
         --no-install-recommends)
# Without one architecture's security list the i386 and amd64 versions of a library differ and
# wine32 cannot be installed beside wine64: the release's own versions of both then match.
"${install[@]}" "${missing[@]}" >/dev/null ||
  "${install[@]}" -t "$(. /etc/os-release && echo "$VERSION_CODENAME")" "${missing[@]}" >/dev/null
