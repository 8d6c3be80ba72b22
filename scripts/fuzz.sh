#!/usr/bin/env bash
# Fuzzes with libFuzzer (clang-14, ASan+UBSan). Targets: server_receive (the
# server's receive path on a test model, default), box_receive (the box's own
# server: its model and handlers) and mms_decode (the MMS decoders).
#   scripts/fuzz.sh [seconds] [target]   fuzz (default 300 s); new inputs go to build-fuzz/corpus-<target>/
#   scripts/fuzz.sh --merge [target]     add the inputs that found new coverage to the committed corpus
set -euo pipefail
cd "$(dirname "$0")/.."

merge=false
if [[ "${1:-}" == "--merge" ]]; then
  merge=true
  shift
  target=${1:-server_receive}
else
  seconds=${1:-300}
  target=${2:-server_receive}
fi
corpus=tests/fuzz/corpus/$target
[[ -d "$corpus" ]] || { echo "fuzz: no such target: $target" >&2; exit 2; }

bash scripts/install-deps.sh
dir=build-fuzz
flags="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer -D_GLIBCXX_ASSERTIONS"
cmake -S . -B "$dir" -DCMAKE_CXX_COMPILER=clang++-14 -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DFUZZ=ON -DBUILD_TESTING=OFF -DBUILD_BENCH=OFF -DCMAKE_CXX_FLAGS="$flags" >/dev/null
cmake --build "$dir" --target "fuzz_$target" -j"${JOBS:-2}"

fuzzer="$dir/tests/fuzz/fuzz_$target"
found="$dir/corpus-$target"
mkdir -p "$found" "$dir/crashes"

if $merge; then
  exec "$fuzzer" -merge=1 -max_len=16384 "$corpus" "$found"
fi
exec "$fuzzer" "$found" "$corpus" -max_total_time="$seconds" -close_fd_mask=1 -max_len=16384 -timeout=10 \
  -rss_limit_mb=1024 -artifact_prefix="$dir/crashes/$target-" -print_final_stats=1
