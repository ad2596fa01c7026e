#!/usr/bin/env bash
# Rips of a 74-minute CUE/BIN image through dskr-cli: wall time against the drive's time
# when the virtual drive is throttled (speed=52, about 85 s of reading), with one thread
# and with encoder workers; unthrottled WAV against cd-paranoia -B -Z on the same image;
# peak memory and system time of each from /usr/bin/time -v.
#   [DSKR_JOBS="1 2"] bench/rip_throughput.sh IMAGE.cue [FORMATS...]
# FORMATS default to: wav flac mp3 ogg aac. The image must be 74 minutes long.
# dskr-cli comes from the Release build in $DSKR_BUILD_DIR (default build). Processor
# time (user + system) is printed beside wall time: the machine may be shared.
set -euo pipefail
cue=$(readlink -f "$1"); shift
formats=("${@:-wav flac mp3 ogg aac}")
read -r -a formats <<<"${formats[*]}"
root=$(readlink -f "$(dirname "$0")/..")
cli="$root/${DSKR_BUILD_DIR:-build}/bin/dskr-cli"
[ -x "$cli" ] || { echo "no $cli: build the Release tree first" >&2; exit 1; }
work=$(mktemp -d /tmp/dskr-rip-throughput-XXXXXX)
trap 'rm -rf "$work"' EXIT
drive=$((74 * 60 * 75 * 2352))       # bytes on the disc
drive_s=$(echo "$drive / (52 * 176400)" | bc -l)
uptime
declare -A args=(
  [wav]="--format wav --subformat 'PCM 16-bit'"
  [flac]="--format flac --compression 8"
  [mp3]="--format mp3 --subformat 'VBR Quality 0 (highest)'"
  [ogg]="--format ogg --subformat '256 kbit/s'"
  [aac]="--format m4a --subformat 'AAC ABR 256 kbit/s'"
)
run() { # label, extra args
  local label=$1; shift
  rm -rf "$work/out" "$work/cfg"; mkdir -p "$work/cfg"
  /usr/bin/time -v -o "$work/time" env XDG_CONFIG_HOME="$work/cfg" \
    sh -c "$cli rip --image '$cue' --mode burst --out '$work/out' --overwrite replace \
      --no-accuraterip $* </dev/null >/dev/null 2>'$work/err'" || { echo "$label: failed"; cat "$work/err"; return; }
  local wall user sys rss
  wall=$(awk -F': ' '/Elapsed/ {n=split($2,a,":"); s=0; for(i=1;i<=n;i++) s=s*60+a[i]; print s}' "$work/time")
  user=$(awk -F': ' '/User time/ {print $2}' "$work/time")
  sys=$(awk -F': ' '/System time/ {print $2}' "$work/time")
  rss=$(awk -F': ' '/Maximum resident/ {printf "%.0f", $2/1024}' "$work/time")
  echo "$label wall ${wall}s user ${user}s sys ${sys}s peak ${rss} MiB $([ -n "${throttled:-}" ] && printf 'wall/drive %.3f' "$(echo "$wall / $drive_s" | bc -l)")"
}
echo "drive time at 52x: $(printf '%.1f' "$drive_s") s"
throttled=1
for f in "${formats[@]}"; do
  for j in ${DSKR_JOBS:-1 2}; do run "$f -j $j (speed=52)" "${args[$f]} -j $j --faults speed=52"; done
done
throttled=
run "wav -j 1 unthrottled" "${args[wav]} -j 1"
if command -v cd-paranoia >/dev/null; then
  mkdir -p "$work/par"
  ( cd "$work/par" && /usr/bin/time -v -o "$work/ptime" cd-paranoia -q -Z -B -d "$cue" >/dev/null 2>&1 )
  echo "cd-paranoia -B -Z wall $(awk -F': ' '/Elapsed/ {print $2}' "$work/ptime") user $(awk -F': ' '/User time/ {print $2}' "$work/ptime")s sys $(awk -F': ' '/System time/ {print $2}' "$work/ptime")s peak $(awk -F': ' '/Maximum resident/ {printf "%.0f", $2/1024}' "$work/ptime") MiB"
fi
uptime
