#!/usr/bin/env bash
# Fails on an include that runs against the layers: link/ <- session/ <- ui/,
# with log/ and config/ below them all (log/ may read the settings record),
# and no product code reaching into sim/ or tests/. Every offending line is
# printed as file:line: text. Usage: tools/check-layers.sh [source folder]
set -u
cd "${1:-$(dirname "$0")/..}" || exit 2

# The folders each layer may include from, besides its own.
declare -A allowed=(
  [config]=""
  [log]="config"
  [link]="config log"
  [session]="config log link"
  [ui]="config log link session"
)

status=0
for layer in "${!allowed[@]}"; do
  [ -d "$layer" ] || continue
  while IFS=: read -r file line text; do
    target=$(sed -E 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"([^/"]+)\/.*/\1/' <<<"$text")
    [ "$target" = "$layer" ] && continue
    case " ${allowed[$layer]} " in *" $target "*) continue ;; esac
    echo "$file:$line: $layer/ may not include from $target/: $text"
    status=1
  done < <(grep -rnE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"[^/"]+/' "$layer" \
             --include='*.h' --include='*.cpp' --include='*.rc' || true)
done
[ $status -eq 0 ] && echo "layers: every include runs one way"
exit $status
