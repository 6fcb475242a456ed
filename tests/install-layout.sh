#!/bin/sh
# Install into a staging directory, with DESTDIR and a prefix, and check
# what lands where, with what modes: for this build, and for a FreeBSD and
# a DragonFly configuration (CMake told the system's name), whose manual
# directories differ (hier(7): share/man on FreeBSD, man on DragonFly).
#
#   install-layout.sh CMAKE SOURCE_DIR BUILD_DIR SCRATCH_DIR
set -eu
cmake=$1 source=$2 build=$3 scratch=$4
rm -rf "$scratch"
mkdir -p "$scratch"

# check BUILD MANDIR: install BUILD under /opt/bl and compare.
check() {
	stage=$scratch/stage
	rm -rf "$stage"
	DESTDIR="$stage" "$cmake" --install "$1" --prefix /opt/bl >/dev/null
	found=$(cd "$stage" && find . -type f | sort)
	expected=$(printf '%s\n' ./opt/bl/sbin/bistack-lease "./opt/bl/$2/man8/bistack-lease.8" \
		./opt/bl/share/examples/bistack-lease/dhclient-enter-hooks | sort)
	[ "$found" = "$expected" ] || { printf 'installed:\n%s\nexpected:\n%s\n' "$found" "$expected"; exit 1; }
	mode() { stat -c %a "$stage/opt/bl/$1"; }
	[ "$(mode sbin/bistack-lease)" = 555 ] || { echo "program mode $(mode sbin/bistack-lease)"; exit 1; }
	[ "$(mode "$2/man8/bistack-lease.8")" = 444 ] || { echo "manual mode wrong"; exit 1; }
	[ "$(mode share/examples/bistack-lease/dhclient-enter-hooks)" = 444 ] || { echo "example mode wrong"; exit 1; }
	cmp "$stage/opt/bl/sbin/bistack-lease" "$1/bistack-lease"
	echo "installed: $(echo $found)"
}

check "$build" "$(sed -n 's/^BISTACK_MANDIR:STRING=//p' "$build/CMakeCache.txt")"
for system in FreeBSD:share/man DragonFly:man; do
	name=${system%%:*}
	"$cmake" -S "$source" -B "$scratch/$name" -DCMAKE_SYSTEM_NAME="$name" \
		-DBISTACK_TESTS=OFF >/dev/null
	"$cmake" --build "$scratch/$name" >/dev/null
	check "$scratch/$name" "${system#*:}"
done
rm -rf "$scratch"
