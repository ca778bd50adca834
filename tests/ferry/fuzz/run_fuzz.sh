#!/bin/sh
# Builds the pod watch stream parser's libFuzzer harness with clang (the
# parser and the client library's model records instrumented, the rest of
# the node agent from a CMake build directory) and runs it.
#
#   tests/ferry/fuzz/run_fuzz.sh [seconds] [build dir]
#
# Findings land in the work directory (crash-*, leak-*); with FUZZ_MERGE=1
# the inputs that grew coverage are merged into tests/ferry/fuzz/corpus,
# which the watch tests replay on every run.
set -eu
SECONDS_TO_RUN=${1:-600}
SRC=$(cd "$(dirname "$0")/../../.." && pwd)
BUILD=${2:-$SRC/build}
WORK=${FUZZ_WORK:-/tmp/ferry-watch-fuzz}
mkdir -p "$WORK/new"
INC="-I$SRC/container/ferry/include -I$SRC/container/kube/include -I$SRC/container/kube/src \
 -I$SRC/container/platform/include -I$SRC/container/runtime/include -I$SRC/container/manager/include"
clang++ -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined $INC \
  "$SRC/tests/ferry/fuzz/watch_fuzz.cpp" \
  "$SRC/container/ferry/src/ozkClient.cpp" \
  "$SRC/container/kube/src/kubeModel.cpp" "$SRC/container/kube/src/kubeList.cpp" \
  "$SRC/container/kube/src/apiClient.cpp" "$SRC/container/kube/src/CoreV1API.cpp" \
  "$SRC/container/kube/src/CoordinationV1API.cpp" \
  -L"$BUILD/container/ferry" -L"$BUILD/container/platform" -L"$BUILD/container/runtime" \
  -L"$BUILD/container/manager" -lferry -lozplatform \
  -Wl,-rpath,"$BUILD/container/ferry:$BUILD/container/platform:$BUILD/container/runtime:$BUILD/container/manager:$BUILD/container/kube:$BUILD/container/common" \
  -Wl,--unresolved-symbols=ignore-in-shared-libs -lcjson -lcurl -o "$WORK/watch_fuzz"
cd "$WORK"
ASAN_OPTIONS=detect_leaks=1 ./watch_fuzz -max_total_time="$SECONDS_TO_RUN" -max_len=65536 \
  -timeout=10 -rss_limit_mb=2048 new "$SRC/tests/ferry/fuzz/corpus"
if [ "${FUZZ_MERGE:-0}" = 1 ]; then
  ./watch_fuzz -merge=1 "$SRC/tests/ferry/fuzz/corpus" new > /dev/null 2>&1
fi
