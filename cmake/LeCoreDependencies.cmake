# Third-party dependencies: ONNX Runtime, FFmpeg, Highway, stb, threads.
find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)

pkg_check_modules(FFMPEG REQUIRED IMPORTED_TARGET
  libavformat libavcodec libavutil libswscale)
pkg_check_modules(HWY REQUIRED IMPORTED_TARGET libhwy)

find_path(STB_INCLUDE_DIR stb_image.h PATH_SUFFIXES stb REQUIRED)
add_library(le_stb INTERFACE)
target_include_directories(le_stb SYSTEM INTERFACE "${STB_INCLUDE_DIR}")

find_package(ONNXRuntime REQUIRED)

# Everything the components may use, in one target: components that need a
# dependency link le_deps; the shared library links it as a whole.
add_library(le_deps INTERFACE)
target_link_libraries(le_deps INTERFACE
  ONNXRuntime::ONNXRuntime PkgConfig::FFMPEG PkgConfig::HWY le_stb Threads::Threads)
