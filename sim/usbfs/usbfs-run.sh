#!/bin/sh
# Runs a program against the usbfs front end: umockdev's preload in
# LD_PRELOAD, behind the sanitizer runtime the program was built with (a
# sanitizer wants its runtime loaded first).
# Usage: usbfs-run.sh PROGRAM [ARGS...]
prog="$1"
rt=$(ldd "$prog" 2>/dev/null | awk '/lib(asan|tsan)\.so/ { print $3; exit }')
preload="libumockdev-preload.so.0"
[ -n "$rt" ] && preload="$rt:$preload"
case "$rt" in
*libtsan*)
	supp="$(dirname "$0")/tsan.supp"
	TSAN_OPTIONS="${TSAN_OPTIONS:+$TSAN_OPTIONS:}suppressions=$supp"
	export TSAN_OPTIONS
	;;
esac
exec env LD_PRELOAD="$preload${LD_PRELOAD:+:$LD_PRELOAD}" "$@"
