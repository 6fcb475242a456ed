# Sourced by scripts/demo and scripts/bench, as PID 1 of private PID and
# mount namespaces.  Lays out what bistack-lease's fixed paths need, in this
# mount namespace only: a private /var/run with /var/run/dhclient, FILE4 at
# /sbin/dhclient (layered over the real /sbin) and FILE6 at
# /usr/local/sbin/dhclient.  Sets $scratch, a private directory on /run.
#
#   sandbox_clients FILE4 FILE6
sandbox_clients() {
	mount --make-rprivate /
	mount -t tmpfs sandbox /run
	mkdir /run/dhclient /run/sandbox
	scratch=/run/sandbox
	# FILE6 may be the real /sbin/dhclient: copied before /sbin is covered.
	mount -t tmpfs sandbox /usr/local/sbin
	cp "$2" /usr/local/sbin/dhclient
	mkdir "$scratch/sbin" "$scratch/work"
	cp "$1" "$scratch/sbin/dhclient"
	mount -t overlay sandbox \
		-o "lowerdir=$(realpath /sbin),upperdir=$scratch/sbin,workdir=$scratch/work" \
		"$(realpath /sbin)"
}
