#!/usr/bin/env bash
# Runs the README's first day with the tool, as written, in a scratch folder: the commands
# of its shell block with the tool of this build first on the PATH. The last export must
# list the orders in customer order, and the Python lines find, add and change orders.
# Usage: readme_first_day.sh README.md TOOL_FOLDER
set -euo pipefail
readme=$1
export PATH="$(cd "$2" && pwd):$PATH"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
awk '/^## A first day/ { section = 1; next }
     section && /^```sh$/ { inside = 1; next }
     inside && /^```$/ { exit }
     inside { print }' "$readme" >"$work/first-day.sh"
[ -s "$work/first-day.sh" ] || { echo "the README has no first day" >&2; exit 1; }
out=$(cd "$work" && bash -euo pipefail first-day.sh 2>&1)
echo "$out"
grep -A3 '^"OrderNo"' <<<"$out" | cut -d, -f2 | tr '\n' '|' | grep -qx '"Customer"|"Adams"|"Baker Ltd"|"Smith & Co"|' ||
  { echo "the export is not in customer order" >&2; exit 1; }
grep -qx 'Smith & Co 6 2026-03-01' <<<"$out" && grep -qx 'Clark 2 2026-03-03' <<<"$out" ||
  { echo "the Python lines did not find, insert and update their records" >&2; exit 1; }
