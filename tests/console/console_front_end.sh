#!/bin/sh
# vandrel-console as a user meets it under the prefix: mistakes on its command line, no
# server registered, an image that will not mount, images it creates, the prompt's answers
# and the end of its input. Each case checks the exit code and the words the user reads.
#
#   console_front_end.sh WINE.SH PREFIX VANDREL.EXE VANDREL-CONSOLE.EXE SCRATCH-DIR
set -u
wine=$1 prefix=$2 server=$3 console=$4 scratch=$5

winpath() { printf 'Z:%s' "$1" | tr / '\\'; }
# A path for the input of run, whose escapes would take its backslashes.
inpath() { winpath "$1" | sed 's/\\/\\\\/g'; }

rm -rf "$scratch" && mkdir -p "$scratch" || exit 1
failed=0
n=0

# run EXPECTED-CODE INPUT ARGS...: the front end with INPUT on its standard input; output and
# errors go to files (the server it starts inherits them: never a pipe).
run() {
    expected=$1 input=$2
    shift 2
    n=$((n + 1))
    out="$scratch/$n.out" err="$scratch/$n.err"
    printf '%b' "$input" | sh "$wine" "$prefix" run "$console" "$@" >"$out" 2>"$err"
    code=$?
    [ $code -eq 77 ] && exit 77
    if [ $code -ne "$expected" ]; then
        echo "FAIL: case $n ($*) exited $code, expected $expected"
        cat "$out" "$err"
        failed=1
    fi
}

# expect FILE TEXT: the case's output (out or err) holds TEXT.
expect() {
    if ! tr -d '\r' <"$scratch/$n.$1" | grep -qF -- "$2"; then
        echo "FAIL: case $n: expected '$2' in its $1"
        cat "$scratch/$n.out" "$scratch/$n.err"
        failed=1
    fi
}

run 2 '' --port 0
expect err "--port takes 1 to 9 (COM1 to COM9), not \"0\""
expect err "usage: vandrel-console"
run 2 '' D0=x.atr
expect err "unknown argument \"D0=x.atr\""
run 0 '' --help
expect out "Dn=PATH"

sh "$wine" "$prefix" run "$server" /UnregServer >/dev/null 2>&1
run 3 '' D1=x.atr
expect err "cannot create Vandrel.Shell"
expect err "Vandrel.exe /RegServer"

sh "$wine" "$prefix" run "$server" /RegServer || { echo "FAIL: /RegServer"; exit 1; }
run 4 '' "D1=$(winpath "$scratch/missing.atr")"
expect out "error 2:"
expect err "could not mount"

# Created and mounted from the command line; then the prompt: status, a mistake that does
# not end the session, swap, unmount, and the end of input.
created="$scratch/made.atr"
run 0 'status\nmount D1\nswap D2 D3\nstatus\nunmount D3\nstatus\n' \
    --create "$(winpath "$created")=ed" "D2=$(winpath "$created"),ro"
expect out "D2: $(winpath "$created") 1040 sectors of 128 bytes, read-only"
expect out "port: none, stopped"
expect err "usage: mount Dn PATH [ro]"
expect out "swapped disk 2 and 3"
expect out "D3: $(winpath "$created") 1040 sectors of 128 bytes, read-only"
expect out "bye"
size=$(stat -c %s "$created" 2>/dev/null || echo 0)
[ "$size" -eq $((16 + 1040 * 128)) ] || { echo "FAIL: the created image holds $size bytes"; failed=1; }

# create refuses a file that exists, from the prompt and from the command line, unless asked.
run 0 "create $(inpath "$created") sd\ncreate! $(inpath "$created") sd\n"
expect err "$(winpath "$created") exists: create! (--create-over on the command line) overwrites it"
size=$(stat -c %s "$created" 2>/dev/null || echo 0)
[ "$size" -eq $((16 + 720 * 128)) ] || { echo "FAIL: create! left $size bytes"; failed=1; }
run 4 '' --create "$(winpath "$created")=ed"
expect err "could not create"
run 0 '' --create "$(winpath "$created")=ed" --create-over

# Paths beyond ASCII: one the code page holds mounts from the command line and from the
# prompt (whose bytes are in that code page); one it cannot hold is refused, and no other
# file is made or opened in its place. --quiet keeps status lines on the screen, and --log
# takes the full trace.
accented="$scratch/disqu$(printf '\303\251').atr"
run 0 "mount D2 \"$(inpath "$scratch")\\\\disqu\351.atr\"\nstatus\n" --quiet --log "$(winpath "$scratch/trace.log")" \
    --create "$(winpath "$accented")=sd" "D1=$(winpath "$accented")"
expect out "mounted as D1:"
expect out "mounted as D2:"
[ -f "$accented" ] || { echo "FAIL: no $accented"; failed=1; }
grep -q "mounted as D2:" "$scratch/trace.log" 2>/dev/null || { echo "FAIL: the log lacks the mount line"; failed=1; }
wide="$scratch/$(printf '\346\227\245\346\234\254').atr"
before=$(ls "$scratch"/*.atr | wc -l)
run 4 '' --create "$(winpath "$wide")=sd"
expect out "the system's code page cannot represent every character of it"
[ "$(ls "$scratch"/*.atr | wc -l)" -eq "$before" ] || { echo "FAIL: a file was made for a path the code page cannot hold"; ls "$scratch"; failed=1; }

# A port that leads nowhere (the prefix maps COM1-COM9 to paths that do not exist): checked
# before it is opened, as this machine's own serial devices must never be.
link=$(readlink "$prefix/dosdevices/com4" 2>/dev/null)
sh "$wine" "$prefix" run reg query 'HKLM\Software\Wine\Ports' /v COM4 >"$scratch/com4.reg" 2>&1
case "$link" in
/nonexistent/*) ;;
*) echo "FAIL: COM4 of the prefix leads to '$link', not nowhere: not opening it"; exit 1 ;;
esac
grep -q /nonexistent/ "$scratch/com4.reg" || { echo "FAIL: COM4 is not mapped nowhere in the registry"; exit 1; }
run 5 'quit\n' --port 4
expect err "could not open COM4"

sh "$wine" "$prefix" run "$server" /UnregServer >/dev/null 2>&1 || { echo "FAIL: /UnregServer"; failed=1; }
[ $failed -eq 0 ] && echo "console front end: $n cases passed"
exit $failed
