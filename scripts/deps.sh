#!/usr/bin/env bash
# Installs what building and testing chipfeed needs, where it is missing.
# Usage: scripts/deps.sh [build] [windows] [fuzz] [tools]
set -euo pipefail

want=("$@")
[ ${#want[@]} -eq 0 ] && want=(build)

packages=()
need() {  # need COMMAND-OR-PATH PACKAGE
  if [[ "$1" == /* ]]; then [ -e "$1" ] || packages+=("$2"); else command -v "$1" >/dev/null 2>&1 || packages+=("$2"); fi
}
for w in "${want[@]}"; do
  case "$w" in
    build)
      need cmake cmake; need g++ g++; need make make
      need /usr/include/gtest/gtest.h libgtest-dev
      need /usr/include/gmock/gmock.h libgmock-dev ;;
    windows)
      need x86_64-w64-mingw32-g++-posix g++-mingw-w64-x86-64
      need wine wine; need /usr/lib/wine/wine64 wine64 ;;
    fuzz)
      need clang clang; need /usr/lib/llvm-14/lib/clang/14.0.6/lib/linux/libclang_rt.fuzzer-x86_64.a libclang-rt-14-dev ;;
    tools)
      need valgrind valgrind; need unshare util-linux; need addr2line binutils
      need dpkg-deb dpkg; need man man-db; need fusermount3 fuse3
      need /usr/include/fuse3/fuse.h libfuse3-dev; need pkg-config pkg-config ;;
  esac
done

if [ ${#packages[@]} -gt 0 ]; then
  echo "== installing: ${packages[*]}"
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO=sudo
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq "${packages[@]}" >/dev/null
fi
