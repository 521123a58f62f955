#!/bin/bash
# Set-up and everyday commands for a Debian 12 machine.
#   ./dev.sh demo   install what is missing, build, convert a small generated 3D sample
#   ./dev.sh test   install what is missing, build, run every test (what CI runs)
#   ./dev.sh build  build only
#   ./dev.sh package  install what is missing, build, make the Debian package and run lintian on it
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

# The unit tests and the fuzz replays again, built with ASan and UBSan: the
# parsers of untrusted bytes must stay free of undefined behaviour, not only
# pass. Any sanitizer report fails the run.
sanitizer_tests() {
    local sanitized=${build}-sanitize
    cmake -S "$root" -B "$sanitized" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
        -DCMAKE_CXX_FLAGS="-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer" \
        -DCMAKE_C_FLAGS="-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer" \
        -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" >/dev/null
    cmake --build "$sanitized" -j "$jobs"
    echo "=== Unit tests and fuzz replays under AddressSanitizer + UndefinedBehaviorSanitizer ==="
    LSAN_OPTIONS=suppressions=$root/scripts/lsan-suppressions.txt \
        ctest --test-dir "$sanitized" -j "$jobs" -L 'unit|fuzz' --output-on-failure --timeout 900
}

case ${1:-} in
demo)
    install_missing
    build
    exec scripts/demo.sh "$build"
    ;;
test)
    install_missing
    scripts/check-format.sh
    build
    ctest --test-dir "$build" -j "$jobs" -LE bench --output-on-failure --timeout 1500
    sanitizer_tests
    ;;
build)
    build
    ;;
package)
    install_missing
    build
    (cd "$build" && cpack -G DEB)
    deb=$(ls -t "$build"/duoscope_*_amd64.deb | head -n 1)
    lintian --fail-on error "$deb"
    echo "Package: $deb"
    ;;
*)
    echo "usage: ./dev.sh demo|test|build|package" >&2
    exit 1
    ;;
esac
