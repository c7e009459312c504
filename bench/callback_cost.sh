#!/usr/bin/env bash
# The recording path's own cost per event, fennik's callbacks against the
# minimal recorder (bench/refcb), from perf samples of the traced thread: time
# spent inside the callbacks' code only, so that neither the interpreter's
# dispatch nor other processes competing for the cores blur it.
#
#   bench/callback_cost.sh [BUILD_DIR]     (default build/bench; needs perf)
#
# Inside tools/toolbox it runs directly; on a host with perf whose Python is
# too old it runs the interpreter inside the toolbox and profiles it from here.
set -euo pipefail

BUILD=${1:-build/bench}
FIB=27
SESSIONS=10
PERIOD_NS=50000  # one sample per 50 us of CPU time

command -v perf >/dev/null || { echo "callback_cost: perf not found (Debian: linux-perf)"; exit 1; }
cd "$(dirname "$0")/.."
if command -v python3.14 >/dev/null; then RUN=(); else RUN=(tools/toolbox run); fi

data=$(mktemp -d)
trap 'rm -rf "$data"' EXIT
# Alternates fennik sessions (protobuf) with the recorder, one process, same code.
perf record -q -e cpu-clock -c "$PERIOD_NS" -o "$data/perf.data" -- "${RUN[@]}" python3.14 -c "
import sys
sys.path[:0] = ['$BUILD/python', '$BUILD/bench']
import fennik, fennik_refcb
def fib(n): return n if n < 2 else fib(n - 1) + fib(n - 2)
for _ in range($SESSIONS):
    with fennik.Tracer('/tmp/fennik-callback-cost.pb', format='protobuf'):
        fib($FIB)
    fennik_refcb.enable_recorder()
    fib($FIB)
    fennik_refcb.disable()
" >/dev/null

# Events per traced run of fib(N): 2 * (2 * F(N + 1) - 1).
events=$(python3 -c "
a, b = 0, 1
for _ in range($FIB + 1): a, b = b, a + b
print($SESSIONS * 2 * (2 * a - 1))")
perf report -i "$data/perf.data" --sort dso,sym --stdio -n 2>/dev/null | awk \
  -v events="$events" -v period="$PERIOD_NS" -v fib="$FIB" -v sessions="$SESSIONS" '
  # fennik: the callbacks and everything they call in the module on the recording side.
  /_core\./ && /callback<|record_cold|resolve_cold|slow_path|init_producer/ { ours += $2 }
  /fennik_refcb/ && /record</ { floor += $2 }
  END {
    printf "recording path, %d sessions of fib(%d), %d events each side, perf samples every %d ns\n",
      sessions, fib, events, period
    printf "  fennik callbacks   %6.2f ns/event\n", ours * period / events
    printf "  minimal recorder   %6.2f ns/event\n", floor * period / events
    if (floor > 0) printf "  ratio              %6.2fx (target <= 1.15x)\n", ours / floor
  }'
