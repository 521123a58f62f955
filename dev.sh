#!/bin/bash
# Set-up and everyday commands for a Debian 12 machine.
#   ./dev.sh demo   install what is missing, build, convert a small generated 3D sample
#   ./dev.sh test   install what is missing, build, run every test (what CI runs)
#   ./dev.sh build  build only
set -euo pipefail
cd "$(dirname "$0")"
root=$PWD
build=${DUOSCOPE_BUILD_DIR:-$root/build}
jobs=$(nproc)

install_missing() {
    local missing=()
    while read -r pkg; do
        [[ -z $pkg || $pkg == \#* ]] && continue
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
    done < scripts/debian-packages.txt
    ((${#missing[@]} == 0)) && return 0
    echo "Installing: ${missing[*]}"
    local sudo=""
    [[ $(id -u) != 0 ]] && sudo=sudo
    $sudo apt-get update -q
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
}

build() {
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build "$build" -j "$jobs"
}

case ${1:-} in
demo)
    install_missing
    build
    exec scripts/demo.sh "$build"
    ;;
test)
    install_missing
    build
    cd "$build"
    exec ctest -j "$jobs" -LE bench --output-on-failure --timeout 1500
    ;;
build)
    build
    ;;
*)
    echo "usage: ./dev.sh demo|test|build" >&2
    exit 1
    ;;
esac
