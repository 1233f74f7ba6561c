#!/bin/bash
# Stand-in for a system tool (apt, dpkg, ps, rm, script, hwclock, ntpdate),
# linked under the tool's name into a directory that a test puts first on PATH.
# It appends "[DEBIAN_FRONTEND=x ]tool args" to $STANDIN_DIR/calls.log and
# replays the answer prepared in $STANDIN_DIR for its n-th call (1-based):
#   tool.n.sh or tool.sh      sourced first (may print, sleep or exit itself)
#   tool.n.out or tool.out    copied to standard output
#   tool.n.err or tool.err    copied to standard error
#   tool.n.code or tool.code  the exit code (0 when missing)
tool=${0##*/}
dir=${STANDIN_DIR:?STANDIN_DIR is not set}
count=0
[ -e "$dir/$tool.count" ] && read -r count < "$dir/$tool.count"
n=$((count + 1))
echo "$n" > "$dir/$tool.count"
printf '%s%s\n' "${DEBIAN_FRONTEND:+DEBIAN_FRONTEND=$DEBIAN_FRONTEND }" "$tool $*" >> "$dir/calls.log"
answer() {
    if [ -e "$dir/$tool.$n.$1" ]; then echo "$dir/$tool.$n.$1"
    elif [ -e "$dir/$tool.$1" ]; then echo "$dir/$tool.$1"; fi
}
f=$(answer sh); [ -n "$f" ] && . "$f"
f=$(answer out); [ -n "$f" ] && cat "$f"
f=$(answer err); [ -n "$f" ] && cat "$f" >&2
code=0
f=$(answer code); [ -n "$f" ] && read -r code < "$f"
exit "$code"
