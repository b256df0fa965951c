#!/usr/bin/env bash
# The desktop entries the package installs are valid for the desktop's menus and autostart.
set -euo pipefail
root="${VELURIO_SOURCE_DIR:?}"
command -v desktop-file-validate >/dev/null || { echo "desktop-file-validate is not installed (scripts/install-deps)"; exit 1; }
desktop-file-validate "$root/data/velurio.desktop" "$root/data/velurio-autostart.desktop"
grep -qx 'Exec=velurio' "$root/data/velurio.desktop"
grep -qx 'Icon=velurio' "$root/data/velurio.desktop"
echo "desktop entries valid"
