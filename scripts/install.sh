#!/usr/bin/env bash
# Installs every package and system setting the project needs on Debian 12
# (as root), then configures and builds everything into ./build.
#   scripts/install.sh            install, build
#   OZ_SKIP_APT=1 scripts/install.sh   build only
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build}

PACKAGES=(
  build-essential cmake pkg-config git
  libcjson-dev libcurl4-openssl-dev libssl-dev zlib1g-dev libzstd-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  python3 python3-kubernetes openssl ca-certificates curl tar gzip
  busybox-static skopeo umoci oci-image-tool zstd docker-registry apache2-utils
  iproute2 procps util-linux
  crun runc
  clang-format
)

if [ "${OZ_SKIP_APT:-0}" != 1 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  missing=()
  for p in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  # kubectl checks the API server emulator; Debian's client is used when none is installed.
  command -v kubectl >/dev/null 2>&1 || missing+=(kubernetes-client)
  if [ ${#missing[@]} -gt 0 ]; then
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
  fi
  # The emulator's tests also drive Debian's kubectl (1.20) beside whichever
  # kubectl is installed: the package unpacked into its own directory.
  KUBECTL_DEBIAN=/opt/kubernetes-client
  if [ ! -x "$KUBECTL_DEBIAN/usr/bin/kubectl" ]; then
    deb=$(mktemp -d)
    chown _apt "$deb" 2>/dev/null || true
    (cd "$deb" && apt-get download -qq kubernetes-client)
    dpkg-deb -x "$deb"/kubernetes-client_*.deb "$KUBECTL_DEBIAN"
    rm -rf "$deb"
  fi
fi

# System settings: the runtime daemon's request queue holds 32 messages.
if [ "$(cat /proc/sys/fs/mqueue/msg_max 2>/dev/null || echo 0)" -lt 32 ]; then
  sysctl -q -w fs.mqueue.msg_max=64 || echo "warning: cannot raise fs.mqueue.msg_max (need root)" >&2
fi

cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$BUILD_DIR" -j"$(nproc)"
