#!/bin/sh
# Install into a staging directory, with DESTDIR and a prefix, and check
# what lands where, with what modes.
set -eu
cmake=$1 build=$2 stage=$3
rm -rf "$stage"
DESTDIR="$stage" "$cmake" --install "$build" --prefix /opt/bl >/dev/null
mandir=$(sed -n 's/^BISTACK_MANDIR:STRING=//p' "$build/CMakeCache.txt")

found=$(cd "$stage" && find . -type f | sort)
expected=$(printf '%s\n' ./opt/bl/sbin/bistack-lease "./opt/bl/$mandir/man8/bistack-lease.8" | sort)
[ "$found" = "$expected" ] || { printf 'installed:\n%s\nexpected:\n%s\n' "$found" "$expected"; exit 1; }

mode() { stat -c %a "$stage/opt/bl/$1"; }
[ "$(mode sbin/bistack-lease)" = 555 ] || { echo "program mode $(mode sbin/bistack-lease)"; exit 1; }
[ "$(mode "$mandir/man8/bistack-lease.8")" = 444 ] || { echo "manual mode wrong"; exit 1; }
cmp "$stage/opt/bl/sbin/bistack-lease" "$build/bistack-lease"
echo "installed: $found"
rm -rf "$stage"
