# Sourced by the other scripts. `quiet CMD...` runs a command with its output
# held back and shows that output only when the command fails, so a compile
# error is printed in full while a good build stays silent.
quiet() {
  local log status=0
  log=$(mktemp)
  "$@" >"$log" 2>&1 || status=$?
  if ((status)); then
    cat "$log" >&2
    echo "failed ($status): $*" >&2
  fi
  rm -f "$log"
  return "$status"
}
