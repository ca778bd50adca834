#!/usr/bin/env bash
# pull_bench.sh - pull of the ~64 MiB multi-layer fixture image from a local
# docker-registry over HTTPS: `ozcmgr pull` side by side with
# `skopeo copy docker://... oci:...`, same image, same run, each
#   cold: into an empty image store (every blob downloaded),
#   warm: again into the store that already holds the image (the image is
#         unchanged: what a node does for a pod with pull policy Always).
#
# Usage: bench/pull_bench.sh [OZCMGR] [RUNS]
#   OZCMGR  the ozcmgr program (default: build/container/manager/tools/ozcmgr)
#   RUNS    pulls per tool and kind, alternating (default 5)
# Prints the median wall and CPU (user + system) seconds of each, MB/s of the
# cold pulls, warm as a share of cold, and the peak resident memory (maximum
# over all runs). The CPU figures hold on a busy machine, where wall times
# also measure the other load (the load average is printed with them).
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

ours() { # cold|warm -> "seconds peakKiB userSeconds systemSeconds"
  [ "$1" = cold ] && rm -rf "$WORK/ours"
  OZC_IMAGE_PATH=$WORK/ours OZC_TLS_CA_CERT_FILE=$OZ_REG_CA \
    /usr/bin/time -f '%e %M %U %S' -o "$WORK/t" "$OZCMGR" pull "$REF" > "$WORK/ours.log" 2>&1 ||
    { cat "$WORK/ours.log" >&2; exit 1; }
  cat "$WORK/t"
}

peer() { # cold|warm
  [ "$1" = cold ] && rm -rf "$WORK/peer"
  /usr/bin/time -f '%e %M %U %S' -o "$WORK/t" skopeo copy -q --src-cert-dir "$WORK/certs" \
    "docker://$REF" "oci:$WORK/peer:latest" > "$WORK/peer.log" 2>&1 ||
    { cat "$WORK/peer.log" >&2; exit 1; }
  cat "$WORK/t"
}

ours cold >/dev/null; peer cold >/dev/null  # warm the registry's page cache
for kind in cold warm; do
  : > "$WORK/ours.$kind"; : > "$WORK/peer.$kind"
done
for _ in $(seq 1 "$RUNS"); do
  ours cold >> "$WORK/ours.cold"
  peer cold >> "$WORK/peer.cold"
done
for _ in $(seq 1 "$RUNS"); do
  ours warm >> "$WORK/ours.warm"
  peer warm >> "$WORK/peer.warm"
done
BYTES=$(du -sb "$WORK/ours/large/blobs" | cut -f1)
LAYERS=$(grep -c '^Layer [0-9]* \(done\|already present\)' "$WORK/ours.log" || true)

python3 - "$WORK" "$BYTES" "$LAYERS" "$RUNS" "$(cut -d' ' -f1-3 /proc/loadavg)" <<'PY'
import statistics, sys
work, size, layers, runs, load = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4], sys.argv[5]
def load_runs(tool, kind):
    rows = [l.split() for l in open(f"{work}/{tool}.{kind}") if l.strip()]
    wall = statistics.median(float(r[0]) for r in rows)
    cpu = statistics.median(float(r[2]) + float(r[3]) for r in rows)
    return wall, cpu, max(int(r[1]) for r in rows)
mb = size / 1e6
print(f"pull of {mb:.1f} MB ({layers} layers), HTTPS, loopback registry, median of {runs} runs,"
      f" load average {load}")
print(f"{'tool':<13}{'cold s':>8}{'MB/s':>7}{'warm s':>8}{'warm/cold':>10}"
      f"{'cold cpu':>9}{'warm cpu':>9}{'cpu w/c':>8}{'peak RSS MiB':>13}")
res = {}
for tool, label in (("ours", "ozcmgr pull"), ("peer", "skopeo copy")):
    (c, cc, cm), (w, wc, wm) = load_runs(tool, "cold"), load_runs(tool, "warm")
    res[tool] = (c, w, max(cm, wm))
    print(f"{label:<13}{c:>8.3f}{mb / c:>7.1f}{w:>8.3f}{100 * w / c:>9.1f}%"
          f"{cc:>9.3f}{wc:>9.3f}{100 * wc / cc:>7.1f}%{max(cm, wm) / 1024:>13.1f}")
(oc, ow, om), (pc, pw, pm) = res["ours"], res["peer"]
print(f"ratio skopeo/ozcmgr: cold {pc / oc:.2f}x   warm {pw / ow:.2f}x   memory {pm / om:.1f}x")
PY
