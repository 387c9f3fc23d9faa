#!/usr/bin/env bash
# Renders the PNG sizes of the icon from korvalo.svg (needs rsvg-convert, package
# librsvg2-bin). Run it again after changing the drawing and commit the PNG files.
set -euo pipefail
cd "$(dirname "$0")"
for size in 16 24 32 48 64 128 256; do
    rsvg-convert --width "$size" --height "$size" --output "korvalo-$size.png" korvalo.svg
done
