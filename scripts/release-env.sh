# Sourced by scripts/release and scripts/package-deb, so that every release archive
# carries the same version and the same time stamp:
#   version  the project's VERSION (CMakeLists.txt's project(), as varnex-pack --version)
#   epoch    SOURCE_DATE_EPOCH, or else the time of the last commit: the time of every
#            file in the archives, so that two runs give identical bytes
version=$(sed -n 's/^project(Varnex32 VERSION \([0-9.]*\) .*/\1/p' CMakeLists.txt)
[ -n "$version" ] || { echo "no VERSION in CMakeLists.txt's project()" >&2; exit 1; }
epoch=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)}
