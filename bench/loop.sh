#!/usr/bin/env bash
# Runs one download command COUNT times, one process each, stopping at the
# first failure. "@OUT@" in the command becomes OUTDIR/<run number>.
# usage: loop.sh COUNT OUTDIR COMMAND...
count=$1
dir=$2
shift 2
for ((i = 0; i < count; i++)); do
  "${@//@OUT@/$dir/$i}" >/dev/null 2>&1 || { echo "download $i failed" >&2; exit 1; }
done
