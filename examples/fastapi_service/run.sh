#!/usr/bin/env bash
# Runs the notes service (examples/fastapi_service/app.py) under uvicorn with
# a redis-server of its own, both on free loopback ports, then its client;
# stops both. Needs Debian's python3 with FastAPI, uvicorn, httpx and redis,
# and redis-server; says what is missing and skips otherwise. PYTHONPATH
# must reach the vestrel package and the vestrel_kernel module.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
python=${VESTREL_DEMO_PYTHON:-/usr/bin/python3}
if ! missing=$("$python" -c 'import fastapi, uvicorn, httpx, redis' 2>&1); then
    echo "fastapi_service: skipped, $python cannot import FastAPI, uvicorn, httpx and redis:"
    echo "  ${missing##*$'\n'}"
    exit 0
fi
if ! command -v redis-server >/dev/null; then
    echo "fastapi_service: skipped, no redis-server (apt-get install redis-server)"
    exit 0
fi
free_port() { "$python" -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
wait_port() {  # waits up to 10 s for something to accept on 127.0.0.1:$1
    "$python" - "$1" <<'PY'
import socket, sys, time
deadline = time.monotonic() + 10
while True:
    try:
        socket.create_connection(("127.0.0.1", int(sys.argv[1])), timeout=1).close()
        break
    except OSError:
        if time.monotonic() > deadline:
            sys.exit(f"nothing answers on port {sys.argv[1]}")
        time.sleep(0.05)
PY
}
work=$(mktemp -d)
pids=()
stop() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
    rm -rf "$work"
}
trap stop EXIT
redis_port=$(free_port)
redis-server --port "$redis_port" --bind 127.0.0.1 --save "" --appendonly no --dir "$work" \
    >"$work/redis.log" &
pids+=($!)
wait_port "$redis_port"
port=$(free_port)
origin="http://127.0.0.1:$port"
VESTREL_DEMO_ROOT_PK=$("$python" "$here/client.py" --root-public-key) \
VESTREL_DEMO_REDIS_PORT=$redis_port VESTREL_DEMO_ORIGIN=$origin \
    "$python" -m uvicorn app:app --app-dir "$here" --host 127.0.0.1 --port "$port" \
    --log-level warning &
pids+=($!)
wait_port "$port"
echo "fastapi_service: notes service on $origin, Redis on port $redis_port"
"$python" "$here/client.py" "$origin"
