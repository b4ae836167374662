#!/usr/bin/env bash
# The program on a real Wayland compositor (sway, headless, software
# rendering): its window shows and paints, and a second start carrying the
# launcher's xdg-activation token brings it forward over another window.
# Usage: wayland_session_test.sh PROGRAM OTHER_WINDOW_PROGRAM TOKEN_TOOL
# Set VLM_WAYLAND_PICTURES to a folder to keep the screenshots.
set -euo pipefail
program=$1 other=$2 token_tool=$3
# The window's app id: the desktop entry's name.
app_id=com.tarnwick.VelmoraStudioConnect

work=$(mktemp -d)
chmod 755 "$work"
runtime=$work/run
mkdir -m 700 "$runtime" "$work/home" "$work/config" "$work/tmp"
pids=()
cleanup() {
  exec 9>&- 2>/dev/null || true
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAILED: $*" >&2
  sed 's/^/sway: /' "$work/sway.log" >&2 || true
  exit 1
}

# Polls a condition every 50 ms, for at most 30 s.
wait_for() {
  local what=$1 deadline=$((SECONDS + 30))
  shift
  while ((SECONDS < deadline)); do
    if "$@"; then return 0; fi
    sleep 0.05
  done
  fail "waited in vain for $what"
}

# sway refuses to run as root; there it runs as nobody, who owns the
# runtime folder (root's clients may still connect).
as_compositor=()
if [ "$(id -u)" -eq 0 ]; then
  chown 65534:65534 "$runtime"
  as_compositor=(setpriv --reuid=65534 --regid=65534 --clear-groups)
fi
cat > "$work/sway.conf" <<'CONF'
output HEADLESS-1 resolution 1280x1000 scale 1
focus_on_window_activation focus
CONF

# A session of its own: no other instance of the program is found.
export XDG_RUNTIME_DIR=$runtime HOME=$work/home XDG_CONFIG_HOME=$work/config TMPDIR=$work/tmp QT_QPA_PLATFORM=wayland
unset DISPLAY DESKTOP_STARTUP_ID XDG_ACTIVATION_TOKEN WAYLAND_DISPLAY SWAYSOCK
env WLR_BACKENDS=headless WLR_LIBINPUT_NO_DEVICES=1 WLR_RENDERER=pixman "${as_compositor[@]}" \
  sway -c "$work/sway.conf" > "$work/sway.log" 2>&1 &
pids+=($!)

compositor_ready() { compgen -G "$runtime/sway-ipc.*.sock" > /dev/null && [ -S "$runtime/wayland-1" ]; }
wait_for "the compositor" compositor_ready
export WAYLAND_DISPLAY=wayland-1 SWAYSOCK
SWAYSOCK=$(compgen -G "$runtime/sway-ipc.*.sock")

# One line per window: app id, focused, x, y, width, height.
windows() {
  swaymsg -t get_tree | /usr/bin/python3 -c '
import json, sys
def walk(node):
    if node.get("app_id"):
        r = node["rect"]
        print(node["app_id"], node["focused"], r["x"], r["y"], r["width"], r["height"])
    for child in node.get("nodes", []) + node.get("floating_nodes", []):
        walk(child)
walk(json.load(sys.stdin))'
}
focused() { windows | grep -q "^$1 True "; }

"$program" > "$work/program.log" 2>&1 &
pids+=($!)
program_runs() { kill -0 "${pids[-1]}" 2> /dev/null || fail "the program ended: $(cat "$work/program.log")"; }
window_shows() { program_runs && focused "$app_id"; }
wait_for "the window" window_shows
read -r _ _ x y width height < <(windows | grep "^$app_id ")
[ "$width" -ge 800 ] || fail "the window is $width wide"

# The window's own pixels: painted, not a blank or black surface. Mapped is
# not yet painted, so the grab is taken again until it shows the window.
window_painted() {
  grim -g "$x,$y ${width}x$height" -t ppm "$work/window.ppm" &&
  /usr/bin/python3 - "$work/window.ppm" <<'PY'
import sys
data = open(sys.argv[1], "rb").read()
header = data.split(b"\n", 3)
width, height = map(int, header[1].split())
pixels = header[3]
colours = {pixels[i:i + 3] for i in range(0, len(pixels), 3)}
dark = sum(1 for i in range(0, len(pixels), 3) if max(pixels[i:i + 3]) < 90)
sys.exit(0 if len(colours) > 200 and dark > 500 else 1)
PY
}
wait_for "the window to be painted" window_painted

# Another window takes the focus; a second start with a token from the
# compositor, as a launcher would pass it, brings the program back.
mkfifo "$work/other.in"
"$other" < "$work/other.in" > /dev/null 2>&1 &
pids+=($!)
exec 9> "$work/other.in"
wait_for "the other window to take the focus" focused vlm-accessibility-fixture
token=$("$token_tool" "$app_id") || fail "no activation token"
XDG_ACTIVATION_TOKEN=$token timeout 30 "$program" || fail "the second start did not hand over"
wait_for "the first window to come forward" focused "$app_id"

if [ -n "${VLM_WAYLAND_PICTURES:-}" ]; then
  mkdir -p "$VLM_WAYLAND_PICTURES"
  grim "$VLM_WAYLAND_PICTURES/wayland-activated.png"
fi
echo "the window shows on Wayland and a second start with a token brings it forward"
