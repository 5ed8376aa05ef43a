# Sourced by the scripts: installs the Debian packages the build needs when
# they are missing (as root, or through sudo), and the build steps they share.
# clang and its run-time libraries build the fuzz targets (scripts/fuzz);
# dpkg-dev gives the release build Debian's hardening flags.
DEPS=(g++ cmake ninja-build ccache qt6-base-dev libqt6sql6-sqlite libpugixml-dev libgtest-dev libgmock-dev
    libbenchmark-dev gettext desktop-file-utils appstream clang libclang-rt-dev dpkg-dev iproute2)
# Building the Debian package and checking it (scripts/package).
PACKAGE_DEPS=(file lintian)

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
    local cxxflags ldflags
    cxxflags="$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get CPPFLAGS) $(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get CXXFLAGS)"
    ldflags="$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get LDFLAGS)"
    configure_and_build "$RELEASE_BUILD" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
        "-DCMAKE_CXX_FLAGS=$cxxflags" "-DCMAKE_EXE_LINKER_FLAGS=$ldflags" "$@"
}

# Packs the release build into build-release/scaledb_<version>_amd64.deb and
# checks it: the menu entry, the metainfo and lintian (errors fail).
package_release() {
    rm -f "$RELEASE_BUILD"/scaledb_*.deb
    (cd "$RELEASE_BUILD" && cpack --config CPackConfig.cmake -G DEB >/dev/null)
    DEB=$(ls "$RELEASE_BUILD"/scaledb_*_amd64.deb)
    echo "== Checks of $(basename "$DEB") =="
    desktop-file-validate "$ROOT"/packaging/*.desktop
    appstreamcli validate --no-net "$ROOT"/packaging/*.metainfo.xml
    # Errors fail the build; warnings are printed for the record.
    lintian --fail-on error --tag-display-limit 0 "$DEB" || { echo "lintian found errors" >&2; return 1; }
    echo "Built $DEB"
}
