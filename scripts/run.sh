#!/usr/bin/env bash
# Builds the box's IEC 61850 server process and runs it in the foreground.
# Arguments are passed on to the server.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null

if ! cmake --build build --target help | grep -qw IecServer; then
  echo "run: the box's server (IecServer, src/IEC_server/) is not built yet: nothing to run." >&2
  exit 1
fi
cmake --build build --target IecServer -j"${JOBS:-2}"
exec build/src/IEC_server/IecServer "$@"
