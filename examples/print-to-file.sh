#!/bin/sh
# Example print command: appends the job's data file ($1) to examples/run/printed.txt.
set -eu
out="$(dirname "$0")/run/printed.txt"
{
    printf '=== job %s ===\n' "$(basename "$1")"
    cat "$1"
    printf '\n'
} >> "$out"
