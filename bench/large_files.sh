#!/usr/bin/env bash
# Large files in constant memory: single-mode signing and the upload of a 1 GiB and a 4 GiB file
# of random bytes, each beside its physical reference on the same file in the same run.
#
# - signing: TSign in single mode (RSA-2048, SHA-256; bench_engines --sign-file, a process of
#   its own per run) against `openssl dgst -sha256`: time, MiB/s, peak resident memory;
# - upload: Korvalo's upload of the signed file against `curl -F` and `curl -T` to a local
#   server (korvalo-upload-bench --file): time, MiB/s, peak resident memory.
#
# The files are made here in a temporary folder (under $TMPDIR) and removed after, one at a
# time; a size for which the folder lacks room is skipped with a note.
#
# Usage: bench/large_files.sh [build-dir]     (default: build)
# Environment: SIZES (MiB, default "1024 4096"), RUNS (per tool and size, default 3).
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/.." && pwd)"
build="${1:-$root/build}"
sizes="${SIZES:-1024 4096}"
runs="${RUNS:-3}"
engines="$build/bin/bench_engines"
upload="$build/bin/korvalo-upload-bench"
for tool in "$engines" "$upload"; do
    [ -x "$tool" ] || { echo "missing $tool (build targets bench_engines korvalo-upload-bench)" >&2; exit 1; }
done
command -v openssl >/dev/null && command -v curl >/dev/null || { echo "needs openssl and curl" >&2; exit 1; }

work="$(mktemp -d "${TMPDIR:-/tmp}/korvalo-large.XXXXXX")"
trap 'rm -rf "$work"' EXIT

# Median of the numbers on standard input.
median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

echo "load: $(uptime)"
for mib in $sizes; do
    avail=$(df -Pm "$work" | awk 'NR == 2 { print $4 }')
    if [ "$avail" -lt $((mib + 512)) ]; then
        echo "== $mib MiB: skipped, only $avail MiB free in $(dirname "$work")"
        continue
    fi
    file="$work/random-$mib.bin"
    head -c "$((mib * 1048576))" /dev/urandom >"$file"
    echo "== $mib MiB of random bytes"

    # Signing and the reference, alternately, after one read that brings the file into the
    # page cache for both.
    openssl dgst -sha256 "$file" >/dev/null
    : >"$work/sign" ; : >"$work/dgst"
    for _ in $(seq "$runs"); do
        /usr/bin/time -f "%e %M" -o "$work/t" timeout 600 openssl dgst -sha256 "$file" >/dev/null
        cat "$work/t" >>"$work/dgst"
        timeout 600 "$engines" --sign-file "$file" | awk '{ print $2, $4 }' >>"$work/sign"
    done
    sign_s=$(awk '{ print $1 }' "$work/sign" | median)
    sign_kib=$(awk '{ print $2 }' "$work/sign" | sort -g | tail -1)
    dgst_s=$(awk '{ print $1 }' "$work/dgst" | median)
    dgst_kib=$(awk '{ print $2 }' "$work/dgst" | sort -g | tail -1)
    awk -v m="$mib" -v s="$sign_s" -v sk="$sign_kib" -v d="$dgst_s" -v dk="$dgst_kib" -v r="$runs" 'BEGIN {
        printf "signing, median of %d: TSign %.3f s (%.0f MiB/s), peak %.1f MiB\n", r, s, m / s, sk / 1024
        printf "  openssl dgst -sha256 %.3f s (%.0f MiB/s), peak %.1f MiB\n", d, m / d, dk / 1024
        ratio = d / s
        printf "  throughput TSign / dgst %.2f (goal >= 0.90: %s); peak goal <= 64 MiB: %s\n",
               ratio, (ratio >= 0.9 ? "met" : "NOT met"), (sk / 1024 <= 64 ? "met" : "NOT met")
    }'

    timeout 1200 "$upload" --file "$file" --runs "$runs" | sed 's/^/upload: /'
    rm -f "$file"
done
echo "load: $(uptime)"
