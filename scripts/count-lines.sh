#!/usr/bin/env bash
# Lines of C++ (.cpp .hpp .h) in src/ and in tests/, without blank lines and
# comment-only lines; test data (transcripts, captures, corpora) is not C++ and
# not counted. Prints both, the ratio, and the size of the test data.
set -euo pipefail
cd "$(dirname "$0")/.."
cxx_lines() {
  find "$1" -type f \( -name '*.cpp' -o -name '*.hpp' -o -name '*.h' \) -print0 |
    xargs -0 cat | grep -v -E '^\s*(//.*)?$' | wc -l
}
src=$(cxx_lines src)
tests=$(cxx_lines tests)
data_files=$(find tests -type f ! \( -name '*.cpp' -o -name '*.hpp' -o -name '*.h' -o -name CMakeLists.txt \) | wc -l)
data_kib=$(find tests -type f ! \( -name '*.cpp' -o -name '*.hpp' -o -name '*.h' -o -name CMakeLists.txt \) -print0 | du -ck --apparent-size --files0-from=- | tail -1 | cut -f1)
echo "src: $src lines of C++"
echo "tests: $tests lines of C++ ($(( 100 * tests / src ))% of src)"
echo "test data: $data_files files, $data_kib KiB"
