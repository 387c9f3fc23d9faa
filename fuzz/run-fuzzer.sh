#!/usr/bin/env bash
# Runs one libFuzzer target for a bounded time over its seed corpus, as a test:
#   run-fuzzer.sh FUZZER SEED-FOLDER WORK-FOLDER SECONDS
# New inputs go to WORK-FOLDER/corpus (the seeds in the repository stay as they are). On a crash
# the failing input is printed (Base64 and as characters) and the exit status is not 0; a copy
# stays in WORK-FOLDER/artifacts.
set -u
fuzzer=$1 seeds=$2 work=$3 seconds=$4
rm -rf "$work"
mkdir -p "$work/corpus" "$work/artifacts"
"$fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$work/artifacts/" "$work/corpus" "$seeds"
status=$?
if [ $status -ne 0 ]; then
    for input in "$work"/artifacts/*; do
        [ -f "$input" ] || continue
        echo "==== failing input $input ($(stat -c %s "$input") bytes), Base64:"
        base64 -w 76 "$input"
        echo "==== as characters:"
        od -A d -c "$input" | head -n 64
    done
fi
exit $status
