#!/usr/bin/env bash
# Builds Tovrin if needed and starts the window. Arguments are the save directory.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
"$here/tools/ensure-packages.sh" cmake make g++ pkg-config qt6-base-dev qt6-l10n-tools qt6-translations-l10n libxxhash-dev libssl-dev libsodium-dev libavahi-client-dev fonts-noto-cjk
cmake -S "$here" -B "$here/build-release" -DCMAKE_BUILD_TYPE=Release -DTOVRIN_TESTS=OFF > /dev/null
cmake --build "$here/build-release" -j"$(nproc)" --target tovrin tovrin-cli > /dev/null
exec "$here/build-release/tovrin" "$@"
