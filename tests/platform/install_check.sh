#!/bin/sh
# Installs the build into a temporary prefix and checks that a C program can
# use what was installed: the programs find their libraries, and a C program
# compiles and links against libozcontainer, libozcMgr and libferry through
# their pkg-config files, then runs.
#
# Usage: install_check.sh <build-dir>
# Exit 77 (skipped) when a C compiler or pkg-config is missing.
set -u
build=$1

for tool in cc pkg-config cmake; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "skipped: $tool is not installed"
        exit 77
    fi
done

tmp=$(mktemp -d /tmp/ozinstall.XXXXXX) || exit 1
trap 'rm -rf "$tmp"' EXIT
prefix=$tmp/prefix
fail() { echo "FAIL: $*"; exit 1; }

cmake --install "$build" --prefix "$prefix" >"$tmp/install.log" 2>&1 ||
    { cat "$tmp/install.log"; fail "cmake --install"; }

for prog in ferryService ozcd ozc ozcmgr; do
    [ -x "$prefix/bin/$prog" ] || fail "program $prog not installed"
    if ldd "$prefix/bin/$prog" | grep -q "not found"; then
        ldd "$prefix/bin/$prog"
        fail "$prog does not find its libraries"
    fi
done

pc=$(find "$prefix" -name ozcontainer.pc | head -n 1)
[ -n "$pc" ] || fail "no pkg-config files installed"
PKG_CONFIG_PATH=$(dirname "$pc")
export PKG_CONFIG_PATH
for lib in ozplatform ozcontainer ozcMgr ferry; do
    pkg-config --exists "$lib" || fail "pkg-config does not know $lib"
done
libdir=$(pkg-config --variable=libdir ozcontainer)
# The files point into the prefix they were installed to.
[ "$(cd "$libdir" && pwd -P)" = "$(cd "$(dirname "$pc")/.." && pwd -P)" ] ||
    fail "pkg-config libdir $libdir is not the installed library directory"

# Only the public headers are installed: none of the libraries' internal
# ones, and not the gzip reader's, whose gzFile would clash with zlib's.
incdir=$(pkg-config --variable=includedir ozcontainer)
for h in gzlib.h ozcGzLib.h ozcTarLib.h ozcZstdLib.h ozcRuntimeSpec.h ozcMgrInt.h ozcUtilInternal.h ozcContainerLib.h; do
    [ ! -e "$incdir/$h" ] || fail "internal header $h is installed"
done
# Every installed header compiles alone in a C program.
for h in "$incdir"/*.h; do
    printf '#include <%s>\nint main(void) { return 0; }\n' "$(basename "$h")" >"$tmp/hdr.c"
    # shellcheck disable=SC2046
    cc -std=c11 -Wall -Wextra -Werror -c -o "$tmp/hdr.o" "$tmp/hdr.c" \
        $(pkg-config --cflags ozcontainer ozcMgr ferry ozplatform kubernetes) ||
        fail "installed header $(basename "$h") does not compile alone"
done

cat >"$tmp/prog.c" <<'CEOF'
#include <ozcontainer.h>
#include <ozcMgr.h>
#include <ozkLib.h>

#include <stdio.h>

int main(void)
{
    REGISTRY_CTX *ctx;
    const char *info = NULL;
    BOOL fatal = FALSE;

    if (ozcUtilSignalNo("TERM") != 15 || ozcUtilSignalNo("NOSUCH") != -1)
        return 1;
    ctx = ozcRegistryCtxCreate();
    if (ctx == NULL)
        return 2;
    ozcRegistryCtxDelete(ctx);
    if (ozkHttpRspCodeCheck(200, &info, &fatal) != OK)
        return 3;
    if (ozkHttpRspCodeCheck(401, &info, &fatal) != ERROR || !fatal || info == NULL)
        return 4;
    if (sysClkRateGet() <= 0)
        return 5;
    puts("installed libraries work");
    return 0;
}
CEOF

# shellcheck disable=SC2046
cc -std=c11 -Wall -Wextra -Werror -o "$tmp/prog" "$tmp/prog.c" \
    $(pkg-config --cflags --libs ozcontainer ozcMgr ferry ozplatform) ||
    fail "the C program does not compile or link against the installed libraries"
LD_LIBRARY_PATH=$libdir "$tmp/prog" || fail "the C program failed ($?)"
