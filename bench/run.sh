#!/usr/bin/env bash
# Benchmark: quorvane against curl and wget, downloading from a private
# nginx on loopback (plain HTTP and TLS, each on a free port).
#
# Workloads, each timed RUNS times with the tools interleaved:
#   plain   one large file of random bytes over plain HTTP into a file
#   tls     the same file over TLS
#   page    "@buffering:" of a large and of a small HTML page, then an
#           analysis block that cuts the media address out of the page's end
#           (quorvane alone, with the plugin bench/benchpage)
#   small   SMALL_COUNT downloads of a small file, one process each
#   growth  two plugins that grow one text line by line (HEADER_LINES
#           "@->header=" lines; SUM_LINES "@sum=" lines of 1000 bytes),
#           quorvane alone, no network
#   split   a file of SPLIT_SIZE from a server that sends each connection
#           at most SPLIT_RATE bytes a second, with "@split=1", 4 and 16
#           (and the segmented downloader aria2c with 4 and 16 connections,
#           when it is installed); then the large file from the server
#           without a cap, with "@split=1" and 4
# Every run's bytes are compared with the served ones; a run that differs or
# fails is reported as a failure and left out of the figures.
#
# Settings (environment or make variables):
#   BIN=path/to/quorvane   default build/quorvane
#   BASE=path/to/quorvane  another build (an earlier one) timed as a fourth
#                          tool, "base", in the plain and TLS workloads
#   RUNS=5                 runs of each workload and tool
#   SIZE=1G                the large file (K, M, G suffixes are powers of 1024)
#   PAGE_BIG=64M PAGE_SMALL=8M     the two pages
#   SMALL_COUNT=200 SMALL_SIZE=10K the small-file loop
#   HEADER_LINES=80000 SUM_LINES=8000  the growth plugins
#   RESULTS=file           also keep the raw result rows there
#   SPLIT_SIZE=64M SPLIT_RATE=4m   the split workload's file and cap (nginx's
#                          limit_rate: bytes a second, k and m suffixes)
#   WORKLOADS="plain tls"  only these workloads (default: all six)
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
repo=$(dirname "$here")
BIN=${BIN:-$repo/build/quorvane}
RUNS=${RUNS:-5}
SIZE=${SIZE:-1G}
PAGE_BIG=${PAGE_BIG:-64M}
PAGE_SMALL=${PAGE_SMALL:-8M}
SMALL_COUNT=${SMALL_COUNT:-200}
SMALL_SIZE=${SMALL_SIZE:-10K}
HEADER_LINES=${HEADER_LINES:-80000}
SUM_LINES=${SUM_LINES:-8000}
RESULTS=${RESULTS:-}
SPLIT_SIZE=${SPLIT_SIZE:-64M}
SPLIT_RATE=${SPLIT_RATE:-4m}
WORKLOADS=${WORKLOADS:-plain tls page small growth split}
BASE=${BASE:-}

die() { echo "bench: $*" >&2; exit 1; }

BIN=$(readlink -f "$BIN" || true)
[ -n "$BIN" ] && [ -x "$BIN" ] || die "no quorvane program at ${BIN:-?} (run make, or give BIN=)"
if [ -n "$BASE" ]; then
  BASE=$(readlink -f "$BASE" || true)
  [ -n "$BASE" ] && [ -x "$BASE" ] || die "no quorvane program at BASE"
fi
[[ "$RUNS" =~ ^[1-9][0-9]*$ ]] || die "RUNS must be a positive number"
[[ "$SMALL_COUNT" =~ ^[1-9][0-9]*$ ]] || die "SMALL_COUNT must be a positive number"

bytes() { numfmt --from=iec "$1" 2>/dev/null || die "not a size: $1"; }
size_label() {
  local n=$1
  if ((n % 1073741824 == 0)); then echo "$((n / 1073741824)) GiB"
  elif ((n % 1048576 == 0)); then echo "$((n / 1048576)) MiB"
  elif ((n % 1024 == 0)); then echo "$((n / 1024)) KiB"
  else echo "$n B"; fi
}
size_bytes=$(bytes "$SIZE")
page_big_bytes=$(bytes "$PAGE_BIG")
page_small_bytes=$(bytes "$PAGE_SMALL")
small_bytes=$(bytes "$SMALL_SIZE")
split_bytes=$(bytes "$SPLIT_SIZE")
[[ "$SPLIT_RATE" =~ ^[1-9][0-9]*[km]?$ ]] || die "SPLIT_RATE must be a number with k or m"

# --- tools -----------------------------------------------------------------
work=
ngx_pid=
made_policy=
cleanup() {
  if [ -n "$ngx_pid" ]; then
    kill -TERM "$ngx_pid" 2>/dev/null || true
    wait "$ngx_pid" 2>/dev/null || true
  fi
  if [ -n "$made_policy" ]; then rm -f /usr/sbin/policy-rc.d; fi
  if [ -n "$work" ]; then rm -rf "$work"; fi
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

missing=()
command -v nginx >/dev/null 2>&1 || [ -x /usr/sbin/nginx ] || missing+=(nginx-light)
[ -x /usr/bin/time ] || missing+=(time)
command -v curl >/dev/null 2>&1 || missing+=(curl)
command -v wget >/dev/null 2>&1 || missing+=(wget)
command -v openssl >/dev/null 2>&1 || missing+=(openssl)
command -v python3 >/dev/null 2>&1 || missing+=(python3)
if [ ${#missing[@]} -gt 0 ]; then
  [ "$(id -u)" = 0 ] || die "missing ${missing[*]}; install them (apt-get install ${missing[*]})"
  echo "== Installing ${missing[*]}"
  # Installing nginx must not start the system's own server: while the
  # packages go in, services are not allowed to start.
  if [ ! -e /usr/sbin/policy-rc.d ]; then
    printf '#!/bin/sh\nexit 101\n' >/usr/sbin/policy-rc.d
    chmod 755 /usr/sbin/policy-rc.d
    made_policy=1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  if [ -n "$made_policy" ]; then rm -f /usr/sbin/policy-rc.d; made_policy=; fi
fi
NGINX=$(command -v nginx || echo /usr/sbin/nginx)

# --- data ------------------------------------------------------------------
work=$(mktemp -d "${TMPDIR:-/tmp}/quorvane-bench-XXXXXX")
# The nginx workers run as an unprivileged user and must read the data.
chmod 755 "$work"
data=$work/data
mkdir -p "$data/benchpage" "$data/media"
echo "== Making test data in $work"
head -c "$size_bytes" /dev/urandom >"$data/big.bin"
head -c "$small_bytes" /dev/urandom >"$data/small.bin"
head -c "$split_bytes" /dev/urandom >"$data/split.bin"
python3 "$here/make_page.py" "$page_big_bytes" "$data/benchpage/page-big.html" \
  "http://127.0.0.1/media/clip-big.bin" "$work/media-big.expected"
python3 "$here/make_page.py" "$page_small_bytes" "$data/benchpage/page-small.html" \
  "http://127.0.0.1/media/clip-small.bin" "$work/media-small.expected"
chmod -R a+rX "$data"
# The new files go to the disk now rather than in the middle of the first
# timed runs.
sync

# --- server ----------------------------------------------------------------
free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1]); s.close()'
}
port=$(free_port)
TLS_PORT=$(free_port)
while [ "$TLS_PORT" = "$port" ]; do TLS_PORT=$(free_port); done
CAP_PORT=$(free_port)
while [ "$CAP_PORT" = "$port" ] || [ "$CAP_PORT" = "$TLS_PORT" ]; do CAP_PORT=$(free_port); done
ngx=$work/nginx
mkdir -p "$ngx/tmp"
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=127.0.0.1" \
  -addext "subjectAltName=IP:127.0.0.1" -keyout "$ngx/key.pem" -out "$ngx/cert.pem" 2>/dev/null
user_line=
[ "$(id -u)" = 0 ] && user_line="user nobody nogroup;"
cat >"$ngx/nginx.conf" <<CONF
$user_line
worker_processes 1;
daemon off;
pid $ngx/nginx.pid;
error_log $ngx/error.log warn;
events { worker_connections 1024; }
http {
  types { text/html html; application/octet-stream bin; }
  default_type application/octet-stream;
  access_log off;
  sendfile on;
  tcp_nopush on;
  keepalive_timeout 5;
  client_body_temp_path $ngx/tmp/body;
  proxy_temp_path $ngx/tmp/proxy;
  fastcgi_temp_path $ngx/tmp/fastcgi;
  uwsgi_temp_path $ngx/tmp/uwsgi;
  scgi_temp_path $ngx/tmp/scgi;
  server {
    listen 127.0.0.1:$port;
    root $data;
  }
  server {
    listen 127.0.0.1:$CAP_PORT;
    root $data;
    limit_rate $SPLIT_RATE;
  }
  server {
    listen 127.0.0.1:$TLS_PORT ssl;
    ssl_certificate $ngx/cert.pem;
    ssl_certificate_key $ngx/key.pem;
    root $data;
  }
}
CONF
"$NGINX" -p "$ngx" -c "$ngx/nginx.conf" -e "$ngx/error.log" &
ngx_pid=$!
ready=
for _ in $(seq 1 100); do
  kill -0 "$ngx_pid" 2>/dev/null || break
  if curl -sf -o /dev/null "http://127.0.0.1:$port/small.bin" &&
    curl -sfk -o /dev/null "https://127.0.0.1:$TLS_PORT/small.bin"; then
    ready=1
    break
  fi
  sleep 0.1
done
if [ -z "$ready" ]; then
  cat "$ngx/error.log" >&2 || true
  die "nginx did not start (is 127.0.0.1:$TLS_PORT or $port taken?)"
fi

# quorvane's configuration: the example registry and plugins, the bench
# plugin and the two growth plugins. The server's certificate is the one
# authority quorvane trusts here, as curl and wget are told to skip the
# check; both ways cost the same handshake.
home=$work/home
mkdir -p "$home"
cp -r "$repo/examples/tovelcnf" "$home/.tovelcnf"
cp "$here/benchpage" "$home/.tovelcnf/benchpage"
echo "@plugin=benchpage" >>"$home/.tovelcnf/tovel.ini"
export SSL_CERT_FILE=$ngx/cert.pem
{
  echo "@plugin=growth-header"
  echo "@plugin=growth-sum"
} >>"$home/.tovelcnf/tovel.ini"
python3 - "$home/.tovelcnf" "$HEADER_LINES" "$SUM_LINES" <<'PY'
import sys
folder, headers, sums = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
with open(folder + "/growth-header", "w") as f:
    f.write("@httpinit:\n@<-read=value\n")
    f.writelines("@->header=X-Line-%d\n" % i for i in range(headers))
with open(folder + "/growth-sum", "w") as f:
    f.write("@<-read=\n@push=0\n")
    f.writelines("@sum=" + "x" * 1000 + "\n" for _ in range(sums))
    f.write("@->log=sum.out\n")
PY

# --- measuring -------------------------------------------------------------
results=$work/results.tsv
: >"$results"
rundir=$work/run
failures=0
WARM=()

# The download command of TOOL for URL_PATH over SCHEME into OUT, in CMD;
# the served file, in WARM.
client() {
  local tool=$1 scheme=$2 path=$3 out=$4
  WARM=("$data$path")
  case "$tool:$scheme" in
    quorvane:http) CMD=("$BIN" /S "http://127.0.0.1:$port$path" "$out") ;;
    quorvane:https) CMD=("$BIN" /S "https://127.0.0.1:$TLS_PORT$path" "$out") ;;
    base:http) CMD=("$BASE" /S "http://127.0.0.1:$port$path" "$out") ;;
    base:https) CMD=("$BASE" /S "https://127.0.0.1:$TLS_PORT$path" "$out") ;;
    curl:http) CMD=(curl --http1.0 -s -o "$out" "http://127.0.0.1:$port$path") ;;
    curl:https) CMD=(curl --http1.0 -s -k -o "$out" "https://127.0.0.1:$TLS_PORT$path") ;;
    wget:http) CMD=(wget -q -O "$out" "http://127.0.0.1:$port$path") ;;
    wget:https) CMD=(wget -q --no-check-certificate -O "$out" "https://127.0.0.1:$TLS_PORT$path") ;;
    split*:*) CMD=("$BIN" --set "@split=${tool#split}" /S "http://127.0.0.1:${scheme#http:}$path" "$out") ;;
    aria2-*:*)
      CMD=(aria2c -q -x "${tool#aria2-}" -s "${tool#aria2-}" -k 1M --file-allocation=none
        --allow-overwrite=true --auto-file-renaming=false -d "$(dirname "$out")"
        -o "$(basename "$out")" "http://127.0.0.1:${scheme#http:}$path") ;;
  esac
}

# Reads the files in WARM (the ones the run's server sends) into the page
# cache, then runs CMD under GNU time in $rundir, then the check CHECK (a
# shell function that prints the reason when the run's bytes are wrong);
# records one result row. Without the warming, the first run after the
# check of a large download (whose output fills the cache) may find the
# served file partly evicted and wait for the disk. GNU time gives CPU time and peak memory; its wall time has 10 ms steps,
# too coarse for the shorter workloads, so the wall time in the figures is
# taken around the GNU time call with the shell's microsecond clock (GNU
# time's own figure is kept as the row's last column).
measure() {
  local key=$1 label=$2 tool=$3 run=$4 check=$5
  local tf=$work/time.txt errf=$work/stderr.txt status reason figures t0 t1 wall
  local -a f
  local file
  for file in "${WARM[@]}"; do cat "$file" >/dev/null; done
  rm -f "$tf"
  t0=$EPOCHREALTIME
  if (cd "$rundir" && HOME="$home" /usr/bin/time -f '%e %U %S %M' -o "$tf" "${CMD[@]}" \
    >/dev/null 2>"$errf"); then
    status=0
  else
    status=$?
  fi
  t1=$EPOCHREALTIME
  if [ "$status" -ne 0 ]; then
    reason="exit status $status: $(head -c 300 "$errf" | tr '\n\t' '  ')"
  else
    reason=$($check) || true
  fi
  if [ -z "$reason" ]; then
    figures=$(tail -n 1 "$tf")
    read -r -a f <<<"$figures"
    wall=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.4f", b - a }')
    printf '%s\t%s\t%s\t%s\tok\t%s\t%s\t%s\t%s\t%s\n' "$key" "$label" "$tool" "$run" \
      "$wall" "${f[1]}" "${f[2]}" "${f[3]}" "${f[0]}" >>"$results"
    printf '  %-22s run %d/%d  %-8s %8ss wall %6ss CPU %7d KiB\n' "$label" "$run" "$RUNS" \
      "$tool" "$wall" "$(awk -v u="${f[1]}" -v s="${f[2]}" 'BEGIN { printf "%.2f", u + s }')" "${f[3]}"
  else
    printf '%s\t%s\t%s\t%s\t%s\t0\t0\t0\t0\t0\n' "$key" "$label" "$tool" "$run" \
      "${reason//$'\t'/ }" >>"$results"
    printf '  %-22s run %d/%d  %-8s FAILED: %s\n' "$label" "$run" "$RUNS" "$tool" "$reason"
    failures=$((failures + 1))
  fi
  rm -rf "$rundir"
}

fresh_rundir() { rm -rf "$rundir" && mkdir -p "$rundir"; }

# One untimed download of the large file by each tool over SCHEME before
# the timed ones: the first runs after the data was made are slower for
# every tool (the file system and the memory the output takes settle
# first), and would fall on whichever tool comes first.
warm_up() {
  local tool
  for tool in "${big_tools[@]}"; do
    fresh_rundir
    client "$tool" "$1" /big.bin "$rundir/out"
    (cd "$rundir" && HOME="$home" "${CMD[@]}" >/dev/null 2>&1) || true
  done
  rm -rf "$rundir"
}

check_big() { cmp -s "$data/big.bin" "$rundir/out" || echo "downloaded bytes differ"; }
check_page_big() {
  cmp -s "$data/benchpage/page-big.html" "$rundir/page.out" || { echo "kept page differs"; return; }
  cmp -s "$work/media-big.expected" "$rundir/media.out" || echo "media address not cut out"
}
check_page_small() {
  cmp -s "$data/benchpage/page-small.html" "$rundir/page.out" || { echo "kept page differs"; return; }
  cmp -s "$work/media-small.expected" "$rundir/media.out" || echo "media address not cut out"
}
check_small() {
  local i
  for ((i = 0; i < SMALL_COUNT; i++)); do
    cmp -s "$data/small.bin" "$rundir/$i" || { echo "download $i differs"; return; }
  done
}

tools=(quorvane curl wget)
big_tools=(quorvane ${BASE:+base} curl wget)
big_label=$(size_label "$size_bytes")

wants() { [[ " $WORKLOADS " == *" $1 "* ]]; }

wants plain && echo "== plain HTTP, $big_label into a file" && warm_up http
wants plain && for ((run = 1; run <= RUNS; run++)); do
  for tool in "${big_tools[@]}"; do
    fresh_rundir
    client "$tool" http /big.bin "$rundir/out"
    measure plain "plain $big_label" "$tool" "$run" check_big
  done
done

wants tls && echo "== TLS, $big_label into a file" && warm_up https
wants tls && for ((run = 1; run <= RUNS; run++)); do
  for tool in "${big_tools[@]}"; do
    fresh_rundir
    client "$tool" https /big.bin "$rundir/out"
    measure tls "TLS $big_label" "$tool" "$run" check_big
  done
done

page_big_label="page $(size_label "$page_big_bytes")"
page_small_label="page $(size_label "$page_small_bytes")"
wants page && echo "== @buffering: of a page and cutting its media address out (quorvane)"
wants page && for ((run = 1; run <= RUNS; run++)); do
  fresh_rundir
  CMD=("$BIN" /S "http://127.0.0.1:$port/benchpage/page-big.html")
  WARM=("$data/benchpage/page-big.html")
  measure page-big "$page_big_label" quorvane "$run" check_page_big
  fresh_rundir
  CMD=("$BIN" /S "http://127.0.0.1:$port/benchpage/page-small.html")
  WARM=("$data/benchpage/page-small.html")
  measure page-small "$page_small_label" quorvane "$run" check_page_small
done

small_label="${SMALL_COUNT} x $(size_label "$small_bytes")"
wants small && echo "== $small_label, one process each (the whole loop is timed)"
wants small && for ((run = 1; run <= RUNS; run++)); do
  for tool in "${tools[@]}"; do
    fresh_rundir
    client "$tool" http /small.bin @OUT@
    CMD=(bash "$here/loop.sh" "$SMALL_COUNT" "$rundir" "${CMD[@]}")
    measure small "$small_label" "$tool" "$run" check_small
  done
done

check_none() { :; }
check_sum() {
  local want=$((SUM_LINES * 1000))
  [ "$(stat -c %s "$rundir/sum.out" 2>/dev/null || echo 0)" = "$want" ] || echo "sum.out is not $want bytes"
}
wants growth && echo "== growing one text line by line (quorvane)"
WARM=()
wants growth && for ((run = 1; run <= RUNS; run++)); do
  fresh_rundir
  CMD=("$BIN" /S growth-header)
  measure growth-header "$HEADER_LINES @->header= lines" quorvane "$run" check_none
  fresh_rundir
  CMD=("$BIN" /S growth-sum)
  measure growth-sum "$SUM_LINES @sum= lines" quorvane "$run" check_sum
done

# The split workload: its scheme names the server ("http:CAP_PORT").
check_split() { cmp -s "$data/split.bin" "$rundir/out" || echo "downloaded bytes differ"; }
split_tools=(split1 split4 split16)
command -v aria2c >/dev/null 2>&1 && split_tools+=(aria2-4 aria2-16)
split_label="split $(size_label "$split_bytes") at $SPLIT_RATE/s a connection"
wants split && echo "== $split_label (${split_tools[*]})"
wants split && for ((run = 1; run <= RUNS; run++)); do
  for tool in "${split_tools[@]}"; do
    fresh_rundir
    client "$tool" "http:$CAP_PORT" /split.bin "$rundir/out"
    measure split-capped "$split_label" "$tool" "$run" check_split
  done
done
wants split && echo "== split $big_label without a cap (split1 split4)"
wants split && for ((run = 1; run <= RUNS; run++)); do
  for tool in split1 split4; do
    fresh_rundir
    client "$tool" "http:$port" /big.bin "$rundir/out"
    measure split-full "split $big_label, no cap" "$tool" "$run" check_big
  done
done

if [ -n "$RESULTS" ]; then cp "$results" "$RESULTS"; fi

echo
echo "== Machine: $(nproc) cores, $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1), kernel $(uname -r)"
echo "== quorvane: $BIN"
if [ -n "$BASE" ]; then echo "== base: $BASE"; fi
echo "== $(curl --version | head -n 1 | cut -d' ' -f1-2), $(wget --version | head -n 1 | cut -d' ' -f1-3)," \
  "$("$NGINX" -v 2>&1 | sed 's/^nginx version: //'), $(openssl version | cut -d' ' -f1-2)" \
  "$(command -v aria2c >/dev/null 2>&1 && aria2c --version | head -n 1 | sed 's/^/, /')"
echo "== Medians of $RUNS runs; CPU is user + system time; the loop's memory is the largest of the shell and the clients."
echo
python3 "$here/summarize.py" "$results" "$page_big_bytes" || failures=$((failures + 1))
[ "$failures" -eq 0 ]
