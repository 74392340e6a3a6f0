#!/usr/bin/env bash
# try_test.sh TRY BUILD_DIR: the README's try-it command as a user meets it:
# its report and the device's line, its help, its own statuses, its refusal
# outside an isolated namespace, and Ctrl-C ending a waiting run at once.
set -u
try=$1
export UDPCMD_BUILD=$2
failed=0

fail() {
  echo "FAIL $*"
  failed=1
}

# expect STATUS PATTERN ARGS...: `try ARGS` ends with STATUS and prints a
# line matching the extended regular expression PATTERN (whole line).
expect() {
  local status=$1 pattern=$2 out got
  shift 2
  out=$(timeout 30 "$try" "$@" 2>&1)
  got=$?
  ((got != 77)) || {
    echo "$out"
    exit 77
  }
  if ((got != status)) || ! grep -qxE -- "$pattern" <<<"$out"; then
    fail "try $*: status $got (expected $status), output:"$'\n'"$out"
  fi
}

# Columns: status, a line of the output, try's arguments. What follows the
# command is the device's, exactly as given: the device decides what is an
# option, a value or help.
expect 1 'Data in received packet: OK @1' @1
expect 1 'device: #1 from .*' AB
expect 0 'usage: scripts/try .*' --help
expect 0 'usage: udpcmd-device .*' @1 --he
expect 1 'Data in received packet: --help' @1 --reply-text --help
expect 1 'Data in received packet: OK @1' @1 --idle 5
expect 2 'try: unknown option --rules: the device.s options go after COMMAND .*' --rules f @S
expect 4 'try: the device did not start' @1 --no-such-option
expect 4 'udpcmd-device: cannot bind .*' @1 --reply-text --help --address 1.2.3.4
only_device=$(mktemp -d)
mkdir -p "$only_device/tools/device"
cp "$UDPCMD_BUILD/tools/device/udpcmd-device" "$only_device/tools/device/"
UDPCMD_BUILD=$only_device expect 3 'try: missing .*/udpcmd .*' @1
rm -rf "$only_device"

# Typed by hand outside isolation, the inner part refuses. The namespace has
# a second interface and no route to the device, so even a broken check
# could send nothing anywhere.
if unshare -n true 2>/dev/null; then
  # shellcheck disable=SC2016 # $0 is expanded by the inner shell
  out=$(unshare -n bash -c 'ip link add probe0 type veth peer name probe1 && exec "$0" --inside @1' \
    "$try" 2>&1)
  status=$?
  if ((status != 99)) || [[ $out == *"Sent UDP Packet"* ]]; then
    fail "try --inside outside isolation: status $status, output:"$'\n'"$out"
  fi
fi

# Ctrl-C: SIGINT to the foreground process group ends a waiting run at once
# and leaves nothing running.
out=$(mktemp)
setsid "$try" @1 --no-reply >"$out" 2>&1 &
group=$!
for ((i = 0; i < 100; i++)); do
  grep -q '^\.\.\.$' "$out" && break
  sleep 0.05
done
started=$SECONDS
kill -INT -- "-$group"
wait "$group"
status=$?
sleep 0.2
left=$(pgrep -s "$group" || true)
if ((status != 130 || SECONDS - started > 2)) || [[ -n $left ]]; then
  fail "Ctrl-C: status $status after $((SECONDS - started)) s, still running: ${left:-none}"$'\n'"$(cat "$out")"
  [[ -z $left ]] || xargs kill -9 <<<"$left"
fi
rm -f "$out"

((failed)) || echo "PASS scripts/try"
exit "$failed"
