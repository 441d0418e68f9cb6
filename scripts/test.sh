#!/usr/bin/env bash
# Builds Space Vexlar and runs the whole test suite, builds, installs, runs and
# removes the Debian package (scripts/package.sh), then runs the suite under
# AddressSanitizer + UndefinedBehaviorSanitizer.
#   VEXLAR_SKIP_ASAN=1     skips the sanitizer pass.
#   VEXLAR_SKIP_PACKAGE=1  skips the package.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

scripts/install-deps.sh

jobs=$(nproc)
cmake --preset dev >/dev/null
cmake --build --preset dev -j "$jobs"
# Most suites spend their time waiting on simulated devices and helpers, so twice
# as many run at once as there are cores; under the sanitizers they are busy.
ctest --preset dev -j "$((jobs * 2))"

if [ "${VEXLAR_SKIP_PACKAGE:-0}" != 1 ]; then
  scripts/package.sh
fi

if [ "${VEXLAR_SKIP_ASAN:-0}" != 1 ]; then
  cmake --preset asan >/dev/null
  cmake --build --preset asan -j "$jobs"
  ctest --preset asan -j "$jobs"
fi
