# Sourced by scripts/test, scripts/demo and scripts/bench.
#
#   ensure_packages WHO PACKAGE...
#
# Installs the Debian packages among PACKAGE that are missing, as root; as
# anyone else, names them and exits 1.  WHO prefixes the messages.
ensure_packages() {
	who=$1
	shift
	missing=""
	for p in "$@"; do
		dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" ||
			missing="$missing $p"
	done
	[ -z "$missing" ] && return 0
	if [ "$(id -u)" -ne 0 ]; then
		echo "$who: missing Debian packages:$missing" >&2
		echo "$who: run it as root to install them, or install them first" >&2
		exit 1
	fi
	echo "$who: installing:$missing"
	export DEBIAN_FRONTEND=noninteractive
	{ apt-get update -q && apt-get install -y -q --no-install-recommends $missing; } >/dev/null ||
		{ echo "$who: could not install:$missing" >&2; exit 1; }
}
