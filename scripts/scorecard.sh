#!/usr/bin/env bash
# Runs every household scenario against the built plugin and prints the
# scorecard: per scenario the owner's goals for the plugin and the peer
# controller, missed ones starred. Writes a static page with the table
# (missed goals highlighted) and links to every report, CSV and chart beside
# it to ./scorecard/index.html (or $SCORECARD_DIR). Builds first when the
# simulator is missing.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir="${BUILD_DIR:-build}"
out_dir="${SCORECARD_DIR:-scorecard}"
if [ ! -x "$build_dir/bin/tavro-energy-sim" ]; then
    scripts/install-deps.sh
    BUILD_DIR="$build_dir" scripts/build.sh
fi
mkdir -p "$out_dir"
QT_QPA_PLATFORM=offscreen "$build_dir/bin/tavro-energy-sim" --scorecard --out "$out_dir" sim/scenarios/*.json
