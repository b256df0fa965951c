# Sourced by scripts/with-services: an X server (Xvfb) with a compositing manager (picom), so
# translucent windows are really composited, for the `gui` tests. Exports DISPLAY.
# Xvfb picks a free display itself (-displayfd); -noreset keeps it alive between clients.

_velurio_xdisplay_file="$VELURIO_SERVICES_DIR/xvfb.display"
Xvfb -displayfd 9 -screen 0 1920x1080x24 -noreset -nolisten tcp \
     9>"$_velurio_xdisplay_file" >"$VELURIO_SERVICES_DIR/xvfb.log" 2>&1 &
_velurio_xvfb_pid=$!
cleanup+=("kill $_velurio_xvfb_pid")
for _i in $(seq 1 100); do
  [ -s "$_velurio_xdisplay_file" ] && break
  kill -0 "$_velurio_xvfb_pid" 2>/dev/null || break
  sleep 0.1
done
if [ ! -s "$_velurio_xdisplay_file" ]; then
  echo "30-xvfb: Xvfb did not start:" >&2
  cat "$VELURIO_SERVICES_DIR/xvfb.log" >&2
  return 1
fi
export DISPLAY=":$(head -n1 "$_velurio_xdisplay_file")"

# Without a compositor transparent pixels are black; the window tests check real colours.
picom --backend xrender --config /dev/null >"$VELURIO_SERVICES_DIR/picom.log" 2>&1 &
_velurio_picom_pid=$!
cleanup+=("kill $_velurio_picom_pid")
for _i in $(seq 1 100); do
  xwininfo -root -children 2>/dev/null | grep -q '"picom"' && break
  kill -0 "$_velurio_picom_pid" 2>/dev/null || break
  sleep 0.1
done
if ! xwininfo -root -children 2>/dev/null | grep -q '"picom"'; then
  echo "30-xvfb: picom did not start:" >&2
  cat "$VELURIO_SERVICES_DIR/picom.log" >&2
  return 1
fi
unset _i _velurio_xdisplay_file _velurio_xvfb_pid _velurio_picom_pid
