#!/usr/bin/env bash
# The benchmark, in one command: installs what it needs (bootstrap.sh for the
# build, gnuplot for the charts), builds both trees, runs bench.exe once per
# bitness under Wine (x86 with the 32-bit DLL, x64 with the 64-bit DLL, each
# against the one reference server), draws the charts and regenerates the
# README's Performance results, the two bitnesses side by side. It commits
# nothing. What it leaves:
#   build/bench/<arch>/  every CSV that bitness's bench.exe wrote, table.md,
#                        bench.log, the charts
#   doc/perf/            results.md (machine, loads, both bitnesses side by
#                        side); <arch>/ with that bitness's results.md (with
#                        lowest and highest), CSVs and PNG charts
#   README.md            the part between the perf-results markers, from
#                        doc/perf/results.md
# Arguments go to bench.exe (--runs N, --quick, --only PHASES); a run with
# --quick or --only leaves doc/perf and README.md alone. Where 32-bit programs
# cannot run, only the x64 run is made (against the 64-bit build of the
# reference server) and doc/perf and README.md are left alone.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/ia32.sh
bash scripts/bootstrap.sh
command -v gnuplot >/dev/null 2>&1 || bash scripts/install.sh gnuplot-nox
publish=1
for a in "$@"; do case "$a" in --quick|--only) publish=0 ;; esac; done
arches="x86 x64"
if ! can_run_ia32; then
  echo "bench.sh: 32-bit programs cannot run here ($ia32_reason): only the x64 run is made, and doc/perf and the README are left alone." >&2
  arches=x64
  publish=0
fi
echo "Building ..."
cmake --preset mingw64 >/dev/null
cmake --build --preset mingw64 --target bench >/dev/null
if can_run_ia32; then
  bash scripts/build.sh >/dev/null
fi
source scripts/prefix.sh
register_server
for arch in $arches; do register_dll $arch; done

# draw_charts <arch> <dir>: the PNG charts of one run, from its CSVs.
draw_charts() {
  local arch=$1 dir=$2 charts=$2/charts sleep_us
  mkdir -p "$charts"
  awk -F, 'NR > 1 { f = $1; gsub(/[^A-Za-z0-9]/, "_", f); print $2, $3 > (dir "/lat_" f ".dat") }' \
      dir="$charts" "$dir/latency.csv"
  # Median of one idle sleep: bench.csv ends each row with median,min,max,runs.
  sleep_us=$(grep '^sleep\.p50,' "$dir/bench.csv" | awk -F, '{ print $(NF-3) }')
  sleep_us=${sleep_us:-2000}
  {
    echo 'set terminal pngcairo size 900,560 font "sans,10"'
    echo 'set grid; set key bottom right'
    echo "set output '$charts/latency.png'"
    echo 'set title "Latency from the writer'"'"'s stamp to the sink (cumulative), '"$arch"'"'
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
    echo 'set title "Paced writers after idle moments: delivered vs offered, '"$arch"'"'
    echo 'set xlabel "offered (records/s, log scale)"; set ylabel "delivered (records/s, log scale)"'
    echo 'set logscale xy; set xrange [3000:800000]; set yrange [1000:1000000]; set key top left'
    echo 'set datafile separator ","'
    echo "ceiling = 128 / ($sleep_us / 1e6)"
    echo "plot x with lines dt 2 lc rgb 'gray' title 'delivered = offered', \\"
    echo "     ceiling with lines dt 3 lc rgb 'red' title sprintf('128 slots per idle sleep here (%.0f/s)', ceiling), \\"
    echo "     128 / 0.0156 with lines dt 3 lc rgb 'orange' title '128 slots per 15.6 ms timer tick (8,205/s)', \\"
    echo "     '$dir/paced.csv' using 1:2:3:4 every ::1 with yerrorlines lw 2 title 'writer keeps a backlog', \\"
    echo "     '$dir/paced.csv' using 1:8:9:10 every ::1 with yerrorlines lw 2 title 'writer drops on a full ring'"
    echo "set output '$charts/paced_latency.png'"
    echo 'set title "Paced writers after idle moments: latency (writer keeps a backlog), '"$arch"'"'
    echo 'set ylabel "latency (us, log scale)"; set yrange [*:*]; set key top left'
    echo "plot '$dir/paced.csv' using 1:5 every ::1 with linespoints lw 2 title 'p50', \\"
    echo "     '$dir/paced.csv' using 1:6 every ::1 with linespoints lw 2 title 'p99', \\"
    echo "     '$dir/paced.csv' using 1:7 every ::1 with linespoints lw 2 title 'max', \\"
    echo "     $sleep_us with lines dt 3 lc rgb 'red' title 'one idle sleep'"
    echo "set output '$charts/scale.png'"
    echo 'set title "Signed-on objects in one process: delivery rate and receive pass, '"$arch"'"'
    echo 'set xlabel "signed-on objects (log scale)"; set logscale x 2; unset logscale y; set xrange [*:*]'
    echo 'set ylabel "records/s, writer flat out"; set y2label "one pass over full rings (us)"'
    echo 'set yrange [0:*]; set y2range [0:*]; set ytics nomirror; set y2tics; set key top left'
    echo "plot '$dir/scale.csv' using 1:2:3:4 every ::1 with yerrorlines lw 2 title 'delivery rate (left)', \\"
    echo "     '$dir/scale.csv' using 1:8 every ::1 with linespoints lw 2 title 'rate draining full rings (left)', \\"
    echo "     '$dir/scale.csv' using 1:5:6:7 every ::1 axes x1y2 with yerrorlines lw 2 title 'pass (right)'"
  } >"$charts/charts.gp"
  gnuplot "$charts/charts.gp"
}

# side_by_side <x86 table.md> <x64 table.md>: both runs' ratios and medians in
# one table each, a column per bitness.
side_by_side() {
  awk '
    function cells(line) {
      sub(/^\| /, "", line); sub(/ \|$/, "", line)
      return split(line, f, / \| /)
    }
    FNR == 1 { run++; part = "" }
    /^\| Ratio \|/ { part = "ratio"; next }
    /^\| Phase \|/ { part = "figure"; next }
    /^\|---/ || !/^\|/ { if (!/^\|---/) part = ""; next }
    part == "ratio" {
      cells($0)
      if (run == 1) { rn++; rname[rn] = f[1]; rtarget[rn] = f[3]; rfrom[rn] = f[5] }
      rval[run, f[1]] = f[2]; rmet[run, f[1]] = f[4]
    }
    part == "figure" {
      cells($0)
      if (run == 1) { fn++; fid[fn] = f[3]; fphase[fn] = f[1]; fname[fn] = f[2]; funit[fn] = f[7] }
      fmed[run, f[3]] = f[4]
    }
    END {
      print "| Ratio | x86 | x64 | Target | Met (x86, x64) | From |"
      print "|---|---:|---:|---|---|---|"
      for (i = 1; i <= rn; i++) {
        n = rname[i]
        print "| " n " | " rval[1, n] " | " rval[2, n] " | " rtarget[i] " | " rmet[1, n] ", " rmet[2, n] " | " rfrom[i] " |"
      }
      print ""
      print "| Phase | Figure | Id | x86 | x64 | Unit |"
      print "|---|---|---|---:|---:|---|"
      for (i = 1; i <= fn; i++) {
        id = fid[i]
        print "| " fphase[i] " | " fname[i] " | " id " | " fmed[1, id] " | " (((2, id) in fmed) ? fmed[2, id] : "-") " | " funit[i] " |"
      }
    }' "$1" "$2"
  runs=$(sed -n 's/^Each figure: median, lowest and highest of \([0-9]*\) runs.*/\1/p' "$1")
  echo
  echo "Each figure: the median of ${runs:-several} runs in one process; the lowest and highest are in"
  echo "[doc/perf/x86/results.md](doc/perf/x86/results.md) and [doc/perf/x64/results.md](doc/perf/x64/results.md)."
}

out=$build/bench
rm -rf "$out"
status=0
for arch in $arches; do
  dir=$out/$arch
  mkdir -p "$dir"
  load_before=$(cut -d' ' -f1-3 /proc/loadavg)
  echo "$load_before" >"$dir/load_before"
  date -u '+%Y-%m-%d %H:%M UTC' >"$dir/started"
  echo "Running the $arch bench.exe (a few minutes; load average now $load_before) ..."
  rc=0
  (cd "$dir" && "$run" "$(tree_of $arch)/bin/bench.exe" --out . "$@") >"$dir/bench.log" 2>&1 || rc=$?
  cut -d' ' -f1-3 /proc/loadavg >"$dir/load_after"
  echo "== $arch"
  grep -v '^\s*0000' "$dir/bench.log" | sed -n '/^phase /,$p'
  if [ ! -f "$dir/latency.csv" ] || [ ! -f "$dir/paced.csv" ] || [ ! -f "$dir/scale.csv" ]; then
    echo "bench.sh: the $arch bench.exe did not write all its results (exit $rc); see $dir/bench.log" >&2
    wineserver -k 2>/dev/null || true
    exit 1
  fi
  draw_charts $arch "$dir"
  if [ "$rc" != 0 ]; then
    echo "bench.sh: the $arch bench.exe failed (exit $rc); see $dir/bench.log" >&2
    status=$rc
  fi
done
wineserver -k 2>/dev/null || true

if [ "$status" != 0 ] && [ "$publish" = 1 ]; then
  echo "bench.sh: doc/perf and README.md left alone" >&2
  publish=0
fi
if [ "$publish" = 1 ]; then
  cpu=$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//')
  wine_version=$(wine --version 2>/dev/null || echo wine)
  for arch in x86 x64; do
    bits=32; [ $arch = x64 ] && bits=64
    echo "bench.exe $arch ($bits-bit), from $(cat "$out/$arch/started"): load average (1, 5, 15 min) $(cat "$out/$arch/load_before") before and $(cat "$out/$arch/load_after") after" \
      >"$out/$arch/run.txt"
  done
  {
    echo "Measured with \`./scripts/bench.sh\`: $(nproc) logical processors ($cpu), Linux $(uname -r),"
    echo "$wine_version, 64-bit prefix, the reference server 32-bit (under WOW64). One run per bitness, one after the other:"
    echo
    for arch in x86 x64; do echo "- $(cat "$out/$arch/run.txt")"; done
    echo
    side_by_side "$out/x86/table.md" "$out/x64/table.md"
  } >"$out/results.md"
  rm -rf doc/perf
  mkdir -p doc/perf
  cp "$out/results.md" doc/perf/
  for arch in x86 x64; do
    mkdir -p doc/perf/$arch
    { cat "$out/$arch/run.txt"; echo; cat "$out/$arch/table.md"; } >doc/perf/$arch/results.md
    cp "$out/$arch"/*.csv "$out/$arch"/charts/*.png doc/perf/$arch/
  done
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
