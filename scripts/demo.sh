#!/usr/bin/env bash
# The main job on the built-in simulated cards.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
echo "== veltra demo (Linux, simulated machine) =="
"$top/build/linux/bin/veltra" demo
