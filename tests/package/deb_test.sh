#!/usr/bin/env bash
# Packs the build tree into a .deb, unpacks it and checks what an installation would get: the
# command answering --version, the libraries with headers and CMake files, the extension importable
# by Debian's python3, the service unit starting a command the package has, the example config
# kept on upgrade, and dependencies found from the linked libraries.
# Usage: deb_test.sh BUILD_DIR VERSION PYTHON
set -euo pipefail
build_dir=$1 version=$2 python=$3
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() { echo "deb_test: $*" >&2; exit 1; }

cpack --config "$build_dir/CPackConfig.cmake" -B "$scratch/cpack" >/dev/null
deb=$(echo "$scratch"/cpack/stoploss_"$version"_*.deb)
[ -f "$deb" ] || fail "no stoploss_${version}_*.deb: $(ls "$scratch/cpack")"
root=$scratch/root
dpkg-deb -x "$deb" "$root"
dpkg-deb -e "$deb" "$scratch/control"

for file in usr/bin/stoploss usr/lib/libstoploss.a usr/lib/libstoploss_rest.a \
            usr/include/Core/Modules/stop_loss.hpp usr/include/exchange/rest/rest_client.hpp \
            usr/lib/cmake/StopLoss/StopLossConfig.cmake usr/lib/systemd/system/stoploss-guard.service \
            etc/stoploss/guard.toml; do
  [ -f "$root/$file" ] || fail "/$file is not in the package"
done
[ "$("$root/usr/bin/stoploss" --version)" = "stoploss $version" ] || fail "--version is not $version"

# A sanitizer build's extension needs the sanitizer's runtime loaded first (STOPLOSS_PRELOAD).
imported=$(cd "$scratch" && PYTHONPATH="$root/usr/lib/python3/dist-packages" \
  LD_PRELOAD="${STOPLOSS_PRELOAD:-}" ASAN_OPTIONS=detect_leaks=0 "$python" -c \
  'import stoploss; print(stoploss.__version__, stoploss.__file__)')
[ "$imported" = "$version $(echo "$root"/usr/lib/python3/dist-packages/stoploss.*.so)" ] ||
  fail "the packaged extension imports as: $imported"

for command in $(sed -n 's/^Exec\(Start\|StartPre\)=\([^ ]*\).*/\2/p' \
                   "$root/usr/lib/systemd/system/stoploss-guard.service"); do
  [ -x "$root$command" ] || fail "the unit starts $command, which the package does not have"
done
grep -qx /etc/stoploss/guard.toml "$scratch/control/conffiles" || fail "guard.toml is no conffile"
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "the package's version is not $version"
dpkg-deb -f "$deb" Depends | grep -q 'libc6 (>= ' || fail "no dependencies found from the libraries"
