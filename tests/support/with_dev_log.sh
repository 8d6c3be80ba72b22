# Run inside a private mount namespace by syslog_capture.cpp: $1 a stage directory,
# $2 the capture's socket, then the program and its arguments. /dev becomes a copy
# of the real one whose log is the capture's socket.
stage=$1; sock=$2; shift 2
for entry in /dev/*; do
  name=${entry#/dev/}
  [ "$name" = log ] && continue
  if [ -L "$entry" ]; then cp -P "$entry" "$stage/$name"
  elif [ -d "$entry" ]; then mkdir -p "$stage/$name" && mount --rbind "$entry" "$stage/$name" 2>/dev/null
  elif [ -e "$entry" ]; then : > "$stage/$name" && mount --bind "$entry" "$stage/$name" 2>/dev/null
  fi
done
: > "$stage/log" && mount --bind "$sock" "$stage/log" && mount --rbind "$stage" /dev || exit 126
exec "$@"
