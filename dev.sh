#!/usr/bin/env bash
# Developer entry point: installs what is missing (Debian packages), builds,
# and runs.
#   ./dev.sh run     build and run the repdb demo on an embedded database
#   ./dev.sh test    build and run the whole test suite (DIVU_CTEST_FILTER / DIVU_CTEST_EXCLUDE:
#                    only the tests whose names match / do not match, as ctest -R / -E)
#   ./dev.sh asan    the same suite under AddressSanitizer + UndefinedBehaviorSanitizer
#   ./dev.sh tsan    the threading tests under ThreadSanitizer
#   ./dev.sh crash [N]  kill repdb's write commands N times each (default 200, or $DIVU_CRASH_KILLS)
#                    at random moments and check each database left behind
#   ./dev.sh bench   the benchmark against raw SQLite and the peer libraries, as a ratio table
#   ./dev.sh postgres test|asan|tsan|coverage   the same with a throwaway PostgreSQL server: both backends
#   ./dev.sh pooler test   the PostgreSQL cases through pgbouncer in transaction mode (pooler=transaction;
#                    the differential with 4000 texts; DIVU_CTEST_FILTER= DIVU_FRAGMENT_TEXTS=20000 for
#                    the whole suite); tests that need a session of their own reach the server directly
#   ./dev.sh ha [KILLS]  a replicated PostgreSQL cluster (etcd + 3 Patroni nodes, tools/ha/cluster.sh);
#                    writers through the library while its leader is killed KILLS times (5), then
#                    every reported outcome checked against what the new primary holds
#   ./dev.sh coverage line and branch coverage of the engine, the facades and ZrLib (gcovr)
#   ./dev.sh package  install into a temporary prefix, build examples/consumer against it, build the .deb
#   ./dev.sh fuzz [RUNS]   the libFuzzer targets in fuzz/ (clang), RUNS inputs each (200000)
set -euo pipefail
cd "$(dirname "$0")"

packages=(cmake make g++ pkg-config libsqlite3-dev libboost-dev googletest libgtest-dev libgmock-dev libbenchmark-dev
          libcli11-dev nlohmann-json3-dev libpq-dev postgresql dpkg-dev file)

# Package installs need root.
sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo

install_missing() {
  local missing=()
  for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
  done
  if ((${#missing[@]})); then
    echo "installing: ${missing[*]}"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
  fi
}

# A throwaway PostgreSQL cluster for the tests: a temporary folder, a unix
# socket in it, run by an unprivileged user, removed on exit. Exports
# DIVU_TEST_POSTGRES_URL.
start_postgres() {
  local bin
  bin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
  [ -x "$bin/initdb" ] || { echo "no PostgreSQL server binaries under /usr/lib/postgresql" >&2; exit 1; }
  pg_dir=$(mktemp -d /tmp/divu-pg.XXXXXX)
  pg_as=()
  if [ "$(id -u)" -eq 0 ]; then  # the server refuses to run as root
    local user=postgres
    if ! id -u "$user" >/dev/null 2>&1; then
      user=divu-pg
      id -u "$user" >/dev/null 2>&1 || useradd --system --no-create-home --shell /usr/sbin/nologin "$user"
    fi
    chown "$user" "$pg_dir"
    pg_as=(runuser -u "$user" --)
  fi
  pg_bin=$bin
  trap stop_postgres EXIT
  "${pg_as[@]}" "$bin/initdb" -D "$pg_dir/data" -U divu --auth=trust -E UTF8 --locale=C --no-sync >"$pg_dir/initdb.log"
  # fsync off: a throwaway cluster; deadlock_timeout short: the deadlock test waits for it.
  "${pg_as[@]}" "$bin/pg_ctl" -D "$pg_dir/data" -l "$pg_dir/server.log" -w \
    -o "-k $pg_dir -c listen_addresses='' -c fsync=off -c deadlock_timeout=200ms" start >/dev/null
  "$bin/createdb" -h "$pg_dir" -U divu divu_test
  export DIVU_TEST_POSTGRES_URL="postgresql:///divu_test?host=$pg_dir&user=divu"
  echo "PostgreSQL $("$bin/postgres" --version | awk '{print $3}') at $DIVU_TEST_POSTGRES_URL"
}

stop_postgres() {
  [ -z "${bouncer_dir:-}" ] || tools/pgbouncer.sh stop "$bouncer_dir"
  "${pg_as[@]}" "$pg_bin/pg_ctl" -D "$pg_dir/data" -m fast stop >/dev/null 2>&1 || true
  rm -rf "$pg_dir"
}

# pgbouncer in transaction mode in front of the cluster start_postgres made
# (stopped with it): DIVU_TEST_POSTGRES_URL then reaches the server through
# it, DIVU_TEST_POSTGRES_DIRECT_URL directly.
start_pgbouncer() {
  bouncer_dir=$pg_dir/pgbouncer
  local port
  port=$(tools/pgbouncer.sh start "$bouncer_dir" "$pg_dir" "$pg_dir" divu 20)
  export DIVU_TEST_POSTGRES_DIRECT_URL=$DIVU_TEST_POSTGRES_URL
  export DIVU_TEST_POSTGRES_URL="postgresql://divu@127.0.0.1:$port/divu_test?pooler=transaction"
  echo "pgbouncer $(pgbouncer --version | awk 'NR == 1 {print $2}') at $DIVU_TEST_POSTGRES_URL"
}

# Runs `./dev.sh $1` against the server start_postgres made, then counts the
# PostgreSQL cases by name, so that a run where they all skipped shows.
run_postgres_cases() {
  local log="$pg_dir/ctest.log" ran total
  "./$(basename "$0")" "$1" | tee "$log"
  ran=$(grep -cE 'Postgres.* Passed' "$log" || true)
  total=$(grep -cE 'Test +#[0-9]+: .*Postgres' "$log" || true)
  echo "PostgreSQL cases: $ran of $total ran and passed"
  [ "$ran" -gt 0 ] && [ "$ran" -eq "$total" ]
}

build() {
  cmake --preset "$1" >/dev/null
  cmake --build --preset "$1" -j"$(nproc)"
}

# ctest on preset $1, whose build folder is $2, with the rest as arguments;
# then the count lines of the generative differential test, which ctest keeps
# to its log when the test passes.
ctest_with_counts() {
  local preset=$1 dir=$2 code=0
  shift 2
  ctest --preset "$preset" "$@" || code=$?
  grep -h '^fragment-differential ' "$dir/Testing/Temporary/LastTest.log" 2>/dev/null || true
  return $code
}

# Builds the fuzz targets with clang and libFuzzer, then runs each for $1
# inputs, starting from its seed corpus in fuzz/corpus/<target>/. New
# inputs go to build-fuzz/corpus/<target>/ and a crashing one to
# build-fuzz/artifacts/; the repository's corpus is only read. Fails when any
# target fails, after running them all.
fuzz() {
  local runs=$1 failed=() target start seconds log
  cmake -S fuzz -B build-fuzz -DCMAKE_CXX_COMPILER=clang++-14 -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build build-fuzz -j"$(nproc)"
  mkdir -p build-fuzz/artifacts
  for target in mount_path record_copy sql_literals repdb_cells fragments; do
    mkdir -p "build-fuzz/corpus/$target"
    log=build-fuzz/fuzz_$target.log
    # Each input of the differential target is eight facade calls on a file:
    # a twentieth of the runs takes about as long as the others.
    local target_runs=$runs
    [ "$target" = fragments ] && target_runs=$(( runs / 20 > 0 ? runs / 20 : 1 ))
    local dict=()
    [ -f "fuzz/$target.dict" ] && dict=(-dict="fuzz/$target.dict")
    start=$EPOCHREALTIME
    if ! "build-fuzz/fuzz_$target" -runs="$target_runs" -timeout=30 -print_final_stats=1 "${dict[@]}" \
        -artifact_prefix="build-fuzz/artifacts/$target-" "build-fuzz/corpus/$target" "fuzz/corpus/$target" >"$log" 2>&1; then
      failed+=("$target")
      tail -n 40 "$log"
    fi
    seconds=$(awk "BEGIN { print $EPOCHREALTIME - $start }")
    local executed
    executed=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    # libFuzzer's own rate divides by whole seconds; this one by the wall time.
    printf '%-13s %10s runs  %8.0f exec/s  %7.1f s  %s\n' "$target" "$executed" \
      "$(awk "BEGIN { print ${executed:-0} / ($seconds > 0 ? $seconds : 1) }")" "$seconds" \
      "$( ((${#failed[@]})) && [ "${failed[-1]}" = "$target" ] && echo FAILED || echo ok)"
  done
  if ((${#failed[@]})); then
    echo "fuzz targets failed: ${failed[*]} (inputs in build-fuzz/artifacts/)" >&2
    return 1
  fi
}

case "${1:-}" in
  run)
    install_missing
    build default
    # The demo clears and rebuilds its own database on every run.
    ./build/tools/repdb/repdb --db "${2:-build/repdb-demo.sqlite}" demo
    ;;
  test)
    install_missing
    build default
    ctest_with_counts default build -j"$(nproc)" ${DIVU_CTEST_FILTER:+-R "$DIVU_CTEST_FILTER"} \
      ${DIVU_CTEST_EXCLUDE:+-E "$DIVU_CTEST_EXCLUDE"}
    ;;
  asan)
    install_missing
    build asan
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 ctest_with_counts asan build-asan -j"$(nproc)"
    ;;
  tsan)
    install_missing
    build tsan
    TSAN_OPTIONS=halt_on_error=1 ctest --preset tsan -j"$(nproc)"
    ;;
  crash)
    packages+=(python3)
    install_missing
    cmake --preset default >/dev/null
    cmake --build --preset default -j"$(nproc)" --target repdb
    python3 tests/crash/crash_test.py --repdb build/tools/repdb/repdb ${2:+--kills "$2"}
    ;;
  bench)
    # The peers are optional to the build, not here; valgrind counts instructions, matplotlib draws the chart.
    packages+=(libsqlitecpp-dev libsoci-dev python3 valgrind python3-matplotlib)
    install_missing
    cmake --preset default -DDIVU_BUILD_BENCHMARKS=ON >/dev/null
    cmake --build --preset default -j"$(nproc)" --target divu_bench divu_limits_bench divu_delay_proxy
    start_postgres
    # The system interpreter: python3-matplotlib is installed for it.
    DIVU_BENCH_POSTGRES_URL=$DIVU_TEST_POSTGRES_URL /usr/bin/python3 bench/run.py build/bench/divu_bench
    ;;
  coverage)
    packages+=(gcovr)
    install_missing
    find build-coverage -name '*.gcda' -delete 2>/dev/null || true
    build coverage
    ctest --preset coverage -j"$(nproc)"
    # Throw branches are the compiler's exception paths of every call, not
    # decisions in our code.
    gcovr --root . --object-directory build-coverage --filter 'Db/' --filter 'DivUdurezevudoZE/' --filter 'ZrLib/' \
      --exclude-throw-branches --exclude-unreachable-branches --print-summary \
      --txt build-coverage/coverage.txt --html-details build-coverage/coverage.html
    ;;
  package)
    install_missing
    build default
    work=$(mktemp -d /tmp/divu-package.XXXXXX)
    trap 'rm -rf "$work"; $sudo dpkg -r divudurezevudoze >/dev/null 2>&1 || true' EXIT
    cmake --install build --prefix "$work/prefix" >/dev/null
    cmake/check-exports.sh "$work/prefix"
    # The consumer as another project builds it: through the CMake package...
    cmake -S examples/consumer -B "$work/cmake" -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
    cmake --build "$work/cmake" >/dev/null
    # No LD_LIBRARY_PATH: the run paths alone must find every library.
    env -u LD_LIBRARY_PATH "$work/cmake/consumer" "sqlite:$work/cmake.sqlite"
    # ...and through README's pkg-config line: its one run path, the prefix's lib folder.
    libdir=$(cd "$(dirname "$(find "$work/prefix" -name DivUdurezevudoZE.pc)")/.." && pwd)
    PKG_CONFIG_PATH="$libdir/pkgconfig" pkg-config --exists --print-errors DivUdurezevudoZE
    g++ -std=c++20 -Wall -Wextra -Werror -o "$work/pkgconfig-consumer" examples/consumer/main.cpp \
      $(PKG_CONFIG_PATH="$libdir/pkgconfig" pkg-config --cflags --libs DivUdurezevudoZE) -Wl,-rpath,"$libdir"
    env -u LD_LIBRARY_PATH "$work/pkgconfig-consumer" "sqlite:$work/pkgconfig.sqlite" | tail -n 1
    # The Debian package: installed, repdb from the system path, the consumer
    # against /usr, removed again.
    (cd build && rm -f ./*.deb && cpack -G DEB >/dev/null)
    $sudo dpkg -i build/divudurezevudoze_*.deb >/dev/null
    (cd "$work" && [ "$(command -v repdb)" = /usr/bin/repdb ] && repdb --help | head -n 1)
    cmake -S examples/consumer -B "$work/system" >/dev/null
    cmake --build "$work/system" >/dev/null
    env -u LD_LIBRARY_PATH "$work/system/consumer" "sqlite:$work/system.sqlite" | tail -n 1
    echo "package: $(basename build/divudurezevudoze_*.deb) installs, repdb runs from $(command -v repdb), consumer built 3 ways"
    ;;
  fuzz)
    packages+=(clang-14 libclang-rt-14-dev)  # the fuzz build only: the main build uses g++
    install_missing
    fuzz "${2:-200000}"
    ;;
  ha)
    packages+=(patroni etcd-server etcd-client curl python3)
    install_missing
    cmake --preset default >/dev/null
    cmake --build --preset default -j"$(nproc)" --target divu_failover divu_pool_tests
    ha_dir=$(mktemp -u /tmp/divu-ha.XXXXXX)
    trap 'tools/ha/cluster.sh stop "$ha_dir" >/dev/null 2>&1 || true' EXIT
    tools/ha/cluster.sh start "$ha_dir" >/dev/null
    # shellcheck disable=SC1091
    source "$ha_dir/env"
    tools/ha/cluster.sh status "$ha_dir"
    # Reads routed to one standby, writes to the primary.
    leader=$(tools/ha/cluster.sh leader "$ha_dir")
    for node in $DIVU_HA_NODES; do [ "$node" = "$leader" ] || standby=$node; done
    port_var=DIVU_HA_PORT_$standby
    DIVU_TEST_HA_URL=$DIVU_HA_URL DIVU_TEST_HA_STANDBY_URL="postgresql://divu@127.0.0.1:${!port_var}/divu" \
      build/tests/divu_pool_tests --gtest_filter='ReadHosts.*'
    build/tests/divu_failover --url "$DIVU_HA_URL" --cluster "$ha_dir" --kills "${2:-5}"
    ;;
  postgres)
    install_missing
    start_postgres
    run_postgres_cases "${2:-test}"
    ;;
  pooler)
    packages+=(pgbouncer python3)
    install_missing
    start_postgres
    start_pgbouncer
    # Only the cases that reach the server: the SQLite ones ran in `test`. The
    # differential's statement path through the pooler with a fifth of its
    # texts (all 20000 run directly in `postgres test`).
    export DIVU_CTEST_FILTER=${DIVU_CTEST_FILTER-Postgres} DIVU_FRAGMENT_TEXTS=${DIVU_FRAGMENT_TEXTS:-4000}
    run_postgres_cases "${2:-test}"
    ;;
  *)
    awk 'NR > 1 && !/^#/ { exit } NR > 1 { sub(/^# ?/, ""); print }' "$0"
    exit 2
    ;;
esac
