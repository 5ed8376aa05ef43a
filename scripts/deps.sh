# Sourced by the scripts: installs the Debian packages the build needs when
# they are missing (as root, or through sudo).
# clang and its run-time libraries build the fuzz targets (scripts/fuzz).
DEPS=(g++ cmake ninja-build qt6-base-dev libqt6sql6-sqlite libpugixml-dev libgtest-dev libgmock-dev libbenchmark-dev gettext
    desktop-file-utils appstream clang libclang-rt-dev)
# Building the Debian package and checking it (scripts/package).
PACKAGE_DEPS=(dpkg-dev file lintian)

ensure_packages() {
    local missing=()
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}"
    local sudo=()
    [ "$(id -u)" -ne 0 ] && sudo=(sudo)
    "${sudo[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

configure_and_build() { # dir, extra cmake args...
    local dir=$1
    shift
    cmake -S "$ROOT" -B "$dir" -G Ninja "$@" >/dev/null
    cmake --build "$dir" -j "$(nproc)"
}
