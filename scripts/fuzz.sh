#!/usr/bin/env bash
# Fuzzes the server's receive path with libFuzzer (clang-14, ASan+UBSan).
#   scripts/fuzz.sh [seconds]   fuzz (default 300 s); new inputs go to build-fuzz/corpus/
#   scripts/fuzz.sh --merge     add the inputs that found new coverage to the committed corpus
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
dir=build-fuzz
flags="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
cmake -S . -B "$dir" -DCMAKE_CXX_COMPILER=clang++-14 -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DFUZZ=ON -DBUILD_TESTING=OFF -DBUILD_BENCH=OFF -DCMAKE_CXX_FLAGS="$flags" >/dev/null
cmake --build "$dir" --target fuzz_server_receive -j"${JOBS:-2}"

fuzzer="$dir/tests/fuzz/fuzz_server_receive"
corpus=tests/fuzz/corpus/server_receive
mkdir -p "$dir/corpus" "$dir/crashes"

if [[ "${1:-}" == "--merge" ]]; then
  exec "$fuzzer" -merge=1 -max_len=16384 "$corpus" "$dir/corpus"
fi

seconds=${1:-300}
exec "$fuzzer" "$dir/corpus" "$corpus" -max_total_time="$seconds" -max_len=16384 -timeout=10 \
  -rss_limit_mb=1024 -artifact_prefix="$dir/crashes/" -print_final_stats=1
