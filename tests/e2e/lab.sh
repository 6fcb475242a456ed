#!/bin/sh
# A private DHCP network for bistack-lease: two network namespaces joined
# by a veth pair, a DHCP server (dnsmasq) in one and the interface em0 to
# serve in the other.  Only documentation address ranges are used, and they
# exist only inside these namespaces.
#
#   lab.sh up DIR [v4only|noserver] [boot]
#                            build it; DIR keeps the server's files.  em0 is
#                            up, its link-local address past duplicate
#                            address detection; with boot, em0 is left down
#                            for the caller to bring up, as at boot.  The
#                            server answers DHCPv4 only with v4only, and
#                            does not run with noserver.
#   lab.sh down DIR          stop the server by its PID, remove it all
#   lab.sh addr 4|6          em0's global addresses of that family
#   lab.sh linklocal         em0's link-local address: none, tentative,
#                            duplicated or usable
#
# Run as root inside a private mount namespace (and PID namespace): the
# client's lease files, /etc/resolv.conf and hook directories are replaced
# there by private copies, so the machine's own files are never touched.
set -eu

srv=bl-srv cli=bl-cli

up() {
	dir=$1 mode=dual boot=no
	shift
	for word in "$@"; do
		case $word in
		v4only | noserver) mode=$word ;;
		boot) boot=yes ;;
		esac
	done
	mkdir -p "$dir"

	# What the ISC client and its script write, kept private.
	mount -t tmpfs lab-leases /var/lib/dhcp
	: >"$dir/resolv.conf"
	mount --bind "$dir/resolv.conf" /etc/resolv.conf
	for hooks in /etc/dhcp/dhclient-enter-hooks.d /etc/dhcp/dhclient-exit-hooks.d; do
		[ -d "$hooks" ] && mount -t tmpfs lab-hooks "$hooks"
	done

	ip netns add $srv
	ip netns add $cli
	ip link add srv0 netns $srv type veth peer name em0 netns $cli
	# The server's addresses are usable at once; em0 goes through
	# duplicate address detection, as on a real host.
	nsenter --net=/run/netns/$srv sh -c \
		'echo 0 >/proc/sys/net/ipv6/conf/all/accept_dad; echo 0 >/proc/sys/net/ipv6/conf/srv0/accept_dad'
	nsenter --net=/run/netns/$cli sh -c 'echo 1 >/proc/sys/net/ipv6/conf/em0/accept_dad'
	ip -n $srv addr add 192.0.2.1/24 dev srv0
	ip -n $srv addr add 2001:db8::1/64 dev srv0 nodad
	ip -n $srv link set lo up
	ip -n $srv link set srv0 up
	ip -n $cli link set lo up
	if [ $boot = no ]; then
		ip -n $cli link set em0 up
		until [ "$(linklocal)" = usable ]; do
			wait_a_moment "em0 got no usable link-local address"
		done
	fi

	[ "$mode" != noserver ] || return 0
	set -- --keep-in-foreground --conf-file=/dev/null --port=0 --user=root \
		--interface=srv0 --bind-interfaces \
		--dhcp-range=192.0.2.100,192.0.2.199,1h \
		--dhcp-leasefile="$dir/dnsmasq.leases" --log-facility="$dir/dnsmasq.log" --log-dhcp
	if [ "$mode" != v4only ]; then
		set -- "$@" --dhcp-range=2001:db8::100,2001:db8::1ff,64,1h --enable-ra
	fi
	nsenter --net=/run/netns/$srv dnsmasq "$@" </dev/null >/dev/null 2>&1 &
	echo $! >"$dir/dnsmasq.pid"
	# Ready once it listens for DHCP.
	until nsenter --net=/run/netns/$srv ss -uln | grep -q ':67 '; do
		wait_a_moment "dnsmasq did not start"
	done
}

# Polled with a deadline of about five seconds.
tries=0
wait_a_moment() {
	tries=$((tries + 1))
	[ $tries -lt 500 ] || { echo "lab.sh: $1" >&2; exit 1; }
	sleep 0.01
}

down() {
	dir=$1
	if [ -s "$dir/dnsmasq.pid" ]; then
		kill "$(cat "$dir/dnsmasq.pid")" 2>/dev/null || :
		rm -f "$dir/dnsmasq.pid"
	fi
	ip netns del $cli 2>/dev/null || :
	ip netns del $srv 2>/dev/null || :
	for m in /etc/dhcp/dhclient-exit-hooks.d /etc/dhcp/dhclient-enter-hooks.d /etc/resolv.conf /var/lib/dhcp; do
		umount "$m" 2>/dev/null || :
	done
}

linklocal() {
	ip -n $cli -6 -o addr show dev em0 scope link | {
		read -r line || { echo none; return; }
		case $line in
		*dadfailed*) echo duplicated ;;
		*tentative*) echo tentative ;;
		*) echo usable ;;
		esac
	}
}

addr() {
	ip -n $cli -"$1" -o addr show dev em0 scope global |
		sed -n 's/.* inet6\{0,1\} \([^ /]*\).*/\1/p'
}

cmd=${1:-}
[ $# -gt 0 ] && shift
case $cmd in
up | down | addr | linklocal) $cmd "$@" ;;
*) echo "usage: lab.sh up DIR [v4only|noserver] [boot] | down DIR | addr 4|6 | linklocal" >&2; exit 2 ;;
esac
