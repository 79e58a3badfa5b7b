# What scripts/bench and scripts/bench-binary share: their settings, the Release build and
# the helpers of their runs. The script that sources this sets `root` (the checkout) and
# `bench_name` (its own name, for messages).
# Environment: BENCH_SECONDS (length of each run, default 3), BENCH_BUILD_DIR (default
#              build-release), BENCH_THREADS (client threads, default 4).

seconds=${BENCH_SECONDS:-3}
threads=${BENCH_THREADS:-4}
build_dir=${BENCH_BUILD_DIR:-$root/build-release}
server_bin=$build_dir/bin/quillfern
loadgen=$build_dir/bin/quillfern-loadgen

bench_build() {  # <target...>: a Release build of the targets, without the tests
  echo "== building (Release) in $build_dir"
  cmake -S "$root" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUILLFERN_TESTS=OFF -DQUILLFERN_BENCH=ON \
    >/dev/null
  ninja -C "$build_dir" "$@" >/dev/null
}

wait_for_socket() {  # <path>
  for _ in $(seq 500); do [ -S "$1" ] && return 0; sleep 0.01; done
  echo "$bench_name: no socket at $1" >&2; return 1
}

start_redis() {  # <socket> <directory> <log>: a private redis-server on that socket alone; its pid in redis_pid
  redis-server --port 0 --unixsocket "$1" --save '' --appendonly no --daemonize no --dir "$2" >>"$3" 2>&1 &
  redis_pid=$!
  wait_for_socket "$1"
}

field() { sed -n "s/.* $2=\([^ ]*\).*/\1/p" <<<"$1"; }  # <loadgen line> <name>: the value of name=
verdict() { if awk "BEGIN {exit !($1)}"; then echo "met"; else echo "MISSED"; fi; }  # <awk condition>

summary_heading() {
  echo "== summary ($(nproc) cores, $(sed -n 's/^model name[^:]*: //p' /proc/cpuinfo | head -1); client: $threads threads)"
}
