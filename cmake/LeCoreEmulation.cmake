# Running the project's own programs when they are built for another processor
# (a cross build whose toolchain sets CMAKE_CROSSCOMPILING_EMULATOR, such as
# cmake/aarch64-linux-gnu.cmake). ctest already puts the emulator in front of
# a test whose command is a target; these helpers cover the programs that
# scripts start, and the per-processor runs of the vector-kernel tests.

# le_host_command(<var> <target>)
# Sets <var> to a path a script on the build host can execute to run <target>:
# the program itself, or in a cross build a small wrapper that starts it
# through the emulator.
function(le_host_command var target)
  if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
    set(${var} "$<TARGET_FILE:${target}>" PARENT_SCOPE)
    return()
  endif()
  set(_command "")
  foreach(_word IN LISTS CMAKE_CROSSCOMPILING_EMULATOR)
    string(APPEND _command "'${_word}' ")
  endforeach()
  set(_wrapper "${CMAKE_BINARY_DIR}/emulated/${target}")
  file(GENERATE OUTPUT "${_wrapper}"
       CONTENT "#!/bin/sh\nexec ${_command}'$<TARGET_FILE:${target}>' \"$@\"\n"
       FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                        WORLD_READ WORLD_EXECUTE)
  set(${var} "${_wrapper}" PARENT_SCOPE)
endfunction()

# Processor models the vector-kernel tests run on in an emulated arm64 build,
# as <name>=<qemu -cpu value> (commas inside the value separate CPU
# properties). Between them they reach every target Highway compiles for
# arm64: plain NEON (cortex-a53), NEON with fp16 arithmetic and dot product
# (cortex-a76), SVE without SVE2 (a64fx, 512-bit), and SVE2 at 128 and 256
# bits ("max"). The ordinary run of every test uses "max" at its default
# 512-bit vector length.
set(LE_EMULATED_CPUS
    "a53=cortex-a53" "a76=cortex-a76" "a64fx=a64fx"
    "sve128=max,sve-default-vector-length=16" "sve256=max,sve-default-vector-length=32"
    CACHE STRING "name=qemu CPU model pairs the kernel tests also run on under emulation")

# le_add_emulated_cpu_runs(<test program target> [ARGS ...] [LABELS ...])
# In an emulated arm64 build, runs the test program (with ARGS, typically a
# --gtest_filter for its kernel cases) once more per processor model of
# LE_EMULATED_CPUS, as the tests <target>.<name>. Elsewhere
# it does nothing: on the build's own processor the program's per-target test
# instances already cover every target that processor supports.
function(le_add_emulated_cpu_runs target)
  cmake_parse_arguments(A "" "" "ARGS;LABELS" ${ARGN})
  if(NOT CMAKE_CROSSCOMPILING_EMULATOR OR NOT CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64)$")
    return()
  endif()
  if(NOT A_LABELS)
    set(A_LABELS quick)
  endif()
  foreach(_pair IN LISTS LE_EMULATED_CPUS)
    string(FIND "${_pair}" "=" _at)
    string(SUBSTRING "${_pair}" 0 ${_at} _name)
    math(EXPR _at "${_at} + 1")
    string(SUBSTRING "${_pair}" ${_at} -1 _cpu)
    add_test(NAME ${target}.${_name} COMMAND ${target} ${A_ARGS})
    set_tests_properties(${target}.${_name} PROPERTIES LABELS "${A_LABELS};emulated_cpu"
      ENVIRONMENT "QEMU_CPU=${_cpu};LE_TEST_TMP=${CMAKE_CURRENT_BINARY_DIR}/tmp")
  endforeach()
endfunction()

# le_emulation_label(<var> <label>)
# Sets <var> to <label>, or in an emulated build to emulation_slow, which
# tools/test.sh leaves out of the emulated run. For tests that cost many
# minutes under emulation or check nothing of the cross build (the host's own
# scripts over host files); the reason stands next to each use. Tests
# discovered from a GoogleTest program carry a single label, so the label is
# replaced rather than added.
function(le_emulation_label var label)
  if(CMAKE_CROSSCOMPILING_EMULATOR)
    set(${var} emulation_slow PARENT_SCOPE)
  else()
    set(${var} ${label} PARENT_SCOPE)
  endif()
endfunction()
