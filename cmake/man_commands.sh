#!/usr/bin/env bash
# Writes a help2man include file with a COMMANDS section: the help of each command of a
# program that answers "PROGRAM help" and "PROGRAM help COMMAND" (and of the subcommands
# those list), as the program prints it.
# Usage: man_commands.sh PROGRAM OUT
set -euo pipefail
program=$1
out=$2
# The commands a help text lists under "Subcommands:".
commands() { awk '/^Subcommands:/ { s = 1; next } s && /^  [a-z]/ { print $1 } s && /^$/ { exit }'; }
# Help text as roff, line by line: backslashes doubled, a leading dot or quote escaped.
roff() { sed -e 's/\\/\\\\/g' -e "s/^\([.']\)/\\\\\&\1/"; }
{
  echo "[COMMANDS]"
  for c in $("$program" help | commands); do
    [ "$c" = help ] && continue
    text=$("$program" help "$c")
    echo ".SS $c"
    echo ".nf"
    roff <<<"$text"
    echo ".fi"
    for s in $(commands <<<"$text"); do
      echo ".SS $c $s"
      echo ".nf"
      "$program" help "$c" "$s" | roff
      echo ".fi"
    done
  done
} >"$out.tmp"
mv "$out.tmp" "$out"
