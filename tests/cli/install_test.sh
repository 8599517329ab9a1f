#!/usr/bin/env bash
# Installs the build into a temporary prefix, then either runs the installed programs (run) or renders
# the installed manual pages with man -l, failing on any warning (man).
#   install_test.sh BUILD_DIR run|man
set -euo pipefail
build=$1 mode=$2
prefix=$(mktemp -d /tmp/zentrel-install-XXXXXX)
plug_pid=
cleanup() {
    [ -z "$plug_pid" ] || { kill "$plug_pid" 2>/dev/null; wait "$plug_pid" 2>/dev/null || true; }
    rm -rf "$prefix"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$prefix" >/dev/null

case $mode in
run)
    for f in bin/zentrel bin/zentrel-plug share/man/man1/zentrel.1.gz share/man/man1/zentrel-plug.1.gz \
             share/doc/zentrel/README.md share/doc/zentrel/copyright share/doc/zentrel/changelog.gz; do
        [ -e "$prefix/$f" ] || fail "not installed: $f"
    done
    "$prefix/bin/zentrel" --version | grep -q '^zentrel ' || fail "installed zentrel --version"
    out=$("$prefix/bin/zentrel" --virtual --batch --seconds 2 -n 2 --json) || fail "virtual run: exit $?"
    tail -n1 <<<"$out" | grep -q '"type":"summary".*"ports":2' || fail "virtual run summary: $out"
    # The installed plug and analyzer together, as the manual page shows them.
    coproc PLUG { exec "$prefix/bin/zentrel-plug" --dir "$prefix/plug" --count 2; }
    plug_pid=$PLUG_PID
    read -r -t 20 ready <&"${PLUG[0]}" || fail "the installed plug did not start"
    [[ $ready == ready:* ]] || fail "plug: $ready"
    "$prefix/bin/zentrel" --list -d "$prefix/plug/ttyV" | grep -qF "zentrel -d $prefix/plug/ttyV -n 2 3" ||
        fail "--list does not suggest the plug's ports"
    out=$("$prefix/bin/zentrel" -d "$prefix/plug/ttyV" -n 2 -f none --batch --seconds 2) ||
        fail "run on the plug: exit $?: $out"
    grep -q '^Line errors (driver): framing not available' <<<"$out" || fail "plug run summary: $out"
    ;;
man)
    command -v man >/dev/null || { echo "man is not installed"; exit 77; }
    for page in zentrel zentrel-plug; do
        file=$prefix/share/man/man1/$page.1.gz
        # As lintian renders them: any line on stderr is a warning.
        warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$file" 2>&1 >/dev/null)
        [ -z "$warnings" ] || fail "$page(1) renders with warnings: $warnings"
        text=$(LC_ALL=C.UTF-8 MANWIDTH=80 man -l "$file" 2>/dev/null)
        for section in NAME SYNOPSIS DESCRIPTION OPTIONS "EXIT STATUS" EXAMPLES "SEE ALSO"; do
            grep -q "^$section\$" <<<"$text" || fail "$page(1) has no $section section"
        done
    done
    ;;
*) fail "mode run or man" ;;
esac
echo ok
