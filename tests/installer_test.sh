#!/usr/bin/env bash
# The installer package of one target under Wine, as an administrator and a
# user would meet it, in a Wine prefix of its own (the suite's prefix stays
# as it was, and this test may end its own Wine session):
#   install silently: the files, the Run entry, the Add/Remove Programs entry;
#   log on again: the Run entry starts the client and its status window;
#   run the same package again: nothing changes, the client keeps running;
#   install a newer build: it replaces the installed one in place, and the
#   running client is asked to exit first;
#   install the older one again: refused, the newer one stays;
#   uninstall while the client runs: the client ends, and the files, the Run
#   entry and the Add/Remove Programs entry are gone.
#
#   tests/installer_test.sh x64|x86 PROGRAM_DIR
set -euo pipefail
arch=$1 program_dir=$2
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/tools/wine-env.sh"
. "$root/installer/product.sh"

case "$arch" in
  x64) prefix_kind=win64 ;;
  x86) prefix_kind=win32 ;;
  *) echo "usage: $0 x64|x86 PROGRAM_DIR" >&2; exit 2 ;;
esac

failures=0
passes=0
check() {  # $1: what is checked; the rest: the command that checks it
  local what=$1
  shift
  if "$@"; then
    passes=$((passes + 1))
    echo "ok: $what"
  else
    failures=$((failures + 1))
    echo "FAILED: $what"
  fi
}

work=$(mktemp -d)
trap 'vnk_wine_stop; rm -rf "$work"' EXIT

vnk_product_env "$program_dir"
product=$VNK_PRODUCT_NAME
maker=$VNK_MANUFACTURER
version=$VNK_VERSION
IFS=. read -r major minor build revision <<<"$version"
newer="$major.$minor.$((build + 1)).$revision"
"$root/installer/make-msi" "$arch" "$program_dir" "$work/current.msi"
"$root/installer/make-msi" "$arch" "$program_dir" "$work/newer.msi" "$newer"

# The suite's display when there is one, else a display of its own.
if [ -n "${DISPLAY:-}" ]; then vnk_wine_start "" "$prefix_kind"; else vnk_wine_start virtual "$prefix_kind"; fi

install_dir="$WINEPREFIX/drive_c/Program Files/$product"
client_command="\"C:\\Program Files\\$product\\Varnokd.exe\""
run_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Run'
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'

wine_quiet() { "$VNK_WINE" "$@" 2>/dev/null </dev/null; }
windows_path() { echo "Z:$(tr / '\\' <<<"$1")"; }
# Its exit status is msiexec's (cut to 8 bits); its log lands beside the
# package. Nothing that it starts may hold the test's output open.
msiexec() {  # $1: /i or /x; $2: the package in $work
  "$VNK_WINE" msiexec "$1" "$(windows_path "$work/$2")" /qn /l*v "$(windows_path "$work/$2.log")" \
    >/dev/null 2>&1 </dev/null
}

# The installed client's processes in this prefix (not the suite's, nor
# another worktree's), that are running and not merely waiting to be reaped.
client_pids() {
  local pid
  for pid in $(pgrep -f 'Varnokd\.exe' || true); do
    { tr '\0' '\n' <"/proc/$pid/environ"; } 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX" || continue
    { tr '\0' ' ' <"/proc/$pid/cmdline"; } 2>/dev/null | grep -qF "\\$product\\Varnokd.exe" || continue
    vnk_alive "$pid" && echo "$pid"
  done
}
client_runs() { [ -n "$(client_pids)" ]; }
client_gone() { ! client_runs; }
# The client's status window: it exists from the start, hidden behind the
# tray icon until the user asks for it.
status_window_up() {
  local pids window
  pids=$(client_pids)
  [ -n "$pids" ] || return 1
  for window in $(xdotool search --name '^Varnok Status$' 2>/dev/null); do
    grep -qxF "$(xdotool getwindowpid "$window" 2>/dev/null)" <<<"$pids" && return 0
  done
  return 1
}

# A new Wine session for the same user: the old one ends with every
# process in it, and the new one's logon step (a plain wineboot: -r would
# skip them) runs the Run entries, as Windows does at logon.
log_on_again() {
  "$VNK_WINESERVER" -k >/dev/null 2>&1 </dev/null || true
  "$VNK_WINESERVER" -w >/dev/null 2>&1 </dev/null || true
  "$VNK_WINESERVER" -p >/dev/null 2>&1 </dev/null || true
  setsid "$VNK_WINE" wineboot >/dev/null 2>&1 </dev/null || true
}

run_value() { wine_quiet reg query "$run_key" /v Varnokd | tr -d '\r'; }
# Add/Remove Programs: the keys of the entries whose display name is the
# product's.
arp_keys() {
  wine_quiet reg query "$uninstall_key" /s | tr -d '\r' |
    awk -v name="$product" '
      /^HKEY/ { key = $0 }
      $1 == "DisplayName" && $2 == "REG_SZ" {
        sub(/^ *DisplayName *REG_SZ */, ""); if ($0 == name) print key
      }'
}
arp_entries() { arp_keys | grep -c . || true; }
arp_value() {  # $1: the value's name; prints its data in the first entry
  local key
  key=$(arp_keys | head -1)
  [ -n "$key" ] && wine_quiet reg query "$key" /v "$1" | tr -d '\r' |
    sed -n "s/^ *$1 *REG_[A-Z_]* *//p"
}
# The product's icon as Windows Installer registered it for the entry.
arp_icon_registered() {
  wine_quiet reg query 'HKLM\Software\Classes\Installer\Products' /s | tr -d '\r' |
    grep -q "ProductIcon.*\\\\Varnokd.ico$"
}

installed_as() {  # $1: the version that must be installed, alone
  # The product and its readme, nothing else (no simulator programs).
  [ "$(cd "$install_dir" 2>/dev/null && ls | tr '\n' ' ')" = "README.txt Varnokd.exe " ] &&
    [ "$(run_value | sed -n 's/^ *Varnokd *REG_SZ *//p')" = "$client_command" ] &&
    [ "$(arp_entries)" = 1 ] && [ "$(arp_value DisplayVersion)" = "$1" ]
}
nothing_left() {
  [ ! -e "$install_dir" ] && ! run_value | grep -q Varnokd && [ "$(arp_entries)" = 0 ]
}

echo "installer_test: $arch packages $version and $newer, Wine prefix $prefix_kind"

status=0
msiexec /i current.msi || status=$?
check "silent install succeeds" test "$status" = 0
check "files, Run entry and one Add/Remove Programs entry of $version" installed_as "$version"
check "the entry names the publisher" test "$(arp_value Publisher)" = "$maker"
check "the entry has help text and the readme" \
  test -n "$(arp_value Comments)" -a "$(arp_value ReadMe)" = "C:\\Program Files\\$product\\README.txt"
check "the entry has the program's icon" arp_icon_registered

log_on_again
check "the next logon starts the installed client" vnk_wait_until 30 client_runs
check "and its status window" vnk_wait_until 30 status_window_up
client=$(client_pids)

status=0
msiexec /i current.msi || status=$?
check "installing the same package again succeeds" test "$status" = 0
check "and leaves the installation as it was" installed_as "$version"
check "and the client running" test "$(client_pids)" = "$client"

status=0
msiexec /i newer.msi || status=$?
check "a newer build installs over it" test "$status" = 0
check "the running client was asked to exit" vnk_wait_until 10 client_gone
check "the newer build replaced the older in place" installed_as "$newer"

status=0
msiexec /i current.msi || status=$?
check "the older package is refused" test "$status" != 0
check "and the newer stays installed" installed_as "$newer"

log_on_again
check "the upgraded client starts at logon" vnk_wait_until 30 status_window_up

status=0
msiexec /x newer.msi || status=$?
check "silent uninstall succeeds while the client runs" test "$status" = 0
check "the client has ended" client_gone
check "files, Run entry and Add/Remove Programs entry are gone" nothing_left

echo "$passes passed, $failures failed"
[ "$failures" = 0 ]
