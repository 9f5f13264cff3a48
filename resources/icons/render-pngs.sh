#!/bin/sh
# Renders the PNG pictures beside the SVG sources; run after changing an SVG and commit both.
# The program loads the PNGs, so neither the build nor the running program needs an SVG renderer.
# Needs rsvg-convert (Debian package librsvg2-bin).
set -eu
cd "$(dirname "$0")"
mkdir -p png
for svg in tray-normal tray-newmail tray-error postbell; do
    sizes="16 22 24 32 48"
    [ "$svg" = postbell ] && sizes="16 22 24 32 48 64 128"
    for size in $sizes; do
        rsvg-convert -w "$size" -h "$size" "$svg.svg" -o "png/$svg-$size.png"
    done
done
