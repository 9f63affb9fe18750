# Warnings and sanitizers, applied to every target of the project.
add_compile_options(-Wall -Wextra)

if(LE_CORE_ASAN)
  set(_le_san -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_compile_options(${_le_san})
  add_link_options(${_le_san})
endif()
if(LE_CORE_TSAN)
  set(_le_san -fsanitize=thread -fno-omit-frame-pointer)
  add_compile_options(${_le_san})
  add_link_options(${_le_san})
endif()

if(LE_CORE_BUILD_FUZZERS)
  # Coverage instrumentation for every component; the fuzzer binaries add the
  # libFuzzer driver at link time.
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

# clang puts the sanitizer runtimes into programs, not into the shared library;
# a C program that loads the library must carry the C++ half of the UBSan
# runtime too (the library's C++ checks call it), and that half needs the C++
# library's type information.
if(CMAKE_C_COMPILER_ID MATCHES "Clang" AND (LE_CORE_ASAN OR LE_CORE_BUILD_FUZZERS))
  add_link_options("$<$<LINK_LANGUAGE:C>:-fsanitize-link-c++-runtime;-lstdc++>")
endif()
