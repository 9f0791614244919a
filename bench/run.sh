#!/usr/bin/env bash
# Benchmarks of sondel-convert against Debian's ffmpeg/ffprobe on the same
# generated inputs. Every figure is a ratio (ours / theirs) of the median of
# five runs; peak memory is a difference in MB.
#
#   bench/run.sh [BIN_DIR]      (default: build/bin)
#
# Targets: 1. single jobs <= 1.05; 2. eight files with -j 2 <= 0.60;
# 3. peak memory 60 min - 1 min <= 10 MB; 4. --info over 200 files <= 1.2.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
bin=${1:-$here/../build/bin}
tool=$(cd "$bin" && pwd)/sondel-convert
[ -x "$tool" ] || { echo "no sondel-convert in $bin (build first)" >&2; exit 1; }
command -v ffmpeg >/dev/null && command -v ffprobe >/dev/null || { echo "ffmpeg/ffprobe missing" >&2; exit 1; }
runs=${BENCH_RUNS:-5}

work=$(mktemp -d "${TMPDIR:-/tmp}/sondel-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"

# Wall time (s), peak resident memory (kB) and CPU time (user + system, s)
# of one command.
measure() {
  python3 - "$@" <<'PY'
import resource, subprocess, sys, time
t = time.monotonic()
r = subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
wall = time.monotonic() - t
if r.returncode != 0:
    sys.exit("failed (%d): %s" % (r.returncode, " ".join(sys.argv[1:])))
u = resource.getrusage(resource.RUSAGE_CHILDREN)
print("%.4f %d %.4f" % (wall, u.ru_maxrss, u.ru_utime + u.ru_stime))
PY
}
# Median wall time and median CPU time of $runs runs of a shell snippet
# ("WALL CPU"). The CPU figure shows the cost apart from the machine's load.
median_time() {
  local walls=() cpus=() m
  for ((i = 0; i < runs; i++)); do
    rm -rf out && mkdir out
    m=$(measure bash -c "$1")
    walls+=("$(echo "$m" | cut -d' ' -f1)")
    cpus+=("$(echo "$m" | cut -d' ' -f3)")
  done
  local med='{a[NR]=$1} END {print a[int((NR+1)/2)]}'
  echo "$(printf '%s\n' "${walls[@]}" | sort -g | awk "$med") $(printf '%s\n' "${cpus[@]}" | sort -g | awk "$med")"
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.3f", a / b}'; }
report() {  # name "ours_wall ours_cpu" "theirs_wall theirs_cpu" target
  local ow oc tw tc
  read -r ow oc <<<"$2"
  read -r tw tc <<<"$3"
  local r; r=$(ratio "$ow" "$tw")
  local ok; ok=$(awk -v r="$r" -v t="$4" 'BEGIN {print (r <= t) ? "ok" : "OVER"}')
  printf '%-38s wall ours %7.2fs ffmpeg %7.2fs ratio %s (target <= %s) %s; cpu ours %7.2fs ffmpeg %7.2fs ratio %s\n' \
    "$1" "$ow" "$tw" "$r" "$4" "$ok" "$oc" "$tc" "$(ratio "$oc" "$tc")"
}
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores"

echo "generating inputs in $work ..."
ffmpeg -v error -f lavfi -i "sine=frequency=440:duration=600" -f lavfi -i "anoisesrc=d=600:a=0.05" \
  -filter_complex "[0][1]amix=inputs=2,aformat=channel_layouts=stereo" -ar 44100 -c:a flac in10.flac
ffmpeg -v error -i in10.flac -c:a pcm_s16le in10.wav
for i in 1 2 3 4 5 6 7 8; do
  ffmpeg -v error -f lavfi -i "sine=frequency=$((300 + i * 50)):duration=120" -ac 2 -ar 44100 -c:a flac "two$i.flac"
done
ffmpeg -v error -f lavfi -i "sine=frequency=440:duration=3600" -ac 2 -ar 44100 -c:a flac in60.flac
ffmpeg -v error -f lavfi -i "sine=frequency=440:duration=60" -ac 2 -ar 44100 -c:a flac in1.flac
mkdir small
ffmpeg -v error -f lavfi -i "sine=frequency=440:duration=0.2" small/f1.mp3
for i in $(seq 2 200); do cp small/f1.mp3 "small/f$i.mp3"; done

echo "1. single jobs (one thread each)"
ours=$(median_time "'$tool' -q -j 1 -p mp3 --bitrate 192k --rate 44100 -o out in10.flac")
theirs=$(median_time "ffmpeg -v error -threads 1 -i in10.flac -c:a libmp3lame -b:a 192k -ar 44100 -ac 2 out/x.mp3")
report "FLAC -> MP3 192k" "$ours" "$theirs" 1.05
ours=$(median_time "'$tool' -q -j 1 -p 'AAC - ' --bitrate 192k -o out in10.flac")
theirs=$(median_time "ffmpeg -v error -threads 1 -i in10.flac -c:a aac -b:a 192k -ar 44100 -ac 2 out/x.aac")
report "FLAC -> AAC 192k" "$ours" "$theirs" 1.05
ours=$(median_time "'$tool' -q -j 1 -p ogg --options 'aq=5' -o out in10.flac")
theirs=$(median_time "ffmpeg -v error -threads 1 -i in10.flac -c:a libvorbis -q:a 5 -ar 44100 -ac 2 out/x.ogg")
report "FLAC -> Vorbis q5" "$ours" "$theirs" 1.05
ours=$(median_time "'$tool' -q -j 1 -p flac -o out in10.wav")
theirs=$(median_time "ffmpeg -v error -threads 1 -i in10.wav -c:a flac -ar 44100 -ac 2 out/x.flac")
report "WAV -> FLAC" "$ours" "$theirs" 1.05

echo "2. eight 2-minute files to MP3"
ours=$(median_time "'$tool' -q -j 2 -p mp3 -o out two*.flac")
theirs=$(median_time "for f in two*.flac; do ffmpeg -v error -threads 1 -i \$f -c:a libmp3lame -b:a 192k out/\${f%.flac}.mp3; done")
report "8 x 2 min, -j 2 vs one after another" "$ours" "$theirs" 0.60

echo "3. peak memory"
rm -rf out && mkdir out
m60=$(measure "$tool" -q -p flac --rate 48000 -o out in60.flac | cut -d' ' -f2)
rm -rf out && mkdir out
m1=$(measure "$tool" -q -p flac --rate 48000 -o out in1.flac | cut -d' ' -f2)
awk -v a="$m60" -v b="$m1" 'BEGIN {d = (a - b) / 1024; printf "%-44s 60 min %d kB  1 min %d kB  difference %.1f MB (target <= 10) %s\n", "FLAC -> FLAC 48 kHz peak resident memory", a, b, d, (d <= 10) ? "ok" : "OVER"}'

echo "4. --info over 200 small files"
ours=$(median_time "'$tool' --info small/*.mp3")
theirs=$(median_time "for f in small/*.mp3; do ffprobe -v error -show_format -show_streams \$f; done")
report "--info vs ffprobe per file" "$ours" "$theirs" 1.2
