#!/usr/bin/env bash
# Writes the golden files in tests/golden/ from the program as built: the
# scene of the bundled house (house.txt) and its console text
# (house.console.txt, with the example folder written as "examples"), its glb
# (house.glb), its preview picture at 200x150 (house.png), and the README's
# picture of it (docs/house.png). Look at the difference (git diff
# tests/golden) before committing it.
#   scripts/regenerate_goldens.sh        (PLINTHEX_BUILD_DIR: default build/)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build_dir="${PLINTHEX_BUILD_DIR:-$root/build}"
cmake --build "$build_dir" -j 2 --target plinthex

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
golden="$root/tests/golden"
mkdir -p "$golden"

(cd "$work" && "$build_dir/app/plinthex" "$root/examples" "$root/examples/house.ldr" \
    >console.txt 2>errors.txt)
if [ -s "$work/errors.txt" ]; then
    echo "the house converts with messages on standard error:" >&2
    cat "$work/errors.txt" >&2
    exit 1
fi
cp "$work/house.txt" "$golden/house.txt"
# The folder as the test names it, whatever the checkout is called.
awk -v from="$root/examples" '{
    while ((at = index($0, from)) > 0)
        $0 = substr($0, 1, at - 1) "examples" substr($0, at + length(from))
    print
}' "$work/console.txt" >"$golden/house.console.txt"
# The house's glb, from a run of its own.
(cd "$work" && "$build_dir/app/plinthex" "$root/examples" "$root/examples/house.ldr" \
    "$golden/house.glb" >/dev/null)
# The pictures, each from a run of its own so that the console text above
# stays that of a plain conversion.
(cd "$work" && "$build_dir/app/plinthex" --preview="$golden/house.png" --preview-size=200x150 \
    "$root/examples" "$root/examples/house.ldr" picture.txt >/dev/null)
mkdir -p "$root/docs"
(cd "$work" && "$build_dir/app/plinthex" --preview="$root/docs/house.png" --preview-size=640x480 \
    "$root/examples" "$root/examples/house.ldr" picture.txt >/dev/null)
echo "wrote $golden/house.txt, $golden/house.console.txt, $golden/house.glb, $golden/house.png and docs/house.png"
