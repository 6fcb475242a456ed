#!/bin/sh
# Get the ISC DHCP client's published FreeBSD script (client/scripts/freebsd
# in its sources) from Debian's source package of the ISC DHCP suite, from
# the archive this machine's isc-dhcp-client comes from.  apt is given a
# configuration of its own for that: the machine's sources, lists and cache
# are not touched.
#
#   fetch-isc-script.sh DEST    exit 0 with the script at DEST, 1 if it
#                               cannot be had (and why, on standard error)
#
# Concurrent calls for one DEST fetch once.
set -eu
dest=$1
fail() { echo "fetch-isc-script: $*" >&2; exit 1; }

mkdir -p "$(dirname "$dest")"
exec 9>"$dest.lock"
flock 9
[ -s "$dest" ] && exit 0

# "500 http://deb.debian.org/debian bookworm/main amd64 Packages"
archive=$(apt-cache policy isc-dhcp-client 2>/dev/null |
	awk '$2 ~ /^[a-z]+:\/\// && $3 ~ /\// { split($3, s, "/"); print $2, s[1], s[2]; exit }')
[ -n "$archive" ] || fail "no archive offers isc-dhcp-client (run apt-get update first)"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
chmod 755 "$work"
mkdir -p "$work/parts" "$work/lists/partial" "$work/cache/archives/partial" "$work/src"
keyring=/usr/share/keyrings/debian-archive-keyring.gpg
if [ -r "$keyring" ]; then
	echo "deb-src [signed-by=$keyring] $archive" >"$work/sources.list"
else
	echo "deb-src $archive" >"$work/sources.list"
fi
private() {
	apt-get -q -o Dir::Etc::SourceList="$work/sources.list" \
		-o Dir::Etc::SourceParts="$work/parts" \
		-o Dir::State::Lists="$work/lists" \
		-o Dir::Cache="$work/cache" \
		-o APT::Sandbox::User=root "$@"
}
private update >"$work/log" 2>&1 || { cat "$work/log" >&2; fail "apt-get update of deb-src $archive failed"; }
(cd "$work/src" && private source --download-only isc-dhcp) >"$work/log" 2>&1 ||
	{ cat "$work/log" >&2; fail "apt-get source isc-dhcp failed"; }
set -- "$work"/src/isc-dhcp_*.orig.tar.*
[ -f "$1" ] || fail "no original sources in isc-dhcp's source package"
tar -xOf "$1" --wildcards '*/client/scripts/freebsd' >"$dest.tmp" 2>/dev/null &&
	[ -s "$dest.tmp" ] || { rm -f "$dest.tmp"; fail "no client/scripts/freebsd in $1"; }
mv "$dest.tmp" "$dest"
