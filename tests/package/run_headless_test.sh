#!/usr/bin/env bash
# Runs ./run with no display, the way a newcomer would, and checks that it
# exits 0, reports the restore, writes the picture and leaves no X server or
# gammawave process behind.
set -uo pipefail
root=$(cd "$1" && pwd -P)
fail() { echo "FAIL: $*"; exit 1; }
# Other checkouts on this machine may run servers and gammawave at the same
# time; ours are the ones ./run started, which work in its directory.
ours() {
    for pid in $(pgrep -x "$1"); do
        [[ $(readlink "/proc/$pid/cwd" 2>/dev/null) == "$root" ]] && echo "$pid"
    done
}
# A temporary directory of its own, so that only its files are looked for.
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

out=$(cd "$root" && env -u DISPLAY TMPDIR="$tmp" ./run </dev/null 2>&1)
status=$?
echo "$out" | grep -v '^crtc '
[[ $status -eq 0 ]] || fail "./run exited $status"
grep -Eq '^restored the original ramps on ([0-9]+) of \1 monitors .*: yes$' <<<"$out" ||
    fail "no successful restore report"
picture=$(sed -n 's/^timeline picture: //p' <<<"$out")
[[ -n "$picture" && -s "$picture" ]] || fail "no picture at '$picture'"
[[ $(head -c 8 "$picture" | od -An -tx1 | tr -d ' \n') == 89504e470d0a1a0a ]] ||
    fail "$picture is not a PNG"
sleep 0.5
for name in Xorg Xvfb gammawave gammawave-view; do
    [[ -z $(ours "$name") ]] || fail "a $name process was left behind"
done
[[ -z $(ls -A "$tmp") ]] || fail "temporary files were left behind: $(ls -A "$tmp")"
echo "1 passed, 0 failed"
