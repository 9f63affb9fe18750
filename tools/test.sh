#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine (tools/setup.sh) and runs the whole test
# suite three times: in a normal optimised build, in an AddressSanitizer +
# UndefinedBehaviorSanitizer build and in a ThreadSanitizer build. Then builds
# the libFuzzer targets and the shared library with clang, as the README's
# fuzzing commands do (built, not run: the stored corpora already replay as
# tests in the builds above). Last, cross-builds for 64-bit Arm and runs the
# tests under qemu on every emulated Arm processor (README: Arm64).
#
#   tools/test.sh                 all five
#   LE_TEST_BUILDS=normal tools/test.sh   any of: normal asan tsan fuzz arm64 (space-separated)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"

bash tools/setup.sh

builds=${LE_TEST_BUILDS:-"normal asan tsan fuzz arm64"}
jobs=$(nproc)
status=0
for kind in $builds; do
  dir="build/test-$kind"
  case "$kind" in
    normal) flags=() ;;
    asan) flags=(-DLE_CORE_ASAN=ON) ;;
    tsan) flags=(-DLE_CORE_TSAN=ON) ;;
    fuzz)
      echo "=== fuzz build (configure and link only) ==="
      # Configured as the README's fuzzing commands do; of the build, the
      # fuzzers (all of them), the shared library and a C program that loads it.
      CC=clang CXX=clang++ cmake -S . -B "$dir" -G Ninja -DLE_CORE_BUILD_FUZZERS=ON >/dev/null
      if ! cmake --build "$dir" -j "$jobs" --target le_core c_header_test le_fuzzers; then status=1; fi
      continue ;;
    arm64)
      echo "=== arm64 cross build (tests under qemu) ==="
      bash tools/setup.sh --arm64
      # The library, its tools and tests: benchmarks and examples time or
      # show things emulation cannot, and the native build compiles them.
      cmake -S . -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$here/cmake/aarch64-linux-gnu.cmake" \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLE_CORE_BUILD_BENCH=OFF -DLE_CORE_BUILD_EXAMPLES=OFF \
        -DLE_BAKE_FIXTURES_DIR="$here/build/test-fixtures" >/dev/null
      if ! cmake --build "$dir" -j "$jobs"; then status=1; continue; fi
      # Tests labelled emulation_slow are skipped: see their CMakeLists for why.
      if ! ctest --test-dir "$dir" -j "$jobs" --output-on-failure -LE emulation_slow; then status=1; fi
      continue ;;
    *) echo "unknown build kind $kind" >&2; exit 2 ;;
  esac
  echo "=== $kind build ==="
  # The demo bundles are baked once and shared by every build kind.
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLE_CORE_BUILD_BENCH=ON \
    -DLE_BAKE_FIXTURES_DIR="$here/build/test-fixtures" "${flags[@]}" >/dev/null
  cmake --build "$dir" -j "$jobs"
  export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
  export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
  # FFmpeg and ONNX Runtime are not instrumented: without
  # ignore_noninstrumented_modules every one of their memory accesses is
  # intercepted and the inference-heavy tests run many times slower.
  export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1:ignore_noninstrumented_modules=1}
  if ! ctest --test-dir "$dir" -j "$jobs" --output-on-failure; then status=1; fi
done
exit $status
