#!/bin/sh
# Makes one gzipped manual page with help2man from a program's --help and --version. Where the
# help lists sub-commands (pelorus-pool), each one's own --help follows as a section, since the
# top-level help names them without their options.
# A file packaging/PROGRAM.h2m, where there is one, adds its sections (help2man's --include).
# Usage: man_page.sh HELP2MAN PROGRAM SUMMARY OUT.gz
set -eu
help2man=$1
program=$2
summary=$3
out=$4
name=$(basename "$program")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Help text as roff that keeps its layout: backslashes escaped, and a line that starts with
# a dot or an apostrophe not taken for a request.
verbatim() {
  printf '.nf\n'
  sed -e 's/\\/\\e/g' -e "s/^[.']/\\\\\&&/"
  printf '.fi\n'
}

include=$work/extra.h2m
subcommands=$("$program" --help | awk '/^[^ \t]/ { listing = /^S(UBCOMMANDS|ubcommands):/; next }
                                       listing && NF { print $1 }')
if [ -n "$subcommands" ]; then
  echo '[SUB-COMMANDS]' >>"$include"
  for subcommand in $subcommands; do
    printf '.SS "%s %s"\n' "$name" "$subcommand" >>"$include"
    "$program" "$subcommand" --help | verbatim >>"$include"
  done
fi

own=$(dirname "$0")/$name.h2m
if [ -f "$own" ]; then
  cat "$own" >>"$include"
fi

{
  echo '[SEE ALSO]'
  first=1
  for other in pelorus pelorus-pool pelorus-station pelorus-devsim; do
    [ "$other" = "$name" ] && continue
    [ $first -eq 1 ] || printf ',\n'
    printf '.BR %s (1)' "$other"
    first=0
  done
  printf '\n'
} >>"$include"

"$help2man" --no-info --name="$summary" --include="$include" --output="$work/$name.1" "$program"
gzip -9n <"$work/$name.1" >"$out"
