#!/usr/bin/env bash
# Pellorwick against nginx, lighttpd and h2o on this machine, in one run.
#
# Every server listens on loopback only, without access logs, with one worker
# process or thread. All of them run side by side, idle while another is
# measured; each run of a figure measures every server in turn, so that the
# load of a shared machine weighs on all of them alike. Each figure is the
# median of BENCH_RUNS runs; the table ends with the ratio Pellorwick / peer.
#
# Environment (all optional):
#   BENCH_SERVERS   servers to measure, default "pellorwick nginx nginx-nosendfile lighttpd h2o"
#   BENCH_FIGURES   figures to measure, default all: small medium large stored deflated listing idle
#                   ... tls (Pellorwick against nginx over TLS: 1 KB, 100 MB, handshakes, idle)
#                   ... auth (Pellorwick's 1 KB figure with --auth and the right credentials)
#   BENCH_RUNS      runs per figure (at least 3 for the table), default 3
#   BENCH_DURATION  seconds of each wrk load, default 8
#   BENCH_KEEP      directory to keep the fixtures in between runs (default: a fresh temporary one)
#   BENCH_BIN       the Pellorwick program to measure instead of build/pellorwick
#   BENCH_BEFORE    another build of Pellorwick, measured beside it as the server "before" (to compare builds)
#   BENCH_PIN       1 (default on two or more cores): every server on the first core, every client on
#                   the second. Unpinned, where the scheduler puts a client beside its server decides a
#                   download's speed more than the server does (on loopback, 2 against 5 GB/s).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/.." && pwd)

SERVERS=${BENCH_SERVERS:-pellorwick nginx nginx-nosendfile lighttpd h2o}
[ -n "${BENCH_BEFORE:-}" ] && SERVERS="$SERVERS before"
FIGURES=${BENCH_FIGURES:-small notmod medium large stored deflated listing idle page range aria stall tls auth archives}
RUNS=${BENCH_RUNS:-3}
DURATION=${BENCH_DURATION:-8}
CORES=$(nproc)
PIN=${BENCH_PIN:-$([ "$CORES" -ge 2 ] && echo 1 || echo 0)}
ON_SERVER_CORE=()
[ "$PIN" = 1 ] && ON_SERVER_CORE=(taskset -c 0)
IDLE_CONNS=1000
IDLE_SECONDS=5
BASE_PORT=20480

"$here/install-deps"

echo "== building the release program"
cmake -S "$top" -B "$top/build" -DCMAKE_BUILD_TYPE=Release -DPW_TESTS=OFF >/dev/null
cmake --build "$top/build" -j "$(nproc)" >/dev/null
mkdir -p "$top/build/bench"
g++ -O2 -o "$top/build/bench/inflate_speed" "$here/inflate_speed.cpp" -lz
PELLORWICK=${BENCH_BIN:-$top/build/pellorwick}

work=$(mktemp -d /tmp/pw-bench.XXXXXX)
chmod 755 "$work"
if [ -n "${BENCH_KEEP:-}" ]; then
  www="$BENCH_KEEP"
else
  www="$work/www"
fi
results="$work/results.tsv"
: >"$results"

# ---- servers -------------------------------------------------------------------

declare -A group_pid    # the process to stop, by server
declare -A server_pid   # the process that serves (nginx's worker), by server

cleanup() {
  for s in "${!group_pid[@]}"; do
    stop_server "$s"
  done
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

port_of() {
  local i=0
  for s in pellorwick nginx nginx-nosendfile lighttpd h2o before; do
    [ "$s" = "$1" ] && { echo $((BASE_PORT + i)); return; }
    i=$((i + 1))
  done
}

port_busy() {
  (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null
}

wait_port() {
  for _ in $(seq 100); do
    port_busy "$1" && return 0
    sleep 0.1
  done
  echo "server on port $1 did not start" >&2
  return 1
}

write_nginx_conf() {  # name port sendfile
  local dir="$work/$1"
  mkdir -p "$dir"
  cat >"$dir/nginx.conf" <<EOF
# Debian's default configuration, with one worker, no access log, loopback only.
worker_processes 1;
worker_rlimit_nofile 8192;
pid $dir/nginx.pid;
error_log $dir/error.log;
daemon off;
master_process on;
user root;
events {
    worker_connections 4096;
}
http {
    sendfile $3;
    tcp_nopush on;
    types_hash_max_size 2048;
    include /etc/nginx/mime.types;
    default_type application/octet-stream;
    access_log off;
    client_body_temp_path $dir/body;
    proxy_temp_path $dir/proxy;
    fastcgi_temp_path $dir/fastcgi;
    uwsgi_temp_path $dir/uwsgi;
    scgi_temp_path $dir/scgi;
    server {
        listen 127.0.0.1:$2;
        root $www;
        location /list/ {
            autoindex on;
        }
    }
}
EOF
  echo "$dir/nginx.conf"
}

write_lighttpd_conf() {  # port
  local dir="$work/lighttpd"
  mkdir -p "$dir"
  cat >"$dir/lighttpd.conf" <<EOF
server.modules = ("mod_dirlisting", "mod_staticfile")
server.document-root = "$www"
server.bind = "127.0.0.1"
server.port = $1
server.errorlog = "$dir/error.log"
server.max-fds = 8192
server.max-connections = 4096
server.max-keep-alive-idle = 60
server.max-keep-alive-requests = 100000
dir-listing.activate = "enable"
include_shell "/usr/share/lighttpd/create-mime.conf.pl"
EOF
  echo "$dir/lighttpd.conf"
}

write_h2o_conf() {  # port
  local dir="$work/h2o"
  mkdir -p "$dir"
  cat >"$dir/h2o.conf" <<EOF
num-threads: 1
max-connections: 4096
user: root
error-log: $dir/error.log
http1-request-timeout: 60
listen:
  host: 127.0.0.1
  port: $1
hosts:
  default:
    paths:
      /:
        file.dir: $www
        file.dirlisting: ON
EOF
  echo "$dir/h2o.conf"
}

start_server() {  # name
  local name=$1 port pid
  port=$(port_of "$name")
  if port_busy "$port"; then
    echo "port $port is taken by another program" >&2
    return 1
  fi
  case $name in
    pellorwick|before)
      "${ON_SERVER_CORE[@]}" "$([ "$name" = before ] && echo "$BENCH_BEFORE" || echo "$PELLORWICK")" --console --root "$www" --port "$port" \
        </dev/null >"$work/$name.log" 2>&1 &
      pid=$!
      ;;
    nginx|nginx-nosendfile)
      "${ON_SERVER_CORE[@]}" nginx -c "$(write_nginx_conf "$name" "$port" "$([ "$name" = nginx ] && echo on || echo off)")" \
        >"$work/$name.log" 2>&1 &
      pid=$!
      ;;
    lighttpd)
      "${ON_SERVER_CORE[@]}" lighttpd -D -f "$(write_lighttpd_conf "$port")" >"$work/lighttpd.log" 2>&1 &
      pid=$!
      ;;
    h2o)
      "${ON_SERVER_CORE[@]}" h2o -c "$(write_h2o_conf "$port")" >"$work/h2o.log" 2>&1 &
      pid=$!
      ;;
  esac
  group_pid[$name]=$pid
  wait_port "$port"
  if [[ $name == nginx* ]]; then
    server_pid[$name]=$(pgrep -P "$pid" | head -1)
  else
    server_pid[$name]=$pid
  fi
}

stop_server() {  # name
  local pid=${group_pid[$1]:-}
  if [ -n "$pid" ]; then
    kill -TERM "$pid" 2>/dev/null || true
    for _ in $(seq 50); do
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  fi
  unset "group_pid[$1]" "server_pid[$1]"
}

# ---- loads -----------------------------------------------------------------------

record() {  # server figure value
  printf '%s\t%s\t%s\n' "$1" "$2" "$3" >>"$results"
  printf '   %-17s %-9s %s\n' "$1" "$2" "$3"
}

# Requests per second of a wrk load, or "ERR" when a reply was not 2xx.
wrk_rate() {  # url connections seconds [header]
  local out
  out=$(wrk -t1 -c"$2" -d"$3"s ${4:+-H "$4"} "$1" 2>&1) || { echo ERR; return; }
  if grep -q -E 'Non-2xx|Socket errors' <<<"$out"; then
    echo "wrk $1: $(grep -E 'Non-2xx|Socket errors' <<<"$out")" >&2
    echo ERR
    return
  fi
  awk '/^Requests\/sec:/ {print $2}' <<<"$out"
}

# MB/s of DOWNLOADS downloads in a row (one takes 20 ms at loopback speed,
# too short to measure alone), or "ERR" when one was not complete.
DOWNLOADS=10
download_rate() {  # url expected-size [curl options]
  local out code size time total=0
  for _ in $(seq "$DOWNLOADS"); do
    out=$(curl -s ${3:-} -o /dev/null --max-time 120 -w '%{http_code} %{size_download} %{time_total}' "$1") || true
    read -r code size time <<<"$out"
    if [ "$code" != 200 ] || [ "$size" != "$2" ]; then
      echo "download of $1: status $code, $size bytes" >&2
      echo ERR
      return
    fi
    total=$(awk -v a="$total" -v b="$time" 'BEGIN {print a + b}')
  done
  awk -v s="$2" -v n="$DOWNLOADS" -v t="$total" 'BEGIN {printf "%.1f", s * n / t / 1e6}'
}

has() { [[ " $FIGURES " == *" $1 "* ]]; }

url_of() {  # server path
  echo "http://127.0.0.1:$(port_of "$1")$2"
}

wrk_figure() {  # figure path connections
  echo "== $1: wrk -t1 -c$3 -d${DURATION}s $2"
  for s in $SERVERS; do
    wrk -t1 -c"$3" -d1s "$(url_of "$s" "$2")" >/dev/null 2>&1 || true   # warm up
  done
  for _ in $(seq "$RUNS"); do
    for s in $SERVERS; do
      record "$s" "$1" "$(wrk_rate "$(url_of "$s" "$2")" "$3" "$DURATION")"
    done
  done
}

# The large file from every server; for Pellorwick also the same file stored
# and deflated in archives, each deflated download beside one pass of zlib's
# own inflate over that member.
downloads() {
  local size
  size=$(stat -c %s "$www/large.txt")
  local -a items=()
  if has large; then
    for s in $SERVERS; do items+=("$s large /large.txt"); done
  fi
  for s in pellorwick before; do
    [[ " $SERVERS " == *" $s "* ]] || continue
    has stored && items+=("$s stored /stored.zip/large.txt")
    has deflated && items+=("$s deflated /deflated.zip/large.txt")
  done
  [ ${#items[@]} -gt 0 ] || return 0
  echo "== downloads of 100 MB with curl"
  local s fig path
  for item in "${items[@]}"; do
    read -r s fig path <<<"$item"
    download_rate "$(url_of "$s" "$path")" "$size" >/dev/null   # warm up (page cache, archive directory)
    if [ "$fig" != large ]; then
      # The members must be the file's own bytes.
      [ "$(curl -s --max-time 120 "$(url_of "$s" "$path")" | md5sum)" = "$(md5sum <"$www/large.txt")" ] ||
        echo "$fig member: the bytes differ from large.txt" >&2
    fi
  done
  for _ in $(seq "$RUNS"); do
    for item in "${items[@]}"; do
      read -r s fig path <<<"$item"
      [ "$fig" = deflated ] && [ "$s" = pellorwick ] &&
        record zlib inflate "$("$top/build/bench/inflate_speed" "$www/deflated.zip" 1)"
      record "$s" "$fig" "$(download_rate "$(url_of "$s" "$path")" "$size")"
    done
  done
}

# Archive members against their references, on Pellorwick alone: a 10 KB
# page deflated in an archive against the same page on disk; a 100-byte range
# at 90% of the 100 MB deflated member (after one whole pass) against the same
# range at 0; eight streams of aria2c against one of curl; a 1 KB request while
# another client asks for the last 10 bytes of a 4,000,000,000-byte member.
members() {
  local s
  for s in pellorwick before; do
    [[ " $SERVERS " == *" $s "* ]] && members_of "$s"
  done
  return 0
}

members_of() {  # server
  local me=$1 base far size
  base=$(url_of "$me" "")
  if has page; then
    echo "== page: wrk -t1 -c50 -d${DURATION}s, on disk and in an archive"
    for _ in $(seq "$RUNS"); do
      record "$me" page-disk "$(wrk_rate "$base/page.html" 50 "$DURATION")"
      record "$me" page-member "$(wrk_rate "$base/page.zip/page.html" 50 "$DURATION")"
    done
  fi
  if has archives; then
    # A folder of 100 files of 1 MB as one ?zip download (after one pass has
    # learnt its CRC-32s), a range at its half, the deflated member and the
    # page to a client that takes gzip.
    echo "== archives: ?zip of 100 x 1 MB, a range at its half (ms), gzip member inflated by curl and kept encoded (MB/s of member bytes), gzip page"
    mkdir -p "$www/folder100"
    [ -e "$www/folder100/part-aa" ] || (cd "$www/folder100" && split -b 1048576 ../large.txt part-)
    size=$(curl -sI "$base/folder100/?zip" | tr -d '\r' | awk -F': ' 'tolower($1) == "content-length" {print $2}')
    curl -s -o /dev/null "$base/folder100/?zip"
    local member encoded
    member=$(stat -c %s "$www/large.txt")
    encoded=$(curl -s -H 'Accept-Encoding: gzip' -o /dev/null -w '%{size_download}' "$base/deflated.zip/large.txt")
    for _ in $(seq "$RUNS"); do
      record "$me" zip-folder "$(download_rate "$base/folder100/?zip" "$size")"
      record "$me" zip-range "$(curl -s -o /dev/null -r "$((size / 2))-$((size / 2 + 99))" -w '%{time_total}' \
                                     "$base/folder100/?zip" | awk '{printf "%.2f", $1 * 1000}')"
      record "$me" gzip-member "$(curl -s --compressed -o /dev/null -w '%{time_total}' "$base/deflated.zip/large.txt" |
                                   awk -v s="$member" '{printf "%.1f", s / $1 / 1e6}')"
      # The same body kept encoded, ten in a row: what the server delivers,
      # without curl's inflate; member bytes per second.
      record "$me" gzip-member-sent "$(download_rate "$base/deflated.zip/large.txt" "$encoded" -H\ Accept-Encoding:gzip |
                                        awk -v s="$member" -v e="$encoded" '$1 == "ERR" {print; next} {printf "%.1f", $1 * s / e}')"
      record "$me" gzip-page "$(wrk_rate "$base/page.zip/page.html" 50 "$DURATION" 'Accept-Encoding: gzip')"
    done
  fi
  if has range; then
    echo "== range: 100 bytes of the deflated member, at 90% and at 0 (ms)"
    size=$(stat -c %s "$www/large.txt")
    far=$((size * 9 / 10))
    curl -s -o /dev/null "$base/deflated.zip/large.txt"   # one whole pass
    for _ in $(seq "$RUNS"); do
      record "$me" range-0 "$(curl -s -o /dev/null -r 0-99 -w '%{time_total}' "$base/deflated.zip/large.txt" |
                                   awk '{printf "%.2f", $1 * 1000}')"
      record "$me" range-90 "$(curl -s -o /dev/null -r "$far-$((far + 99))" -w '%{time_total}' \
                                    "$base/deflated.zip/large.txt" | awk '{printf "%.2f", $1 * 1000}')"
    done
  fi
  if has aria; then
    echo "== aria: aria2c -x8 and one curl stream of the deflated member (MB/s)"
    size=$(stat -c %s "$www/large.txt")
    for _ in $(seq "$RUNS"); do
      record "$me" curl-stream "$(download_rate "$base/deflated.zip/large.txt" "$size")"
      # Each client's own figure: curl's average speed, and aria2c's from its
      # table of results (in MiB/s), both from the first request to the end.
      local out speed
      out=$(aria2c -x8 -s8 -k1M --summary-interval=0 --console-log-level=error --allow-overwrite=true \
              -d "$work" -o aria.out "$base/deflated.zip/large.txt") || true
      speed=$(awk -F'|' '$2 ~ /^OK/ {print $3}' <<<"$out" | tr -d ' ')
      if [ "$(stat -c %s "$work/aria.out" 2>/dev/null)" != "$size" ] || [ -z "$speed" ]; then
        echo "aria2c: incomplete" >&2
        speed=ERR
      fi
      record "$me" aria-x8 "$(awk -v v="$speed" 'BEGIN {
        n = v + 0; u = v; sub(/^[0-9.]+/, "", u)
        if (v == "ERR") print "ERR"
        else printf "%.1f", n * (u == "GiB/s" ? 2^30 : u == "MiB/s" ? 2^20 : u == "KiB/s" ? 2^10 : 1) / 1e6 }')"
      rm -f "$work/aria.out"
    done
  fi
  if has stall; then
    echo "== stall: a 1 KB request while the last 10 bytes of a 4 GB member are asked for (ms)"
    for _ in $(seq "$RUNS"); do
      curl -s -o /dev/null -r 3999999990-3999999999 "$base/zeros.zip/zeros.bin" &
      local far_pid=$!
      sleep 0.3
      record "$me" stall-1k "$(curl -s -o /dev/null -w '%{time_total}' "$base/small.txt" |
                                    awk '{printf "%.2f", $1 * 1000}')"
      wait "$far_pid"
    done
  fi
}

# Resident memory per idle keep-alive connection and CPU while they idle; a
# fresh process for each run, so that blocks freed by earlier loads are not
# reused.
idle_figure() {
  echo "== idle: $IDLE_CONNS keep-alive connections, ${IDLE_SECONDS} s"
  local r
  for _ in $(seq "$RUNS"); do
    for s in $SERVERS; do
      stop_server "$s"
      start_server "$s"
      if r=$(python3 "$here/idle_conns.py" "${server_pid[$s]}" "$(port_of "$s")" /small.txt \
             "$IDLE_CONNS" "$IDLE_SECONDS"); then
        record "$s" idle-kb "${r% *}"
        record "$s" idle-cpu "${r#* }"
      else
        record "$s" idle-kb ERR
        record "$s" idle-cpu ERR
      fi
    done
  done
}

# The 1 KB file from a Pellorwick that asks for a password, every request
# carrying the right credentials: against the "small" figure without.
auth_figure() {
  local port=$((BASE_PORT + 8)) dir="$work/auth"
  mkdir -p "$dir"
  "${ON_SERVER_CORE[@]}" "$PELLORWICK" --console --root "$www" --port "$port" --auth 'bench:pa:ss' \
    </dev/null >"$dir/pellorwick.log" 2>&1 &
  local pw_pid=$!
  wait_port "$port"
  local header="Authorization: Basic $(printf '%s' 'bench:pa:ss' | base64)"
  echo "== auth: wrk -t1 -c50 -d${DURATION}s -H '$header' /small.txt (pellorwick --auth)"
  for _ in $(seq "$RUNS"); do
    record pellorwick small-auth "$(wrk_rate "http://127.0.0.1:$port/small.txt" 50 "$DURATION" "$header")"
  done
  kill "$pw_pid" 2>/dev/null || true
  wait "$pw_pid" 2>/dev/null || true
}

# Over TLS, Pellorwick against nginx with ssl: the same certificate (P-256,
# made here), TLS 1.2 and 1.3 with the same suites, one worker. A 1 KB file
# with keep-alive, the 100 MB file, a new connection (a full handshake) for
# each request, and the memory of idle TLS connections.
TLS_CIPHERS="ECDHE+AESGCM:ECDHE+CHACHA20"
# Requests per second when each closes its connection: wrk connects again for
# the next, and counts the close as a read error, which is expected here.
handshake_rate() {  # url
  local out
  out=$(wrk -t1 -c50 -d"$DURATION"s -H "Connection: close" "$1" 2>&1) || { echo ERR; return; }
  if grep -q -E 'Non-2xx|connect [1-9]|timeout [1-9]' <<<"$out"; then
    echo "wrk $1: $(grep -E 'Non-2xx|Socket errors' <<<"$out")" >&2
    echo ERR
    return
  fi
  awk '/^Requests\/sec:/ {print $2}' <<<"$out"
}
tls_figures() {
  local pw_port=$((BASE_PORT + 6)) ngx_port=$((BASE_PORT + 7)) dir="$work/tls" size
  mkdir -p "$dir"
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout "$dir/key.pem" -out "$dir/cert.pem" \
    -days 2 -subj /CN=localhost -addext subjectAltName=DNS:localhost,IP:127.0.0.1 2>/dev/null
  sed -e "s|listen 127.0.0.1:$ngx_port;|listen 127.0.0.1:$ngx_port ssl;\n        ssl_certificate $dir/cert.pem;\n        ssl_certificate_key $dir/key.pem;\n        ssl_protocols TLSv1.2 TLSv1.3;\n        ssl_ciphers $TLS_CIPHERS;\n        ssl_prefer_server_ciphers on;|" \
    "$(write_nginx_conf nginx-tls "$ngx_port" on)" >"$dir/nginx.conf"
  "${ON_SERVER_CORE[@]}" nginx -c "$dir/nginx.conf" >"$dir/nginx.log" 2>&1 &
  local ngx_group=$!
  "${ON_SERVER_CORE[@]}" "$PELLORWICK" --console --root "$www" --port "$pw_port" --tls-cert "$dir/cert.pem" \
    --tls-key "$dir/key.pem" </dev/null >"$dir/pellorwick.log" 2>&1 &
  local pw_pid=$!
  wait_port "$pw_port"
  wait_port "$ngx_port"
  echo "== tls: $(grep -i 'kernel TLS' "$dir/pellorwick.log")"
  local -A tls_port=([pellorwick]=$pw_port [nginx]=$ngx_port)
  size=$(stat -c %s "$www/large.txt")
  for s in pellorwick nginx; do
    wrk -t1 -c50 -d1s "https://127.0.0.1:${tls_port[$s]}/small.txt" >/dev/null 2>&1 || true   # warm up
  done
  for _ in $(seq "$RUNS"); do
    for s in pellorwick nginx; do
      record "$s" tls-small "$(wrk_rate "https://127.0.0.1:${tls_port[$s]}/small.txt" 50 "$DURATION")"
      record "$s" tls-hs "$(handshake_rate "https://127.0.0.1:${tls_port[$s]}/small.txt")"
      record "$s" tls-large "$(download_rate "https://127.0.0.1:${tls_port[$s]}/large.txt" "$size" -k)"
    done
  done
  local r pid
  for s in pellorwick nginx; do
    pid=$([ "$s" = nginx ] && pgrep -P "$ngx_group" | head -1 || echo "$pw_pid")
    if r=$(python3 "$here/idle_conns.py" "$pid" "${tls_port[$s]}" /small.txt "$IDLE_CONNS" "$IDLE_SECONDS" tls); then
      record "$s" tls-idle-kb "${r% *}"
    else
      record "$s" tls-idle-kb ERR
    fi
  done
  kill -TERM "$pw_pid" "$ngx_group" 2>/dev/null || true
  wait "$pw_pid" "$ngx_group" 2>/dev/null || true
}

# ---- the run -------------------------------------------------------------------------

ulimit -n "$(ulimit -Hn)" 2>/dev/null || true
# The clients, which this shell starts from now on, run on the second core.
[ "$PIN" = 1 ] && taskset -p -c 1 $$ >/dev/null

if [ ! -f "$www/list/file-1999.txt" ] || [ ! -f "$www/zeros.zip" ]; then
  echo "== generating the fixtures in $www"
  python3 "$here/make_fixtures.py" "$www"
fi
chmod -R a+rX "$www"
# The large files' pages, read back as any server reads them: as they were
# written, the page cache holds each file in pieces of its own shape, and a
# download of one went 15% slower than of another with the same bytes.
python3 - "$www" <<'EOF'
import os, sys
for name in ("large.txt", "stored.zip", "deflated.zip"):
    fd = os.open(os.path.join(sys.argv[1], name), os.O_RDONLY)
    os.fsync(fd)
    os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
    while os.read(fd, 1 << 20):
        pass
    os.close(fd)
EOF

for s in $SERVERS; do
  start_server "$s"
done

has idle && idle_figure
has small && wrk_figure small /small.txt 50
if has notmod; then
  # Each server's own entity tag for the 1 KB file: every request is answered 304.
  echo "== notmod: wrk -t1 -c50 -d${DURATION}s -H 'If-None-Match: ETAG' /small.txt"
  declare -A etag_of
  for s in $SERVERS; do
    etag_of[$s]=$(curl -sI "$(url_of "$s" /small.txt)" | tr -d '\r' | awk -F': ' 'tolower($1) == "etag" {print $2}')
    [ "$(curl -s -o /dev/null -w '%{http_code}' -H "If-None-Match: ${etag_of[$s]}" "$(url_of "$s" /small.txt)")" = 304 ] ||
      echo "notmod: $s does not answer 304 to its own entity tag" >&2
  done
  for _ in $(seq "$RUNS"); do
    for s in $SERVERS; do
      record "$s" notmod "$(wrk_rate "$(url_of "$s" /small.txt)" 50 "$DURATION" "If-None-Match: ${etag_of[$s]}")"
    done
  done
fi
has medium && wrk_figure medium /medium.txt 50
has listing && wrk_figure listing /list/ 10
downloads
members
has tls && tls_figures
has auth && auth_figure

echo
echo "Machine: $(lscpu | sed -n 's/^Model name: *//p'), $CORES cores, $(free -g | awk '/^Mem:/ {print $2}') GiB;" \
     "$(. /etc/os-release && echo "$PRETTY_NAME"), kernel $(uname -r)"
echo "Medians of $RUNS runs; wrk loads of ${DURATION} s; servers measured in turn within each run;" \
     "$([ "$PIN" = 1 ] && echo "servers on core 0, clients on core 1" || echo "not pinned to cores")."
echo
python3 "$here/table.py" "$results"
