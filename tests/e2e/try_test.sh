#!/usr/bin/env bash
# try_test.sh TRY BUILD_DIR: the README's try-it command shows a reply for
# @1 and the no-reply line for AB, with the device's line and udpcmd's status.
set -u
try=$1
export UDPCMD_BUILD=$2
failed=0

expect() {
  local command=$1 wanted=$2 out status
  out=$(timeout 30 "$try" "$command" 2>&1)
  status=$?
  if ((status == 77)); then
    echo "$out"
    exit 77
  fi
  if ((status != 1)) || ! grep -qxF -- "$wanted" <<<"$out" ||
    ! grep -q '^device: #1 from 192\.168\.0\.254:[0-9]*, 8 bytes: ' <<<"$out"; then
    echo "FAIL try $command: status $status, output:"
    echo "$out"
    failed=1
  else
    echo "PASS try $command"
  fi
}

expect @1 "Data in received packet: OK @1"
expect AB "Wildcard used - no return expected."
exit "$failed"
