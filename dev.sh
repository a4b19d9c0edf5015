#!/usr/bin/env bash
# Developer entry point: installs what is missing (Debian packages), builds,
# and runs.
#   ./dev.sh run     build and run the example program on an embedded database
#   ./dev.sh test    build and run the whole test suite
#   ./dev.sh asan    the same suite under AddressSanitizer + UndefinedBehaviorSanitizer
#   ./dev.sh tsan    the threading tests under ThreadSanitizer
set -euo pipefail
cd "$(dirname "$0")"

packages=(cmake make g++ pkg-config libsqlite3-dev libboost-dev googletest libgtest-dev libgmock-dev)

install_missing() {
  local missing=()
  for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
  done
  if ((${#missing[@]})); then
    echo "installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
  fi
}

build() {
  cmake --preset "$1" >/dev/null
  cmake --build --preset "$1" -j"$(nproc)"
}

case "${1:-}" in
  run)
    install_missing
    build default
    ./build/appdirs_example "sqlite:${2:-build/appdirs_example.sqlite}"
    ;;
  test)
    install_missing
    build default
    ctest --preset default -j"$(nproc)"
    ;;
  asan)
    install_missing
    build asan
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 ctest --preset asan -j"$(nproc)"
    ;;
  tsan)
    install_missing
    build tsan
    TSAN_OPTIONS=halt_on_error=1 ctest --preset tsan -j"$(nproc)"
    ;;
  *)
    sed -n '2,8p' "$0" | sed 's/^# \{0,1\}//'
    exit 2
    ;;
esac
