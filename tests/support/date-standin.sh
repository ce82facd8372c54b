#!/bin/sh
# `date` on the PATH of a daemon whose clock runs under libfaketime (an offset,
# and perhaps a rate, in $FAKETIME_TIMESTAMP_FILE). The daemon sets the clock
# with `date -u -s "YYYY-MM-DD hh:mm:ss"`: that moves only its own clock (the
# offset), never the desk's; without libfaketime's file it does nothing.
# Every other call goes to date.
if [ "$1 $2" = "-u -s" ]; then
  [ -n "$FAKETIME_TIMESTAMP_FILE" ] || exit 0
  t=$(LD_PRELOAD= /bin/date -u -d "$3" +%s) || exit 1
  read -r o rate < "$FAKETIME_TIMESTAMP_FILE" || exit 1
  f=$(/bin/date -u +%s) || exit 1
  case "$LD_PRELOAD" in
    # f is what the daemon's clock reads now: its children share it
    # (libfaketime's shared start), rate included.
    *faketime*) ;;
    # A caller that cleared LD_PRELOAD (a stand-in such as the desk's ntpd)
    # read the desk's clock: the offset is set from it, exact at rate 1.
    *) o=0 ;;
  esac
  o=$((o + t - f)); case $o in -*) ;; *) o=+$o ;; esac
  echo "$o${rate:+ $rate}" > "$FAKETIME_TIMESTAMP_FILE.new" && mv "$FAKETIME_TIMESTAMP_FILE.new" "$FAKETIME_TIMESTAMP_FILE"
  exit
fi
exec /bin/date "$@"
