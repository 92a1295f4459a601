#!/usr/bin/env bash
# Runs the Halyard deliverable end to end: it extracts its application next to
# itself (build/bin), runs it with our arguments and erases it again.
set -euo pipefail
build_dir=${1:-build}
launcher="$build_dir/bin/Halyard"

echo "== $launcher carries:"
"$build_dir/bin/nestbox-pack" --list "$launcher"
echo
echo "== running: $launcher status --verbose 'two words'"
"$launcher" status --verbose 'two words'
status=$?
echo
echo "== Halyard ended with status $status; working directories left behind:"
ls -d "$build_dir"/bin/Halyard.data* 2>/dev/null || echo "(none: the last run erased it)"
echo "(the launcher's own messages went to the system log, identity kolvonestbox)"
