#!/usr/bin/env bash
# Installs what is missing, builds the package and runs every test leg in
# scripts/legs/ in order.  `scripts/test.sh NAME...` runs only the legs whose
# file names contain one of the NAMEs.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
ensure_packages
cd "$MIVELO_ROOT"
failed=()
for leg in scripts/legs/*.sh; do
    if [ $# -gt 0 ]; then
        wanted=0
        for name in "$@"; do [[ $leg == *"$name"* ]] && wanted=1; done
        [ $wanted -eq 1 ] || continue
    fi
    echo "=== ${leg##*/}"
    start=$SECONDS
    if bash "$leg"; then
        echo "=== ${leg##*/}: passed in $((SECONDS - start)) s"
    else
        echo "=== ${leg##*/}: FAILED after $((SECONDS - start)) s"
        failed+=("${leg##*/}")
    fi
done
if [ ${#failed[@]} -gt 0 ]; then
    echo "Failed legs: ${failed[*]}"
    exit 1
fi
echo "All legs passed."
