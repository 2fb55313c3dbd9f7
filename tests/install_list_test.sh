#!/bin/sh
# The packages that README.md tells a newcomer to install are the ones that
# .ci/run installs on a fresh machine.
# Usage: install_list_test.sh <source dir>
set -eu
packages() {
    # From the apt-get install line to the first line not continued.
    sed -n '/apt-get install -y/,/[^\\]$/p' "$1" | tr -d '\\' | tr ' ' '\n' |
        grep -v -e '^$' -e '^\$sudo$' -e '^apt-get$' -e '^update$' -e '^&&$' -e '^install$' -e '^-y$' |
        sort
}
readme=$(packages "$1/README.md")
ci=$(packages "$1/.ci/run")
[ -n "$ci" ] || { echo "no package list in .ci/run"; exit 1; }
if [ "$readme" != "$ci" ]; then
    echo "README.md and .ci/run install different packages:"
    printf '%s\n' "$readme" > "${TMPDIR:-/tmp}/readme.$$"
    printf '%s\n' "$ci" | diff "${TMPDIR:-/tmp}/readme.$$" - || true
    rm -f "${TMPDIR:-/tmp}/readme.$$"
    exit 1
fi
echo "README.md and .ci/run install the same $(printf '%s\n' "$ci" | wc -l) packages"
