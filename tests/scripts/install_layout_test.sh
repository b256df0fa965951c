#!/usr/bin/env bash
# `cmake --install` puts the executable, the desktop entry, both icons and the autostart entry
# where a Linux desktop finds them, and nothing else; the installed program answers --version.
set -euo pipefail
build="${VELURIO_BINARY_DIR:?}"
[ -x "$build/src/app/velurio" ] || { echo "velurio is not built in $build"; exit 1; }
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
expected="bin/velurio
share/applications/velurio.desktop
share/icons/hicolor/48x48/apps/velurio.png
share/icons/hicolor/scalable/apps/velurio.svg
share/velurio/autostart/velurio.desktop"
actual=$(cd "$prefix" && find . -type f | sed 's|^\./||' | sort)
if [ "$actual" != "$expected" ]; then
  echo "installed files differ:"; diff <(echo "$expected") <(echo "$actual") || true; exit 1
fi
[ "$(identify -format %wx%h "$prefix/share/icons/hicolor/48x48/apps/velurio.png")" = 48x48 ]
QT_QPA_PLATFORM=offscreen "$prefix/bin/velurio" --version | grep -qx "velurio [0-9.]*"
echo "install layout ok"
