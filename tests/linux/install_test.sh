#!/usr/bin/env bash
# Installs the build into a scratch prefix and checks the tree a user gets.
set -euo pipefail
build=$1
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
fail=0
check() { [ -e "$prefix/$1" ] || { echo "missing: $1"; fail=1; }; }
for exe in quorvex quorvexctl bbs-sim qx-rz qx-unzip make-sample-board; do
    check bin/$exe
    [ -x "$prefix/bin/$exe" ] || { echo "not executable: bin/$exe"; fail=1; }
done
for page in quorvex quorvexctl bbs-sim; do check share/man/man1/$page.1; done
check lib/systemd/user/quorvex.service
check share/applications/quorvex.desktop
check share/quorvex/autostart/quorvex.desktop
check share/icons/hicolor/scalable/apps/quorvex.svg
check share/doc/quorvex/README.md
check share/doc/quorvex/commands.md
unit=$prefix/lib/systemd/user/quorvex.service
grep -q "ExecStart=.*$prefix/bin/quorvex" "$unit" || { echo "unit does not start $prefix/bin/quorvex"; fail=1; }
grep -q "QT_QPA_PLATFORM=offscreen" "$unit" || { echo "unit lacks the offscreen fallback"; fail=1; }
grep -q "^Exec=quorvex$" "$prefix/share/applications/quorvex.desktop" || { echo "desktop Exec"; fail=1; }
grep -q "^Icon=quorvex$" "$prefix/share/applications/quorvex.desktop" || { echo "desktop Icon"; fail=1; }
# Nothing but the program's own files: no test or benchmark executables.
extra=$(find "$prefix/bin" -type f | grep -vE '/(quorvex|quorvexctl|bbs-sim|qx-rz|qx-unzip|make-sample-board)$' || true)
[ -z "$extra" ] || { echo "unexpected: $extra"; fail=1; }
if command -v desktop-file-validate >/dev/null; then
    desktop-file-validate "$prefix/share/applications/quorvex.desktop" || fail=1
fi
"$prefix/bin/quorvex" --version | grep -q "^quorvex " || { echo "installed quorvex --version"; fail=1; }
man -l "$prefix/share/man/man1/quorvex.1" >/dev/null 2>&1 || { echo "man page does not format"; fail=1; }
exit $fail
