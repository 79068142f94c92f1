#!/usr/bin/env bash
# Installs the Debian packages the project needs, builds the Release binary
# and runs the example session.
set -euo pipefail
cd "$(dirname "$0")/.."
SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO=sudo; fi
$SUDO apt-get update -qq
$SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
  cmake g++ make python3 python3-pil libtclap-dev libtbb-dev googletest libgtest-dev > /dev/null
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release > /dev/null
cmake --build build -j"$(nproc)"
echo "--- example session (examples/first-session.txt):"
./build/pfsolve examples/first-session.txt < /dev/null
