#!/usr/bin/env bash
# Runs ctest in each build folder given, always all of them, and ends with one
# summary line over everything. Exits non-zero when any test failed.
set -u
cd "$(dirname "$0")/.."

# Create the Wine prefix and start the wineserver before ctest, outside its pipes.
cmake/wine-run.sh || exit 1

passed=0
failed=0
status=0
for build in "$@"; do
  echo "== ctest in $build"
  log=$(mktemp)
  ctest --test-dir "$build" --output-on-failure --timeout 600 2>&1 | tee "$log"
  rc=${PIPESTATUS[0]}
  [ "$rc" -eq 0 ] || status=1
  line=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -n 1)
  if [ -n "$line" ]; then
    total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$line")
    bad=$(sed -E 's/.*passed, ([0-9]+) tests failed.*/\1/' <<<"$line")
    passed=$((passed + total - bad))
    failed=$((failed + bad))
  else
    status=1
  fi
  rm -f "$log"
done
echo
echo "Total: $passed passed, $failed failed"
exit $status
