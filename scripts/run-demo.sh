#!/usr/bin/env bash
# Installs what is missing, builds the installer and runs it on its demo bundle.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$(nproc)" --target Installer
exec ./build/Installer.app/Contents/MacOS/Installer "$@"
