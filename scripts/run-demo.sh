#!/usr/bin/env bash
# Installs what is missing, builds, creates the sample data bundle on first use, and runs the
# demo backtest. Extra arguments go to `korvex run` (e.g. --start 2021-01-04).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
# Only what the demo needs: the engine, the mods, the generator and the example strategies.
scripts/build.sh --target korvex_cli korvex_generate korvex_mod_bond korvex_mod_lumeq_data \
  korvex_examples korvex_import
if [[ ! -f data/bundle/tavlen.sqlite ]]; then
  echo "creating the sample data bundle in data/bundle (first run only)..."
  build/bin/korvex-generate --out data/bundle
fi
build/bin/korvex run -c examples/demo.toml "$@"
