#!/usr/bin/env bash
# Builds the Debian package with CPack and checks its name, version, dependencies and files.
set -euo pipefail
build=$1
version=$2
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
(cd "$build" && cpack -G DEB -B "$out" >/dev/null)
deb=$(ls "$out"/quorvex_*.deb)
arch=$(dpkg --print-architecture)
fail=0
[ "$(basename "$deb")" = "quorvex_${version}_${arch}.deb" ] || { echo "name: $deb"; fail=1; }
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = quorvex ] || { echo "Package: $(field Package)"; fail=1; }
[ "$(field Version)" = "$version" ] || { echo "Version: $(field Version)"; fail=1; }
[ "$(field Architecture)" = "$arch" ] || { echo "Architecture: $(field Architecture)"; fail=1; }
depends=$(field Depends)
for lib in libqt6core6 libqt6gui6 libqt6widgets6 libqt6svg6 libsqlite3-0 libedit2 libc6 libstdc++6; do
    [[ "$depends" == *"$lib"* ]] || { echo "Depends lacks $lib: $depends"; fail=1; }
done
files=$(dpkg-deb -c "$deb" | awk '{print $6}')
for f in ./usr/bin/quorvex ./usr/bin/quorvexctl ./usr/bin/bbs-sim ./usr/bin/qx-rz \
         ./usr/bin/qx-unzip ./usr/bin/make-sample-board ./usr/share/man/man1/quorvex.1 \
         ./usr/share/man/man1/quorvexctl.1 ./usr/share/man/man1/bbs-sim.1 \
         ./usr/lib/systemd/user/quorvex.service ./usr/share/applications/quorvex.desktop \
         ./usr/share/icons/hicolor/scalable/apps/quorvex.svg; do
    grep -qx "$f" <<<"$files" || { echo "package lacks $f"; fail=1; }
done
dpkg-deb --fsys-tarfile "$deb" | tar -xOf - ./usr/lib/systemd/user/quorvex.service |
    grep -q 'exec "/usr/bin/quorvex"' || { echo "unit does not start /usr/bin/quorvex"; fail=1; }
exit $fail
