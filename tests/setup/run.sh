#!/usr/bin/env bash
# A build tree configured before the setup installed something (Doxygen,
# say, when `make demo` came before `make test`) looks for it again once the
# setup has marked that it installed something: the tree then runs the
# tests a tree configured afterwards runs.
#   run.sh linux|windows SOURCE_DIR
set -euo pipefail
platform="$1"
source="$(cd "$2" && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
export VELTRA_BUILD="$work" VELTRA_SETUP_STAMP="$work/setup.stamp"
tree="$work/$platform"

fail() {
    echo "configure order: $*" >&2
    exit 1
}

tests() {
    ctest --test-dir "$tree" -N | sed -nE 's/^ *Test +#[0-9]+: //p' | sort
}

command -v doxygen >/dev/null || fail "no doxygen: the setup installs it"
"$source/scripts/configure.sh" "$platform"
fresh="$(tests)"
grep -qx api_reference <<<"$fresh" || fail "a fresh tree has no api_reference test"

# The tree as it is when it was configured before Doxygen came.
sed -i 's|^VELTRA_DOXYGEN:FILEPATH=.*|VELTRA_DOXYGEN:FILEPATH=VELTRA_DOXYGEN-NOTFOUND|' \
    "$tree/CMakeCache.txt"
sed -i 's|^\(add_test(.*api_reference\)|#\1|' "$tree/docs/CTestTestfile.cmake"
! tests | grep -qx api_reference || fail "the old tree was not made"
"$source/scripts/configure.sh" "$platform"
[ "$(tests)" != "$fresh" ] || fail "the tree looked again although the setup installed nothing"

# The setup installed something since: the tree looks again.
sleep 1
touch "$VELTRA_SETUP_STAMP"
"$source/scripts/configure.sh" "$platform"
[ "$(tests)" = "$fresh" ] || fail "after the setup, the tree runs other tests than a fresh one:
$(diff <(echo "$fresh") <(tests))"
echo "configure order: the same $(wc -l <<<"$fresh") tests in both orders"
