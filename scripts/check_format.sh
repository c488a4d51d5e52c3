#!/usr/bin/env bash
# Every C++ source is laid out as .clang-format says.
set -euo pipefail
cd "$(dirname "$0")/.."
git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror
echo "layout: $(git ls-files '*.cpp' '*.h' | wc -l) files as .clang-format says"
