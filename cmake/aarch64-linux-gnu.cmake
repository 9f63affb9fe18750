# Cross-builds le_core for 64-bit Arm Linux on a Debian host with arm64
# multiarch packages (tools/setup.sh --arm64), and runs its programs under
# qemu's user-mode emulator:
#
#   cmake -S . -B build-arm64 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
#   ctest --test-dir build-arm64
#
# ctest runs every test program through CMAKE_CROSSCOMPILING_EMULATOR; the
# emulated processor is qemu's "max" model (SVE2, fp16 arithmetic, dot
# product) unless QEMU_CPU names another.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(LE_CROSS_TRIPLE aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${LE_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${LE_CROSS_TRIPLE}-g++)

# Multiarch: headers are shared with the host under /usr/include, libraries
# live in /usr/lib/aarch64-linux-gnu (found through the library architecture).
set(CMAKE_LIBRARY_ARCHITECTURE ${LE_CROSS_TRIPLE})
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/${LE_CROSS_TRIPLE}/pkgconfig:/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")
set(ENV{PKG_CONFIG_PATH} "")

# ONNX Runtime for arm64, unpacked by tools/setup.sh --arm64 beside the host's.
if(NOT ONNXRUNTIME_ROOT AND NOT DEFINED ENV{ONNXRUNTIME_ROOT})
  execute_process(COMMAND bash "${CMAKE_CURRENT_LIST_DIR}/../tools/setup.sh" --arm64 --print-ort-root
                  OUTPUT_VARIABLE _le_ort_arm64 OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(_le_ort_arm64)
    set(ONNXRUNTIME_ROOT "${_le_ort_arm64}" CACHE PATH "ONNX Runtime install prefix")
  endif()
endif()

# The emulator looks every absolute path up under its root (-L) first and
# falls back to the host's files, so the programs run on the arm64 multiarch
# loader and libraries (/usr/lib/aarch64-linux-gnu). The cross toolchain's
# own root (/usr/aarch64-linux-gnu) is not used: its loader is a different
# build of glibc than the multiarch libc.so.6 the loader then finds, and
# threads hang on that mix. The root holds only an Arm-style /proc/cpuinfo:
# user-mode emulation shows the host's x86 text otherwise, and ONNX Runtime's
# processor probe (cpuinfo) finds no Arm cores in it and crashes while the
# library loads.
set(_le_qemu_root "${CMAKE_BINARY_DIR}/qemu-aarch64-root")
if(NOT EXISTS "${_le_qemu_root}/proc/cpuinfo")
  cmake_host_system_information(RESULT _le_cpus QUERY NUMBER_OF_LOGICAL_CORES)
  set(_le_cpuinfo "")
  math(EXPR _le_last "${_le_cpus} - 1")
  foreach(_cpu RANGE ${_le_last})
    # A generic Armv8 core (Neoverse N1's identifiers); the instruction-set
    # features come from the emulated processor's hwcaps, not from this text.
    string(APPEND _le_cpuinfo "processor\t: ${_cpu}\nBogoMIPS\t: 50.00\nFeatures\t: fp asimd cpuid\n"
           "CPU implementer\t: 0x41\nCPU architecture: 8\nCPU variant\t: 0x3\nCPU part\t: 0xd0c\n"
           "CPU revision\t: 1\n\n")
  endforeach()
  file(WRITE "${_le_qemu_root}/proc/cpuinfo" "${_le_cpuinfo}")
endif()
find_program(LE_QEMU_AARCH64 NAMES qemu-aarch64-static qemu-aarch64 REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR "${LE_QEMU_AARCH64};-L;${_le_qemu_root}")
