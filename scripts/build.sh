#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Configures and builds one preset of CMakePresets.json: default, asan or tsan.
#
# Usage: scripts/build.sh PRESET [TARGET...]
# With targets, only those are built. ccache is used when it is installed. Extra configure
# options can be given in PEMDOR_CONFIGURE_ARGS (e.g. "-DBUILD_SHARED_LIBS=ON").
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."

if (($# < 1)); then
  echo "usage: scripts/build.sh default|asan|tsan [TARGET...]" >&2
  exit 2
fi
preset=$1
shift

configure_args=()
if command -v ccache >/dev/null; then
  configure_args+=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
if [[ -n "${PEMDOR_CONFIGURE_ARGS:-}" ]]; then
  read -r -a extra <<<"$PEMDOR_CONFIGURE_ARGS"
  configure_args+=("${extra[@]}")
fi

cmake --preset "$preset" "${configure_args[@]}"

build_args=(--parallel "$(nproc)")
if (($# > 0)); then
  build_args+=(--target "$@")
fi
cmake --build --preset "$preset" "${build_args[@]}"
