#!/usr/bin/env bash
# The main job: sets up and builds Quorvex, makes a sample weather board, starts the board
# simulator (a Hayes modem with the board behind it, on a pseudo-terminal) and quorvex, and
# drives quorvex with quorvexctl through a whole session: settings, BBS OPEN, several BBS GET
# and a BBS LAST, then EXIT. Prints the replies as they come and ends with what the database
# and the product directories hold.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
# Only what the demo runs.
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQX_WERROR=ON >/dev/null
cmake --build build --target quorvex quorvexctl bbs-sim make-sample-board

bin=$PWD/build/bin
work=$PWD/build/demo
rm -rf "$work"
mkdir -p "$work"/{board,temp,dest,locks}
data=$work/data
for d in Radar/Nl Radar/Dl Radar/Gb Sat/Holland Sat/Europe Charts Text/Forecast/Short \
         Text/Forecast/Long; do
    mkdir -p "$data/$d"
done
cd "$work"
export XDG_RUNTIME_DIR=${XDG_RUNTIME_DIR:-$work/runtime}
mkdir -p -m 700 "$XDG_RUNTIME_DIR"

# The board's products are an hour old, so that BBS LAST has to fall back one step.
stamp=$(date -d '1 hour ago' '+%Y%m%d %H')
echo "== sample board (products of ${stamp% *} ${stamp#* }:00)"
"$bin/make-sample-board" board --date "${stamp% *}" --hour "${stamp#* }" | tail -1

phone=0201234567
"$bin/bbs-sim" --link "$work/modem" --files board --user weather --password secret \
    --number "$phone=connect:33600" --log bbs-sim.log >/dev/null 2>&1 &
sim=$!
export QUORVEX_IPC_NAMESPACE="demo-$$-"
export QUORVEX_LINES=$work/modem
export QUORVEX_LOCK_DIR=$work/locks
[ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] || export QT_QPA_PLATFORM=offscreen
for _ in $(seq 50); do [ -e "$work/modem" ] && break; sleep 0.1; done

"$bin/quorvex" 2>quorvex.log &
qpid=$!
trap 'kill $qpid $sim 2>/dev/null || true' EXIT

gets=""
for f in board/*.ZIP; do
    name=$(basename "$f" .ZIP)
    case $name in RN*) ;; *) gets+="BBS GET $name"$'\n' ;; esac
done
echo "== session with quorvex"
"$bin/quorvexctl" session --wait-start 30 --timeout 300 <<EOF2
BBS SET TAPI $work/modem
BBS SET PHONE $phone weather secret
BBS SET TEMPDIR $work/temp
BBS SET DESTDIR $work/dest
BBS OPEN DATABASE Weather $data/
${gets}BBS LAST RNdduu 1 0 4
EXIT
EOF2
wait $qpid || true
kill $sim 2>/dev/null || true
trap - EXIT

echo
echo "== database $data"
for db in "$data"/*.DB; do
    table=$(basename "$db" .DB)
    printf '  %-12s %5s rows\n' "$(basename "$db")" \
        "$(sqlite3 "file:$db?mode=ro" "select count(*) from $table" 2>/dev/null || echo '?')"
done
echo "== product files"
(cd "$data" && find . -mindepth 1 -type d | sort | while read -r d; do
    n=$(find "$d" -maxdepth 1 -type f | wc -l)
    [ "$n" -gt 0 ] && printf '  %-24s %3d files\n' "${d#./}" "$n"
done)
echo "== archives kept in $work/dest: $(ls "$work/dest" | wc -l)"
