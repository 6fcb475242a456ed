#!/bin/sh
# The program must run with the C library alone: no C++ runtime.
needed=$(readelf -d "$1" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
echo "needed: $needed"
for lib in $needed; do
	case $lib in
	libc.so.*) ;;
	*) echo "unexpected run-time library: $lib"; exit 1 ;;
	esac
done
[ -n "$needed" ]
