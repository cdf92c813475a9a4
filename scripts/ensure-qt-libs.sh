#!/usr/bin/env bash
# PyQt5's wheels bundle Qt but not the system libraries Qt links against
# (OpenGL, fontconfig, xkbcommon, glib, dbus). Finds the missing ones and
# installs their Debian packages when it can, or says exactly what to install.
set -euo pipefail
PY=$1

probe() {
    QT_QPA_PLATFORM=offscreen "$PY" - <<'PY' 2>/dev/null
import sys
from PyQt5.QtGui import QGuiApplication, QImage
app = QGuiApplication.instance() or QGuiApplication(sys.argv[:1])
assert not QImage(2, 2, QImage.Format_ARGB32).isNull()
PY
}

probe && exit 0

qtdir=$("$PY" -c 'import os, PyQt5; print(os.path.dirname(PyQt5.__file__))')
missing=$(find "$qtdir" -name '*.so*' -exec ldd {} + 2>/dev/null | awk '/not found/ {print $1}' | sort -u)

declare -A pkg=(
    [libGL.so.1]=libgl1 [libEGL.so.1]=libegl1 [libOpenGL.so.0]=libopengl0
    [libfontconfig.so.1]=libfontconfig1 [libfreetype.so.6]=libfreetype6
    [libxkbcommon.so.0]=libxkbcommon0 [libxkbcommon-x11.so.0]=libxkbcommon-x11-0
    [libglib-2.0.so.0]=libglib2.0-0 [libgthread-2.0.so.0]=libglib2.0-0
    [libdbus-1.so.3]=libdbus-1-3 [libX11.so.6]=libx11-6 [libX11-xcb.so.1]=libx11-xcb1
    [libxcb.so.1]=libxcb1 [libICE.so.6]=libice6 [libSM.so.6]=libsm6
)
need=""
for lib in $missing; do
    [ -n "${pkg[$lib]:-}" ] && need="$need ${pkg[$lib]}"
done
# Nothing recognisable missing: install the usual set.
[ -n "$need" ] || need="libgl1 libegl1 libfontconfig1 libxkbcommon0 libglib2.0-0 libdbus-1-3"
need=$(echo $need | tr ' ' '\n' | sort -u | tr '\n' ' ')

if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
    echo "Installing the system libraries PyQt5 needs: $need"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $need >/dev/null
    probe && exit 0
fi
echo "PyQt5 cannot load its Qt libraries. Install them with:" >&2
echo "    sudo apt-get install $need" >&2
exit 1
