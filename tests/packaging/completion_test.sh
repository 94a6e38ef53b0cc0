#!/usr/bin/env bash
# kestroctl's bash completion, through bash-completion's own machinery: a
# command, the profile keys after --set, ports after -p, and every long
# option that `kestroctl --help` prints, so that the two cannot drift apart.
# Usage: completion_test.sh COMPLETION KESTROCTL
set -uo pipefail
completion=$1
kestroctl=$2
# shellcheck source=/dev/null
. /usr/share/bash-completion/bash_completion || { echo "bash-completion is not installed"; exit 1; }
# shellcheck source=/dev/null
. "$completion"
function=$(complete -p kestroctl | sed -n 's/.*-F \([^ ]*\) kestroctl$/\1/p')
[ -n "$function" ] || { echo "no completion function registered for kestroctl"; exit 1; }

# compopt works only while bash itself completes; here it records its options.
# shellcheck disable=SC2317 # called by the completion function
compopt() { options_set+=" $*"; }

# Completes the command line $1 as if <Tab> were pressed at its end; the
# candidates go to $got, one per line, sorted.
candidates() {
    COMP_LINE=$1
    COMP_POINT=${#1}
    read -ra COMP_WORDS <<<"$1"
    [[ $1 == *" " ]] && COMP_WORDS+=("")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMPREPLY=()
    options_set=""
    "$function" kestroctl "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    got=$(printf '%s\n' "${COMPREPLY[@]}" | sort)
}

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
expect() { # LINE EXPECTED-CANDIDATES...
    local line=$1
    shift
    local wanted
    candidates "$line"
    wanted=$(printf '%s\n' "$@" | sort)
    [ "$got" == "$wanted" ] || fail "\"$line\" offers ${got//$'\n'/ } instead of ${wanted//$'\n'/ }"
}

dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
touch "$dir/port-a" "$dir/port-b" "$dir/site.json"

expect "kestroctl --wait-port 60 -p $dir/port-a up" upload-cert
expect "kestroctl write $dir/site.json --set addr" addressee_1= addressee_2= addressee_3= \
    addressee_4= addressee_5=
[[ $options_set == *nospace* ]] || fail "--set keys end in '=' and need no space after them"
expect "kestroctl --set smtp_port=587 diff $dir/si" "$dir/site.json"
expect "kestroctl -p $dir/port-" "$dir/port-a" "$dir/port-b"
expect "kestroctl read --port=$dir/port-" "$dir/port-a" "$dir/port-b"
expect "kestroctl --db postgresql://line-db/kestro line i" init import
expect "kestroctl line import $dir/si" "$dir/site.json"

candidates "kestroctl --"
offered=$got
for option in $("$kestroctl" --help | grep -o -- '--[a-z][a-z-]*' | sort -u); do
    grep -qx -- "$option" <<<"$offered" || fail "--help lists $option, the completion does not offer it"
done
exit $((failures > 0))
