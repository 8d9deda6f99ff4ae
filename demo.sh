#!/usr/bin/env bash
# Builds the programs (Release) and runs the server on a demo configuration in demo-data/.
# Ctrl-C stops everything it started.
set -euo pipefail
cd "$(dirname "$0")"
exec scripts/demo.sh "$@"
