#!/usr/bin/env bash
# Fuzzes the compiled answer decoder (decoder/rows.cpp) with libFuzzer under the address
# and undefined-behaviour sanitizers, for a bounded time, starting from a small corpus of
# regular and irregular answers. Needs clang with its fuzzer runtime.
#
#   bash scripts/fuzz.sh               60 seconds
#   QUORVEX_FUZZ_SECONDS=600 bash scripts/fuzz.sh
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${QUORVEX_FUZZ_SECONDS:-60}
compiler=${CXX_FUZZ:-clang++}
if ! command -v "$compiler" >/dev/null 2>&1; then
    echo "error: fuzzing needs clang++ (apt-get install clang)" >&2
    exit 1
fi
work=$(mktemp -d "${TMPDIR:-/tmp}/quorvex-fuzz.XXXXXX")
trap 'rm -rf "$work"' EXIT
"$compiler" -std=c++20 -O1 -g -fno-omit-frame-pointer -fsanitize=fuzzer,address,undefined \
    -fno-sanitize-recover=all decoder/rows.cpp decoder/fuzz_rows.cpp -o "$work/fuzz_rows"
mkdir -p "$work/corpus"
seed() { printf '%s' "$2" >"$work/corpus/$1"; }
row='{"DateTime": "2024-01-02", "Open": 1, "High": 2.5, "Low": null, "Close": -0.0, "Volume": 1e3}'
seed regular "[$row, $row]"
seed times '[{"DateTime":"2024-02-29T23:59:59","Open":1,"High":2,"Low":3,"Close":4,"Volume":9223372036854775807}]'
seed spaces '[ {"Volume" : 5 ,"Open":1,"High":2,"Low":3,"Close":4, "DateTime":"2200-12-31 00:00:00"} ]'
seed refused '{"error": "unknown ticker"}'
seed odd '[{"DateTime": 1704153600, "Open": "1", "High": true, "Low": NaN, "Close": 01, "Volume": 1.}]'
cat >"$work/tokens" <<'TOKENS'
"DateTime"
"Open"
"High"
"Low"
"Close"
"Volume"
"null"
"2024-01-02"
"T00:00:00"
"e-"
"9223372036854775808"
TOKENS
echo "== fuzzing the answer decoder for ${seconds} s"
"$work/fuzz_rows" -max_total_time="$seconds" -max_len=2048 -dict="$work/tokens" \
    -print_final_stats=1 "$work/corpus" 2>&1 | tail -n 15
