#!/usr/bin/env bash
# The SDK at work, without hardware: the bus emulator plays an adapter with
# three actuators on a pseudo-terminal; the doroze command line and a Python
# session (streaming feedback while moving an actuator) talk to it; then the
# virtual actuator runs a step response on the digital twin and plots it.
# Usage: examples/demo.sh [VENV]
set -euo pipefail
venv=${1:-.venv}
bin=$venv/bin
port=$(mktemp -u /tmp/vez-demo-XXXXXX)

"$bin/vez-bus-emulator" --link "$port" \
    --actuator 0x10:ORBIT_4 --actuator 0x11:NOVA_3 --actuator 0x20:ORBIT_2 >/dev/null &
emulator=$!
trap 'kill $emulator 2>/dev/null; wait $emulator 2>/dev/null || true' EXIT
for _ in $(seq 50); do [ -e "$port" ] && break; sleep 0.1; done

step() { printf '\n\033[1m$ %s\033[0m\n' "$*"; "$@"; }
step "$bin/doroze" scan --port "$port" --end 0x21
step "$bin/doroze" params --port "$port" --address 0x11
step "$bin/doroze" blink --port "$port" --address 0x20
step "$bin/doroze" home --port "$port" --address 0x10
step "$bin/python" examples/stream_position_move.py "$port" 0x11
step "$bin/python" examples/virtual_step_response.py
