#!/usr/bin/env bash
# Runs driver_test (the product against the test driver) in the Wine prefix
# of the run that started it (tools/test, or a person with
# tools/wine-env.sh): starts the test driver there, runs each test case in
# a process of its own, and between cases checks that the driver's host,
# winedevice.exe, lives. A crash of the driver takes that process down and
# every later device call with it: the case is failed, Wine restarted and
# the driver started again before the next case. The driver is stopped
# (its unload runs) and its service removed at the end.
# $1: driver_test.exe; $2: the build folder (VarnokTestDrv.sys).
set -uo pipefail
test_exe=$1
build=$2
. "$(dirname "$0")/../../tools/wine-env.sh"
vnk_wine_attach || exit 1
if ! "$VNK_WINE" --version >/dev/null 2>&1; then
  echo "driver_test: Wine's loader $VNK_WINE does not run on this machine" >&2
  exit 1
fi

if ! vnk_driver_start "$build/VarnokTestDrv.sys"; then
  echo "driver_test: the test driver did not start" >&2
  exit 1
fi
trap vnk_driver_stop EXIT

# "ProductTest." then "  Case" lines.
cases=()
suite=""
while IFS= read -r line; do
  line=${line%%#*}
  line=${line%"${line##*[! ]}"}
  line=${line%$'\r'}
  case "$line" in
    "") ;;
    "  "*) cases+=("$suite${line#  }") ;;
    *) suite=$line ;;
  esac
done < <("$VNK_WINE" "$test_exe" --gtest_list_tests </dev/null 2>/dev/null | tr -d '\r')
[ ${#cases[@]} -gt 0 ] || { echo "driver_test: no test cases" >&2; exit 1; }

failed=()
for name in "${cases[@]}"; do
  if ! vnk_driver_alive; then
    echo "driver_test: winedevice.exe is gone: restarting Wine and the driver" >&2
    vnk_driver_start "$build/VarnokTestDrv.sys" || { echo "driver_test: the driver did not come back" >&2; exit 1; }
  fi
  "$VNK_WINE" "$test_exe" --gtest_filter="$name" </dev/null || failed+=("$name")
  if ! vnk_driver_alive; then
    echo "driver_test: the driver's host died during $name" >&2
    [[ " ${failed[*]} " == *" $name "* ]] || failed+=("$name")
  fi
done

echo "driver_test: ${#cases[@]} cases, ${#failed[@]} failed${failed:+: ${failed[*]}}"
[ ${#failed[@]} -eq 0 ]
