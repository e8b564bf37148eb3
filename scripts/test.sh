#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test.  The GUI tests run
# against a real toolkit under a virtual X server.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/deps.sh"
"$root/scripts/build.sh"
build="${BUILD_DIR:-$root/build}"
xvfb-run -a -s "-screen 0 1280x1024x24" ctest --test-dir "$build" --output-on-failure
