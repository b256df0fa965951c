#!/usr/bin/env bash
# Fails when a C++ file of the repository differs from what clang-format makes of it with the
# repository's .clang-format, and names the files. Fix with:
#   git ls-files '*.h' '*.cpp' | xargs clang-format -i
set -euo pipefail
cd "${VELURIO_SOURCE_DIR:-$(dirname "$0")/..}"
mapfile -t files < <(git ls-files -co --exclude-standard -- 'src/*.h' 'src/*.cpp' 'tests/*.h' 'tests/*.cpp' \
                       'tools/*.h' 'tools/*.cpp' 'bench/*.h' 'bench/*.cpp')
bad=()
for f in "${files[@]}"; do
  [ -f "$f" ] || continue
  if ! clang-format --dry-run --Werror "$f" >/dev/null 2>&1; then bad+=("$f"); fi
done
if [ ${#bad[@]} -gt 0 ]; then
  echo "not formatted with .clang-format (run clang-format -i on them):"
  printf '  %s\n' "${bad[@]}"
  exit 1
fi
echo "format: ${#files[@]} files match .clang-format"
