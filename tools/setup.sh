#!/usr/bin/env bash
# Installs everything le_core needs to build, test and benchmark on Debian 12:
# the Debian packages, then ONNX Runtime (runtime library from the onnxruntime-node
# npm package, C/C++ headers from Debian 13's libonnxruntime-dev).
#
# Idempotent: packages already present are not reinstalled, and the ONNX Runtime
# downloads are cached under $LE_DEPS_DIR (default ~/.cache/le_core), so a second
# run does no network traffic.
#
#   tools/setup.sh            build + test dependencies
#   tools/setup.sh --bench    also the benchmark baselines (OpenCV)
#   tools/setup.sh --arm64    also the arm64 cross build: the aarch64 cross
#                             compiler, arm64 multiarch libraries, qemu-user-static
#                             and the arm64 ONNX Runtime
#   tools/setup.sh --print-ort-root   print the ONNX Runtime prefix and exit
#                             (with --arm64: the arm64 prefix)
set -euo pipefail

ORT_VERSION="${LE_ORT_VERSION:-1.30.0}"
ORT_HEADERS_SUITE="trixie"
DEPS_DIR="${LE_DEPS_DIR:-$HOME/.cache/le_core}"
ORT_ROOT="$DEPS_DIR/onnxruntime-$ORT_VERSION"

ORT_ROOT_ARM64="$DEPS_DIR/onnxruntime-$ORT_VERSION-arm64"

want_bench=0
want_arm64=0
print_root=0
for arg in "$@"; do
  case "$arg" in
    --bench) want_bench=1 ;;
    --arm64) want_arm64=1 ;;
    --print-ort-root) print_root=1 ;;
    *) echo "setup: unknown argument $arg" >&2; exit 2 ;;
  esac
done
if [ "$print_root" = 1 ]; then
  if [ "$want_arm64" = 1 ]; then echo "$ORT_ROOT_ARM64"; else echo "$ORT_ROOT"; fi
  exit 0
fi

log() { echo "[setup] $*" >&2; }

SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO="sudo"; fi

packages=(
  build-essential cmake ninja-build pkg-config clang libclang-rt-14-dev
  libavformat-dev libavcodec-dev libavutil-dev libswscale-dev libswresample-dev
  libhwy-dev libstb-dev libgtest-dev libgmock-dev libbenchmark-dev
  python3 python3-numpy python3-onnx python3-torch ffmpeg espeak-ng
  curl ca-certificates npm
)
if [ "$want_bench" = 1 ]; then packages+=(libopencv-dev); fi

# The arm64 cross build: the host's compiler and emulator, and the target's
# libraries as multiarch packages (the same -dev packages the host build uses).
if [ "$want_arm64" = 1 ]; then
  packages+=(g++-aarch64-linux-gnu qemu-user-static)
  for p in libavformat-dev libavcodec-dev libavutil-dev libswscale-dev libswresample-dev \
           libhwy-dev libstb-dev libgtest-dev libgmock-dev libbenchmark-dev; do
    packages+=("$p:arm64")
  done
fi

# A name without an architecture is the host's (or an "all" package); with a
# foreign architecture enabled dpkg-query lists every architecture's copy.
native_arch=$(dpkg --print-architecture)
installed() {
  local want=$native_arch name=$1
  case "$name" in *:*) want=${name#*:} ;; esac
  dpkg-query -W -f='${Architecture} ${Status}\n' "$name" 2>/dev/null |
    grep -Eq "^($want|all) install ok installed$"
}
missing=()
for p in "${packages[@]}"; do
  # npm may come from another source (nodesource, nvm); accept any working npm.
  if [ "$p" = npm ] && command -v npm >/dev/null 2>&1; then continue; fi
  installed "$p" || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  log "installing Debian packages: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  if [ "$want_arm64" = 1 ] && ! dpkg --print-foreign-architectures | grep -qx arm64; then
    $SUDO dpkg --add-architecture arm64
  fi
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
else
  log "Debian packages present"
fi

case "$(uname -m)" in
  x86_64) ort_arch=x64; deb_arch=amd64 ;;
  aarch64|arm64) ort_arch=arm64; deb_arch=arm64 ;;
  *) echo "setup: no prebuilt ONNX Runtime for $(uname -m); build with -DONNXRUNTIME_ROOT=..." >&2; exit 1 ;;
esac

mkdir -p "$DEPS_DIR"

# Runtime library: shipped inside the onnxruntime-node package, one build per
# architecture. unpack_ort_lib <onnxruntime-node arch> <prefix>
unpack_ort_lib() {
  local arch=$1 root=$2
  [ -f "$root/lib/libonnxruntime.so.1" ] && return 0
  local tgz="$DEPS_DIR/onnxruntime-node-$ORT_VERSION.tgz"
  if [ ! -f "$tgz" ]; then
    log "fetching onnxruntime-node $ORT_VERSION"
    local dl
    dl=$(mktemp -d)
    (cd "$dl" && npm pack --silent "onnxruntime-node@$ORT_VERSION" >/dev/null)
    mv "$dl/onnxruntime-node-$ORT_VERSION.tgz" "$tgz.tmp"
    mv "$tgz.tmp" "$tgz"
    rm -rf "$dl"
  fi
  local tmp
  tmp=$(mktemp -d)
  tar -xzf "$tgz" -C "$tmp" "package/bin/napi-v6/linux/$arch/libonnxruntime.so.1"
  mkdir -p "$root/lib"
  cp "$tmp/package/bin/napi-v6/linux/$arch/libonnxruntime.so.1" "$root/lib/"
  ln -sf libonnxruntime.so.1 "$root/lib/libonnxruntime.so"
  rm -rf "$tmp"
}
unpack_ort_lib "$ort_arch" "$ORT_ROOT"

# Headers: Debian 13's libonnxruntime-dev, fetched through a private apt
# configuration whose source line reuses this machine's own mirror URI.
if [ ! -f "$ORT_ROOT/include/onnxruntime_cxx_api.h" ]; then
  deb=$(ls "$DEPS_DIR"/libonnxruntime-dev_*.deb 2>/dev/null | head -n1 || true)
  if [ -z "$deb" ]; then
    uri=""
    for f in /etc/apt/sources.list.d/debian.sources /etc/apt/sources.list.d/*.sources; do
      [ -f "$f" ] || continue
      uri=$(awk '/^URIs:/ {print $2; exit}' "$f")
      [ -n "$uri" ] && break
    done
    if [ -z "$uri" ] && [ -f /etc/apt/sources.list ]; then
      uri=$(awk '$1=="deb" {print $2; exit}' /etc/apt/sources.list)
    fi
    [ -n "$uri" ] || { echo "setup: cannot find a Debian mirror URI in the apt sources" >&2; exit 1; }
    apt_root="$DEPS_DIR/apt-$ORT_HEADERS_SUITE"
    mkdir -p "$apt_root/lists/partial" "$apt_root/cache/archives/partial" "$apt_root/etc"
    echo "deb [trusted=yes] $uri $ORT_HEADERS_SUITE main" > "$apt_root/etc/sources.list"
    opts=(-o "Dir::Etc::SourceList=$apt_root/etc/sources.list" -o "Dir::Etc::SourceParts=-"
          -o "Dir::State::Lists=$apt_root/lists" -o "Dir::Cache=$apt_root/cache"
          -o "Dir::State::Status=/dev/null" -o "APT::Architecture=$deb_arch"
          -o "Debug::NoLocking=1" -o "APT::Sandbox::User=root")
    log "fetching libonnxruntime-dev headers ($ORT_HEADERS_SUITE)"
    apt-get "${opts[@]}" update -qq >/dev/null
    (cd "$DEPS_DIR" && apt-get "${opts[@]}" download libonnxruntime-dev >/dev/null)
    deb=$(ls "$DEPS_DIR"/libonnxruntime-dev_*.deb | head -n1)
  fi
  tmp=$(mktemp -d)
  dpkg-deb -x "$deb" "$tmp"
  hdr=$(dirname "$(find "$tmp" -name onnxruntime_cxx_api.h | head -n1)")
  mkdir -p "$ORT_ROOT/include"
  cp -r "$hdr"/. "$ORT_ROOT/include/"
  rm -rf "$tmp"
fi

log "ONNX Runtime $ORT_VERSION at $ORT_ROOT"

# The arm64 prefix for the cross build: its own library, the same headers.
if [ "$want_arm64" = 1 ]; then
  unpack_ort_lib arm64 "$ORT_ROOT_ARM64"
  if [ ! -f "$ORT_ROOT_ARM64/include/onnxruntime_cxx_api.h" ]; then
    mkdir -p "$ORT_ROOT_ARM64/include"
    cp -r "$ORT_ROOT/include"/. "$ORT_ROOT_ARM64/include/"
  fi
  log "ONNX Runtime $ORT_VERSION (arm64) at $ORT_ROOT_ARM64"
fi
