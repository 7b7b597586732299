#!/usr/bin/env bash
# Installs the build into a fresh prefix and runs the installed vessel-gateway and vessel from
# there, with the installed configuration and a clean environment (no LD_LIBRARY_PATH): the
# installed calc, hello (Go) and tomcatdemo (Java) must answer, and both must stop on TERM with
# every worker. A kind the build left out is skipped with a line saying so.
#
#   installed-demo.sh <cmake> <build directory>
set -euo pipefail
cmake=$1
build=$(realpath "$2")
tmp=$(mktemp -d /tmp/vessel-inst.XXXXXX)
prefix=$tmp/prefix
conf=$prefix/etc/vessel
app=inst$$
gw_pid=
vessel_pid=

say() { printf 'installed-demo: %s\n' "$*"; }

fail() {
  say "FAIL: $*"
  for f in "$tmp"/*.log "$tmp"/vessel.out "$tmp"/logs/*; do
    [ -f "$f" ] && { echo "---- $f"; tail -n 40 "$f"; }
  done
  exit 1
}

# Sends TERM to $1 and waits up to $2 s for its process group (a master's workers too) to end;
# kills what is left and fails when that takes longer.
stop_group() {
  local pid=$1 deadline=$((SECONDS + $2))
  kill -TERM "$pid" 2>/dev/null || true
  while pgrep -g "$pid" >/dev/null; do
    if [ $SECONDS -ge $deadline ]; then
      kill -KILL -- "-$pid" 2>/dev/null || true
      return 1
    fi
    sleep 0.1
  done
}

cleanup() {
  [ -z "$vessel_pid" ] || stop_group "$vessel_pid" 30 || true
  [ -z "$gw_pid" ] || stop_group "$gw_pid" 10 || true
  rm -f "/tmp/udsgateway-$app" "/tmp/uds-vessel-inner-$app"
  rm -rf "$tmp"
}
trap cleanup EXIT

"$cmake" --install "$build" --prefix "$prefix" >"$tmp/install.log" 2>&1 || fail "cmake --install failed"
# Served answers alone would not tell: the build tree is still there to be found.
if grep -rn -- "$build" "$conf"; then fail "the installed configuration names the build tree"; fi
runpath=$(readelf -d "$prefix/bin/vessel" | sed -n 's/.*(RUNPATH).*\[\(.*\)\]/\1/p')
[[ -n $runpath && $runpath != *"$build"* ]] || fail "installed vessel's RUNPATH is '$runpath'"
# An empty entry would have the loader search the working directory.
runpath=$(readelf -d "$build/vessel" | sed -n 's/.*(RUNPATH).*\[\(.*\)\]/\1/p')
[[ -n $runpath && ":$runpath:" != *::* ]] || fail "the build tree's vessel has the RUNPATH '$runpath'"

kinds=(C)
if [ -f "$build/peers/goloader/libgoloader.so" ]; then kinds+=(Go); else say "Go: not built, skipped"; fi
if [ -f "$build/peers/tomcat-receiver/lib/tomcatuds-receiver.jar" ] && [ -d "$build/examples/tomcat-app/tomcatdemo" ]; then
  kinds+=(Java)
else
  say "Java: not built, skipped"
fi

mkdir -p "$tmp/logs"
clean_env=(env -i PATH=/usr/bin:/bin HOME="$tmp" APP_NAME="$app")
"${clean_env[@]}" setsid "$prefix/bin/vessel-gateway" --listen 127.0.0.1:0 --config "$conf/gateway.json" \
  2>"$tmp/gateway.log" &
gw_pid=$!
port=
for _ in $(seq 100); do
  port=$(sed -n 's|.*listening on http://127\.0\.0\.1:\([0-9]*\) .*|\1|p' "$tmp/gateway.log")
  if [ -n "$port" ] || ! kill -0 "$gw_pid" 2>/dev/null; then break; fi
  sleep 0.1
done
[ -n "$port" ] || fail "vessel-gateway did not start"
(cd "$tmp" && exec "${clean_env[@]}" VESSEL_HOME="$conf" _APP_LOG_DIR="$tmp/logs" \
  setsid "$prefix/bin/vessel" >"$tmp/vessel.out" 2>&1) &
vessel_pid=$!

# Asks for $1 until it answers 200 or $2 s have passed; the body must match the pattern $3. The
# first request of a module starts its worker.
expect_answer() {
  local deadline=$((SECONDS + $2)) code body
  while :; do
    rm -f "$tmp/body"
    code=$(curl -s -m $((deadline - SECONDS + 1)) -o "$tmp/body" -w '%{http_code}' "http://127.0.0.1:$port$1") ||
      code=000
    body=$(cat "$tmp/body" 2>/dev/null || true)
    if [ "$code" = 200 ]; then
      [[ $body =~ $3 ]] || fail "$1 answered '$body'"
      say "$1 -> $body"
      return
    fi
    [ $SECONDS -lt $deadline ] || fail "$1: no answer 200 within $2 s (last: HTTP $code '$body')"
    kill -0 "$vessel_pid" 2>/dev/null || fail "vessel ended"
    sleep 0.2
  done
}

for kind in "${kinds[@]}"; do
  case $kind in
    C) expect_answer "/calc/add?x=40&y=2" 20 '^42$' ;;
    Go) expect_answer "/hello/greet?name=Ann" 20 '^Hello, Ann! \(hello 1\.0\)$' ;;
    Java)
      expect_answer "/tomcatdemo/hello?name=vessel" 90 '^hello vessel from tomcatdemo pid [0-9]+ \(tomcatdemo 1\.0\)$'
      # The worker's VM keeps its counters off /tmp, where a killed worker would leave them.
      for pid in $(pgrep -g "$vessel_pid"); do
        perf="/tmp/hsperfdata_$(id -un)/$pid"
        if [ -e "$perf" ]; then rm -f "$perf"; fail "a Java worker's VM wrote $perf"; fi
      done
      ;;
  esac
done

stop_group "$vessel_pid" 30 || fail "vessel or one of its workers was still running 30 s after TERM"
vessel_pid=
stop_group "$gw_pid" 10 || fail "vessel-gateway was still running 10 s after TERM"
gw_pid=
say "served from the installed tree: ${kinds[*]}"
