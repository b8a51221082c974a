#!/usr/bin/env bash
# Builds the extension modules with AddressSanitizer + UndefinedBehaviorSanitizer
# into build/asan, assembles a package tree under build/asan/pkg (leaving src/
# untouched) and runs the test suite against it with the runtime preloaded.
# Extra arguments go to pytest; KELVARA_ASAN_PYTHON names the interpreter
# (python3 by default).
set -euo pipefail
cd "$(dirname "$0")/.."
py="${KELVARA_ASAN_PYTHON:-python3}"
cmake -S . -B build/asan -G Ninja -DKELVARA_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DPython_EXECUTABLE="$(command -v "$py")" >/dev/null
cmake --build build/asan
rm -rf build/asan/pkg && mkdir -p build/asan/pkg
cp -r src/kelvara build/asan/pkg/
find build/asan/pkg -name '*.so' -delete
cp build/asan/ast*.so build/asan/pkg/kelvara/core/
[ -e build/asan/visitors*.so ] 2>/dev/null || true
for so in build/asan/visitors*.so; do [ -e "$so" ] && cp "$so" build/asan/pkg/kelvara/core/; done
for so in build/asan/rules*.so build/asan/_tptp*.so build/asan/_engine*.so; do [ -e "$so" ] && cp "$so" build/asan/pkg/kelvara/prover/; done
for so in build/asan/_native*.so; do [ -e "$so" ] && cp "$so" build/asan/pkg/kelvara/; done
for so in build/asan/_engine*.so build/asan/_tptp*.so; do [ -e "$so" ] && cp "$so" build/asan/pkg/kelvara/prover/; done
export LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libubsan.so) $(gcc -print-file-name=libstdc++.so)"
# A failed allocation returns NULL as libc's malloc does (the sanitizer would
# abort instead), so that address-space limits end in MemoryError as in a
# release build.
export PYTHONMALLOC=malloc ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:allocator_may_return_null=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
PYTHONPATH="$PWD/build/asan/pkg" "$py" -m pytest -p no:cacheprovider "$@"
