#!/usr/bin/env bash
# build.sh BUILD_DIR OUT_DIR - builds the image manager's libFuzzer harnesses
# with clang (-fsanitize=fuzzer,address), the library's units compiled in,
# the platform and common libraries taken from BUILD_DIR (a normal build).
#   OUT_DIR/ref_fuzz OUT_DIR/header_fuzz OUT_DIR/challenge_fuzz
# Run: OUT_DIR/ref_fuzz -max_total_time=600 CORPUS_DIR
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
SRC=$(cd "$HERE/../../.." && pwd)
BUILD=$1 OUT=$2
mkdir -p "$OUT"
UNITS=$(ls "$SRC"/container/manager/src/*.cpp)
INC="-I$SRC/container/manager/include -I$SRC/container/manager/src -I$SRC/container/platform/include -I$SRC/container/common/include"
LIBS="-L$BUILD/container/platform -L$BUILD/container/common -lozplatform -lozcommon -lcurl -lcjson -lssl -lcrypto -Wl,-rpath,$BUILD/container/platform:$BUILD/container/common"
for h in ref header challenge; do
  clang++ -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined $INC \
    "$HERE/${h}_fuzz.cpp" $UNITS $LIBS -o "$OUT/${h}_fuzz"
done
