#!/usr/bin/env bash
# Runs ./run with no display, the way a newcomer would, and checks that it
# exits 0, reports the restore, writes the picture and leaves no X server or
# gammawave process behind.
set -uo pipefail
root=$1
fail() { echo "FAIL: $*"; exit 1; }
ours() { pgrep -x "$1" | sort; }

servers_before=$( (ours Xorg; ours Xvfb) | sort)
out=$(cd "$root" && env -u DISPLAY ./run </dev/null 2>&1)
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
[[ "$( (ours Xorg; ours Xvfb) | sort)" == "$servers_before" ]] || fail "an X server was left behind"
pgrep -x gammawave >/dev/null && fail "a gammawave process was left behind"
pgrep -x gammawave-view >/dev/null && fail "a gammawave-view process was left behind"
ls -d "${TMPDIR:-/tmp}"/gammawave-run.* 2>/dev/null && fail "temporary files were left behind"
echo "1 passed, 0 failed"
