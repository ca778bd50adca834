#!/bin/sh
# Generates the emulator's TLS material and a kubeconfig into DIR.
#   tests/kubesim/mkcerts.sh DIR [NODE_NAME]
set -eu
[ $# -ge 1 ] || { echo "usage: $0 DIR [NODE_NAME]" >&2; exit 2; }
here=$(dirname "$0")
py=/usr/bin/python3; [ -x "$py" ] || py=python3
exec "$py" "$here/kubesim.py" mkcerts "$1" --node "${2:-ozk-node}"
