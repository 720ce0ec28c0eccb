#!/usr/bin/env bash
# Installs what is missing, builds, and runs the stand-in host with the
# plugin over its built-in household for a few simulated minutes, with the
# plugin's update cycles in the log.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh
export QT_LOGGING_RULES="${QT_LOGGING_RULES:-TavroEnergy.debug=true}"
data_dir="$(mktemp -d)"
trap 'rm -rf "$data_dir"' EXIT
export TAVRO_SETTINGS_PATH="$data_dir/settings" TAVRO_STORAGE_PATH="$data_dir/storage" TAVRO_CACHE_PATH="$data_dir/cache"
"${BUILD_DIR:-build}/bin/tavro-host" --plugin-dir "${BUILD_DIR:-build}/plugins" --minutes "${MINUTES:-3}"
