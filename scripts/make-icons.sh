#!/usr/bin/env bash
# The agent's icon: one picture in 128, 64, 48, 32 and 16 px (32-bit RGBA).
#   scripts/make-icons.sh            draws src/shell/icons/pellomar-<size>.png from the SVG sources
#                                    (pellomar.svg for 32 px and up, pellomar-16.svg for 16 px);
#                                    the build embeds those PNGs into the agent
#   scripts/make-icons.sh --ico OUT  packs the five PNGs into one Windows icon file OUT
# Needs: scripts/deps.sh icons (rsvg-convert, ImageMagick).
set -euo pipefail
cd "$(dirname "$0")/.."
ICONS=src/shell/icons
SIZES=(128 64 48 32 16)

if [[ ${1:-} == --ico ]]; then
  out=${2:?usage: make-icons.sh --ico OUT}
  command -v convert >/dev/null || { echo "make-icons: ImageMagick missing (scripts/deps.sh icons)" >&2; exit 1; }
  pngs=()
  for s in 16 32 48 64 128; do pngs+=("$ICONS/pellomar-$s.png"); done
  # Each PNG becomes one image of the icon file, kept as it is: 32 bits with its alpha channel.
  convert "${pngs[@]}" -type TrueColorAlpha "$out"
  exit 0
fi

command -v rsvg-convert >/dev/null || { echo "make-icons: rsvg-convert missing (scripts/deps.sh icons)" >&2; exit 1; }
for s in "${SIZES[@]}"; do
  src=$ICONS/pellomar.svg
  [[ $s -eq 16 ]] && src=$ICONS/pellomar-16.svg
  rsvg-convert --width "$s" --height "$s" --format png "$src" --output "$ICONS/pellomar-$s.png"
done
echo "make-icons: wrote ${SIZES[*]/#/$ICONS/pellomar-} (.png)"
