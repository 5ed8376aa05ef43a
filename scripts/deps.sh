# Sourced by the scripts: installs the Debian packages the build needs when
# they are missing (as root, or through sudo), and the build steps they share.
# clang and its run-time libraries build the fuzz targets (scripts/fuzz);
# dpkg-dev gives the release build Debian's hardening flags.
DEPS=(g++ cmake ninja-build ccache qt6-base-dev libqt6sql6-sqlite libpugixml-dev libgtest-dev libgmock-dev
    libbenchmark-dev gettext desktop-file-utils appstream clang libclang-rt-dev dpkg-dev iproute2)
# Building the Debian packages and checking them (scripts/package, scripts/check-packages):
# systemd for systemd-analyze, binutils for readelf.
PACKAGE_DEPS=(file lintian systemd binutils)

# Every time stamp a build writes (packages, compressed pages) is the last commit's, so two
# builds of one commit give the same bytes.
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
    SOURCE_DATE_EPOCH=$(git -C "$ROOT" log -1 --format=%ct 2>/dev/null || echo 0)
fi
export SOURCE_DATE_EPOCH

# The compiler cache serves any clone of the tree: paths are taken relative to it.
export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$ROOT}"
export CCACHE_NOHASHDIR="${CCACHE_NOHASHDIR:-1}"

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

# The release build that scripts/run starts and scripts/package packs, in one
# folder: Release with Debian's hardening flags (fortified functions, read-only
# relocations, bind now), installed under /usr. scripts/test builds the same
# folder with its tests and -Werror; the others pass -DSCALEDB_WERROR=OFF.
RELEASE_BUILD="$ROOT/build-release"
build_release() { # extra cmake args...
    release_build_in "$RELEASE_BUILD" "$@"
}
release_build_in() { # dir, extra cmake args...
    local dir=$1 cxxflags ldflags
    shift
    # From the tree's root: its path is mapped away (-ffile-prefix-map) whoever builds.
    cxxflags="$(cd "$ROOT" && DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get CPPFLAGS) $(cd "$ROOT" && DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get CXXFLAGS)"
    ldflags="$(cd "$ROOT" && DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get LDFLAGS)"
    # The build folder's path too (it names the debugging information's compilation folder,
    # which the build ID covers), so two build folders give the same binaries.
    mkdir -p "$dir"
    cxxflags+=" -ffile-prefix-map=$(cd "$dir" && pwd)=."
    configure_and_build "$dir" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
        "-DCMAKE_CXX_FLAGS=$cxxflags" "-DCMAKE_EXE_LINKER_FLAGS=$ldflags" "$@"
}

# A second build of what the packages hold, in `dir`, with the flags of the release
# build (its -Werror setting included, so the compiler cache serves it).
build_release_in() { # dir
    local werror
    werror=$(sed -n 's/^SCALEDB_WERROR:BOOL=//p' "$RELEASE_BUILD/CMakeCache.txt")
    release_build_in "$1" -DSCALEDB_TESTS=OFF -DSCALEDB_BENCH=OFF "-DSCALEDB_WERROR=${werror:-OFF}"
}

# Packs a release build (default build-release/) into one .deb per package,
# <package>_<version>_<arch>.deb: scaledb, scaledb-send, scaledb-common, scaledb-sim.
pack_release() { # [build dir]
    local dir=${1:-$RELEASE_BUILD}
    rm -f "$dir"/*.deb
    # cpack packs what is built; it builds nothing itself.
    cmake --build "$dir" -j "$(nproc)" >/dev/null
    (cd "$dir" && cpack --config CPackConfig.cmake -G DEB >/dev/null)
}

# Packs the release build and checks it: the menu entry, the metainfo and lintian
# for each package (errors fail, warnings are printed).
package_release() {
    pack_release
    echo "== Checks of the packages =="
    desktop-file-validate "$ROOT"/packaging/*.desktop
    appstreamcli validate --no-net "$ROOT"/packaging/*.metainfo.xml
    local deb
    for deb in "$RELEASE_BUILD"/*.deb; do
        echo "-- lintian $(basename "$deb")"
        lintian --fail-on error --tag-display-limit 0 "$deb" || { echo "lintian found errors in $deb" >&2; return 1; }
    done
    echo "Built:" "$RELEASE_BUILD"/*.deb
}
