#!/usr/bin/env bash
# pull_bench.sh - pull of the ~64 MiB multi-layer fixture image from a local
# docker-registry over HTTPS: `ozcmgr pull` side by side with
# `skopeo copy docker://... oci:...`, same image, same run.
#
# Usage: bench/pull_bench.sh [OZCMGR] [RUNS]
#   OZCMGR  the ozcmgr program (default: build/container/manager/tools/ozcmgr)
#   RUNS    pulls per tool, alternating (default 5)
# Prints median wall seconds, MB/s, the ratio, and the peak resident memory
# (maximum over the runs) of each tool.
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
SRC=$(cd "$HERE/.." && pwd)
OZCMGR=${1:-$SRC/build/container/manager/tools/ozcmgr}
RUNS=${2:-5}
[ -x "$OZCMGR" ] || { echo "pull_bench: no ozcmgr at $OZCMGR" >&2; exit 2; }

DIR=$(mktemp -d /tmp/ozreg.XXXXXX)
WORK=$(mktemp -d /tmp/ozpullbench.XXXXXX)
trap 'bash "$SRC/tests/manager/regfixture.sh" down "$DIR"; rm -rf "$WORK"' EXIT
bash "$SRC/tests/manager/regfixture.sh" up "$DIR" --large > "$WORK/up.log" 2>&1 ||
  { cat "$WORK/up.log" >&2; exit 1; }
. "$DIR/env"
REF=$OZ_REG_TLS/bench/large:latest
mkdir -p "$WORK/certs"
cp "$OZ_REG_CA" "$WORK/certs/ca.crt"

ours() { # -> "seconds peakKiB"
  rm -rf "$WORK/ours"
  OZC_IMAGE_PATH=$WORK/ours OZC_TLS_CA_CERT_FILE=$OZ_REG_CA \
    /usr/bin/time -f '%e %M' -o "$WORK/t" "$OZCMGR" pull "$REF" > "$WORK/ours.log" 2>&1 ||
    { cat "$WORK/ours.log" >&2; exit 1; }
  cat "$WORK/t"
}

peer() {
  rm -rf "$WORK/peer"
  /usr/bin/time -f '%e %M' -o "$WORK/t" skopeo copy -q --src-cert-dir "$WORK/certs" \
    "docker://$REF" "oci:$WORK/peer:latest" > "$WORK/peer.log" 2>&1 ||
    { cat "$WORK/peer.log" >&2; exit 1; }
  cat "$WORK/t"
}

ours >/dev/null; peer >/dev/null  # warm the registry's page cache
: > "$WORK/ours.txt"; : > "$WORK/peer.txt"
for _ in $(seq 1 "$RUNS"); do
  ours >> "$WORK/ours.txt"
  peer >> "$WORK/peer.txt"
done
BYTES=$(du -sb "$WORK/ours/large/blobs" | cut -f1)
LAYERS=$(grep -c '^Layer [0-9]* done' "$WORK/ours.log" || true)

python3 - "$WORK/ours.txt" "$WORK/peer.txt" "$BYTES" "$LAYERS" "$RUNS" <<'PY'
import statistics, sys
def load(p):
    rows = [l.split() for l in open(p) if l.strip()]
    return [float(r[0]) for r in rows], [int(r[1]) for r in rows]
ot, om = load(sys.argv[1]); pt, pm = load(sys.argv[2])
size, layers, runs = int(sys.argv[3]), sys.argv[4], sys.argv[5]
mo, mp = statistics.median(ot), statistics.median(pt)
mb = size / 1e6
print(f"pull of {mb:.1f} MB ({layers} layers), HTTPS, loopback registry, median of {runs} runs")
print(f"{'tool':<14}{'median s':>10}{'MB/s':>10}{'peak RSS MiB':>14}")
print(f"{'ozcmgr pull':<14}{mo:>10.3f}{mb / mo:>10.1f}{max(om) / 1024:>14.1f}")
print(f"{'skopeo copy':<14}{mp:>10.3f}{mb / mp:>10.1f}{max(pm) / 1024:>14.1f}")
print(f"ratio skopeo/ozcmgr time: {mp / mo:.2f}x   memory: {max(pm) / max(om):.1f}x")
PY
