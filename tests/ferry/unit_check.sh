#!/bin/sh
# Installs the build into a temporary prefix and checks the systemd unit of
# the node agent: it is installed, runs the installed program with the
# options of /etc/default/ferryService, starts it again after a failure
# (status 1) but not after a stop (status 0), and systemd accepts it.
#
# Usage: unit_check.sh <build-dir>
set -u
build=$1
tmp=$(mktemp -d /tmp/ozunit.XXXXXX) || exit 1
trap 'rm -rf "$tmp"' EXIT
prefix=$tmp/prefix
fail() { echo "FAIL: $*"; exit 1; }

cmake --install "$build" --prefix "$prefix" >"$tmp/install.log" 2>&1 ||
    { cat "$tmp/install.log"; fail "cmake --install"; }
unit=$prefix/lib/systemd/system/ferryService.service
[ -f "$unit" ] || fail "no unit at $unit"
grep -qx "ExecStart=$prefix/bin/ferryService \$FERRY_ARGS" "$unit" || fail "ExecStart: $(grep ExecStart "$unit")"
grep -qx "EnvironmentFile=/etc/default/ferryService" "$unit" || fail "no EnvironmentFile"
grep -qx "Restart=on-failure" "$unit" || fail "not restarted on failure"
grep -q "^SuccessExitStatus" "$unit" && fail "a failure status counted as success"
[ -x "$prefix/bin/ferryService" ] || fail "the program the unit runs is not installed"
if command -v systemd-analyze >/dev/null 2>&1; then
    systemd-analyze verify "$unit" || fail "systemd-analyze verify"
fi
echo "unit ok"
