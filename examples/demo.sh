#!/usr/bin/env bash
# A real download on this machine: a small demo video site on loopback,
# served by Python's http.server, and Quorvane's example configuration.
# Usage: examples/demo.sh path/to/quorvane
set -euo pipefail

bin=$(readlink -f "${1:-build/quorvane}")
examples=$(cd "$(dirname "$0")" && pwd)
[ -x "$bin" ] || { echo "demo: $bin is not built (run make first)" >&2; exit 1; }

work=$(mktemp -d /tmp/quorvane-demo-XXXXXX)
server_pid=
cleanup() {
  if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null || true; wait "$server_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT INT TERM

echo "== Laying out a configuration folder with the example plugins"
home=$work/home
mkdir -p "$home"
cp -r "$examples/tovelcnf" "$home/.tovelcnf"

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1]); s.close()')

echo "== Making a demo site: a watch page and a 4 MiB clip of random bytes"
site=$work/site
mkdir -p "$site/demotube/watch" "$site/demotube/media"
head -c 4194304 /dev/urandom > "$site/demotube/media/clip42.bin"
cat > "$site/demotube/watch/clip42" <<'PAGE'
<!DOCTYPE html>
<html><head><title>Clip 42 - DemoTube</title></head>
<body>
<h1>Clip 42</h1>
<div class="related" data-media="not-this-one"></div>
<div id="player" class="player" data-media="clip42" data-width="640"></div>
</body></html>
PAGE

echo "== Starting the demo site on http://127.0.0.1:$port/"
python3 -m http.server --bind 127.0.0.1 --directory "$site" "$port" >"$work/server.log" 2>&1 &
server_pid=$!
for _ in $(seq 1 50); do
  python3 -c "import socket; socket.create_connection(('127.0.0.1',$port),0.2).close()" 2>/dev/null && break
  sleep 0.1
done

# The port is written in the address: it is the port of this request, the
# "Host:" line names it, and the demotube plugin keeps it in the clip's
# address.
target="http://127.0.0.1:$port/demotube/watch/clip42"
echo "== Running: quorvane /S $target clip42.bin"
echo
status=0
(cd "$work" && HOME="$home" "$bin" /S "$target" clip42.bin) || status=$?
echo
if [ "$status" -ne 0 ]; then
  echo "demo: quorvane ended with status $status" >&2
  exit 1
fi
if cmp -s "$site/demotube/media/clip42.bin" "$work/clip42.bin"; then
  echo "== The downloaded file equals the served clip ($(stat -c %s "$work/clip42.bin") bytes)."
  echo "Done."
else
  echo "demo: the downloaded file differs from the served clip" >&2
  exit 1
fi
