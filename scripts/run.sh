#!/usr/bin/env bash
# Installs what is missing, builds, and runs the household simulator on the
# sunny-day scenario: the real plugin, loaded like the host loads it, charges
# a car from the sun. Prints the report and where the CSV and PNG are.
# Other scenarios: scripts/run.sh sim/scenarios/<name>.json
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh
scenarios=("$@")
if [ ${#scenarios[@]} -eq 0 ]; then
    scenarios=(sim/scenarios/sunny-day.json)
fi
"${BUILD_DIR:-build}/bin/tavro-energy-sim" --plugin-dir "${BUILD_DIR:-build}/plugins" --out sim-output "${scenarios[@]}"
