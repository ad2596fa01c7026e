#!/usr/bin/env bash
# Many files converted at once: 8 WAV files of about 5 minutes (music-like noise and tones
# made by sox, lengths 4:40 to 5:20) to FLAC level 8 and to MP3 "VBR Quality 0", with
# dskr-cli convert --out-dir -j 1 and -j 2. Wall time, processor time (user + system, the
# machine may be shared), the speed in × real time and the speed-up of -j 2; the outputs of
# the two runs are compared byte for byte.
#   bench/convert_many.sh [BUILD_DIR]      (default build, the Release build of the README)
set -euo pipefail
build=${1:-$(dirname "$0")/../${DSKR_BUILD_DIR:-build}}
cli=$(readlink -f "$build/bin/dskr-cli")
work=$(mktemp -d /tmp/dskr-convert-many-XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/in" "$work/cfg"
audio=0
for i in 1 2 3 4 5 6 7 8; do
  seconds=$((280 + (i * 37) % 41))
  audio=$((audio + seconds))
  sox -n -r 44100 -c 2 -b 16 "$work/in/track$i.wav" synth "$seconds" pinknoise sine $((200 + 60 * i)) \
    vol 0.4 2>/dev/null
done
echo "8 files, $audio s of audio ($(du -sh "$work/in" | cut -f1))"
uptime
declare -A args=(
  [flac]="--format flac --compression 8"
  [mp3]="--format mp3 --subformat 'VBR Quality 0 (highest)'"
)
for f in flac mp3; do
  declare -A wall=()
  for j in 1 2; do
    rm -rf "$work/out$j"
    /usr/bin/time -f '%e %U %S %M' -o "$work/time" env XDG_CONFIG_HOME="$work/cfg" \
      sh -c "$cli convert '$work'/in/*.wav --out-dir '$work/out$j' ${args[$f]} -j $j -q \
        </dev/null >/dev/null 2>'$work/err'" || { echo "$f -j $j: failed"; cat "$work/err"; exit 1; }
    read -r w u s m <"$work/time"
    wall[$j]=$w
    printf '%-4s -j %d  wall %6.2f s  cpu %6.2f s (user %.2f, sys %.2f)  %6.1fx real time  peak %d MiB\n' \
      "$f" "$j" "$w" "$(echo "$u + $s" | bc -l)" "$u" "$s" "$(echo "$audio / $w" | bc -l)" $((m / 1024))
  done
  printf '%-4s speed-up of -j 2: %.2f\n' "$f" "$(echo "${wall[1]} / ${wall[2]}" | bc -l)"
  if diff -r "$work/out1" "$work/out2" >/dev/null; then
    echo "$f: -j 1 and -j 2 files are byte-identical"
  else
    echo "$f: -j 1 and -j 2 files DIFFER"
  fi
done
uptime
