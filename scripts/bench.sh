#!/usr/bin/env bash
# The benchmark, in one command: installs what it needs (bootstrap.sh for the
# build, gnuplot for the charts), builds, runs bench.exe under Wine against the
# reference server, draws the charts and regenerates the README's Performance
# results. It commits nothing. What it leaves:
#   build/bench/    every CSV bench.exe wrote, table.md, bench.log
#   doc/perf/       results.md (machine, load, table), the CSVs, the PNG charts
#   README.md       the part between the perf-results markers, from results.md
# Arguments go to bench.exe (--runs N, --quick, --only PHASES); a run with
# --quick or --only leaves doc/perf and README.md alone.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/ia32.sh
bash scripts/bootstrap.sh
command -v gnuplot >/dev/null 2>&1 || bash scripts/install.sh gnuplot-nox
if ! can_run_ia32; then
  echo "bench.sh: the benchmarks are 32-bit Windows programs and cannot run here: $ia32_reason." >&2
  exit 2
fi
echo "Building ..."
bash scripts/build.sh >/dev/null
source scripts/prefix.sh
register_all

out=$build/bench
rm -rf "$out"
mkdir -p "$out"
publish=1
for a in "$@"; do case "$a" in --quick|--only) publish=0 ;; esac; done

load_before=$(cut -d' ' -f1-3 /proc/loadavg)
started=$(date -u '+%Y-%m-%d %H:%M UTC')
echo "Running bench.exe (a few minutes; load average now $load_before) ..."
status=0
(cd "$out" && "$run" "$build/bin/bench.exe" --out . "$@") >"$out/bench.log" 2>&1 || status=$?
load_after=$(cut -d' ' -f1-3 /proc/loadavg)
wineserver -k 2>/dev/null || true
grep -v '^\s*0000' "$out/bench.log" | sed -n '/^phase /,$p'
if [ ! -f "$out/latency.csv" ] || [ ! -f "$out/paced.csv" ] || [ ! -f "$out/scale.csv" ]; then
  echo "bench.sh: bench.exe did not write all its results (exit $status); see $out/bench.log" >&2
  exit 1
fi

# The charts, from the CSVs.
charts=$out/charts
mkdir -p "$charts"
awk -F, 'NR > 1 { f = $1; gsub(/[^A-Za-z0-9]/, "_", f); print $2, $3 > (dir "/lat_" f ".dat") }' \
    dir="$charts" "$out/latency.csv"
# Median of one idle sleep: bench.csv ends each row with median,min,max,runs.
sleep_us=$(grep '^sleep\.p50,' "$out/bench.csv" | awk -F, '{ print $(NF-3) }')
sleep_us=${sleep_us:-2000}
{
  echo 'set terminal pngcairo size 900,560 font "sans,10"'
  echo 'set grid; set key bottom right'
  echo "set output '$charts/latency.png'"
  echo 'set title "Latency from the writer'"'"'s stamp to the sink (cumulative)"'
  echo 'set xlabel "latency (us, log scale)"; set ylabel "percentile"; set logscale x; set yrange [0:100]'
  printf 'plot '
  sep=""
  for f in "$charts"/lat_*.dat; do
    name=$(basename "$f" .dat); name=${name#lat_}; name=${name//_/ }; [ "${name% s}" = "$name" ] || name="${name% s}/s"
    printf '%s"%s" using 2:1 with lines lw 2 title "%s"' "$sep" "$f" "$name"
    sep=", "
  done
  echo
  echo "set output '$charts/paced.png'"
  echo 'set title "Paced writers after idle moments: delivered vs offered"'
  echo 'set xlabel "offered (records/s, log scale)"; set ylabel "delivered (records/s, log scale)"'
  echo 'set logscale xy; set xrange [3000:800000]; set yrange [1000:1000000]; set key top left'
  echo 'set datafile separator ","'
  echo "ceiling = 128 / ($sleep_us / 1e6)"
  echo "plot x with lines dt 2 lc rgb 'gray' title 'delivered = offered', \\"
  echo "     ceiling with lines dt 3 lc rgb 'red' title sprintf('128 slots per idle sleep here (%.0f/s)', ceiling), \\"
  echo "     128 / 0.0156 with lines dt 3 lc rgb 'orange' title '128 slots per 15.6 ms timer tick (8,205/s)', \\"
  echo "     '$out/paced.csv' using 1:2:3:4 every ::1 with yerrorlines lw 2 title 'writer keeps a backlog', \\"
  echo "     '$out/paced.csv' using 1:8:9:10 every ::1 with yerrorlines lw 2 title 'writer drops on a full ring'"
  echo "set output '$charts/paced_latency.png'"
  echo 'set title "Paced writers after idle moments: latency (writer keeps a backlog)"'
  echo 'set ylabel "latency (us, log scale)"; set yrange [*:*]; set key top left'
  echo "plot '$out/paced.csv' using 1:5 every ::1 with linespoints lw 2 title 'p50', \\"
  echo "     '$out/paced.csv' using 1:6 every ::1 with linespoints lw 2 title 'p99', \\"
  echo "     '$out/paced.csv' using 1:7 every ::1 with linespoints lw 2 title 'max', \\"
  echo "     $sleep_us with lines dt 3 lc rgb 'red' title 'one idle sleep'"
  echo "set output '$charts/scale.png'"
  echo 'set title "Signed-on objects in one process: delivery rate and receive pass"'
  echo 'set xlabel "signed-on objects (log scale)"; set logscale x 2; unset logscale y; set xrange [*:*]'
  echo 'set ylabel "records/s, writer flat out"; set y2label "one pass over full rings (us)"'
  echo 'set yrange [0:*]; set y2range [0:*]; set ytics nomirror; set y2tics; set key top left'
  echo "plot '$out/scale.csv' using 1:2:3:4 every ::1 with yerrorlines lw 2 title 'delivery rate (left)', \\"
  echo "     '$out/scale.csv' using 1:8 every ::1 with linespoints lw 2 title 'rate draining full rings (left)', \\"
  echo "     '$out/scale.csv' using 1:5:6:7 every ::1 axes x1y2 with yerrorlines lw 2 title 'pass (right)'"
} >"$charts/charts.gp"
gnuplot "$charts/charts.gp"

if [ "$status" != 0 ]; then
  echo "bench.sh: bench.exe failed (exit $status): doc/perf and README.md left alone; see $out/bench.log" >&2
  publish=0
fi
if [ "$publish" = 1 ]; then
  cpu=$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//')
  wine_version=$(wine --version 2>/dev/null || echo wine)
  {
    echo "Measured $started with \`./scripts/bench.sh\`: $(nproc) logical processors ($cpu), Linux $(uname -r),"
    echo "$wine_version, 64-bit prefix (bench.exe 32-bit, under WOW64); load average (1, 5, 15 min) $load_before before and $load_after after."
    echo
    cat "$out/table.md"
  } >"$out/results.md"
  mkdir -p doc/perf
  cp "$out"/*.csv "$out/results.md" doc/perf/
  cp "$charts"/*.png doc/perf/
  # README: everything between the markers comes from results.md.
  awk -v file="$out/results.md" '
    /<!-- perf-results:begin -->/ { print; while ((getline line < file) > 0) print line; skip = 1; next }
    /<!-- perf-results:end -->/ { skip = 0 }
    !skip { print }' README.md >"$out/README.md"
  if grep -q '<!-- perf-results:end -->' "$out/README.md"; then
    cp "$out/README.md" README.md
    echo "Wrote doc/perf/ and the README's results (nothing committed)."
  else
    echo "bench.sh: README.md has no perf-results markers; it was left alone." >&2
  fi
fi
exit $status
