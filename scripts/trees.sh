# Sourced after env.sh by the scripts that build (test.sh, demo.sh,
# package.sh, bench/run and the kelvo launcher in the source tree): the
# native tree and the Windows trees.

# cmake_tree DIR [ARGS...]: configures and builds one tree.
cmake_tree() {
    local dir=$1; shift
    cmake -S "$KELVO_ROOT" -B "$dir" "$@" >/dev/null &&
    cmake --build "$dir" -j2 -- --no-print-directory >/dev/null
}

# win_tree ARCH: configures and builds the Windows tree for ARCH (i686 or
# x86_64) with every program and test.
win_tree() {
    echo "kelvo: compiling the $1 tree (Kelvo.exe, tools and tests)"
    cmake_tree "$KELVO_ROOT/build-win-$1" -DCMAKE_BUILD_TYPE=Release -DKELVO_TESTS=ON \
        -DCMAKE_TOOLCHAIN_FILE="$KELVO_ROOT/cmake/mingw-$1.cmake" \
        -DKELVO_HOST_BUILD="$KELVO_HOST_BUILD"
}

# The native tree first (the Windows tests start its tools), then the i686
# tree with every target and test, then the x86_64 tree where that is the
# one this machine runs (or, with "all", in any case: the release carries
# both). Calling-convention mistakes fail the i686 build.
kelvo_build() {
    local tree
    cmake_tree "$KELVO_HOST_BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo || return 1
    for tree in i686 $([ "$KELVO_WIN_ARCH" = x86_64 ] || [ "${1:-}" = all ] && echo x86_64); do
        win_tree "$tree" || return 1
    done
}
