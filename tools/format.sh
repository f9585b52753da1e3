#!/bin/sh
# Formats the tree's C++ files with .clang-format; with --check, changes nothing and fails
# (listing each difference) when a file is not formatted.
set -eu
cd "$(dirname "$0")/.."
if [ "${1:-}" = "--check" ]; then
    mode="--dry-run --Werror"
else
    mode="-i"
fi
find src tests tools fuzz -name '*.cpp' -o -name '*.hpp' -o -name '*.h' | sort |
    xargs clang-format-14 $mode
