#!/usr/bin/env bash
# The manual pages render without a warning, and kestro-devsim's page names
# exactly the options that its --help lists, so that neither can drift.
# Usage: manual_pages_test.sh KESTRO-DEVSIM DEVSIM-PAGE [OTHER-PAGE]...
set -uo pipefail
devsim=$1
devsim_page=$2
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

for page in "${@:2}"; do
    # As lintian renders a page; man-db filters and formats it as for a reader.
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null)
    [ -z "$warnings" ] || fail "$page renders with warnings:"$'\n'"$warnings"
done

options_in() { grep -o -- '--[a-z][a-z-]*' | sort -u; }
in_help=$("$devsim" --help | options_in)
in_page=$(MANWIDTH=200 man -l "$devsim_page" | options_in)
[ -n "$in_help" ] || fail "kestro-devsim --help lists no options"
only_help=$(comm -23 <(echo "$in_help") <(echo "$in_page"))
only_page=$(comm -13 <(echo "$in_help") <(echo "$in_page"))
[ -z "$only_help" ] || fail "in --help but not in the manual page: ${only_help//$'\n'/ }"
[ -z "$only_page" ] || fail "in the manual page but not in --help: ${only_page//$'\n'/ }"
exit $((failures > 0))
