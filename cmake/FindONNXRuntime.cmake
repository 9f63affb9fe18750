# Finds ONNX Runtime's C/C++ API and defines ONNXRuntime::ONNXRuntime.
#
# Search order:
#   1. ONNXRUNTIME_ROOT (CMake variable or environment): a prefix with include/
#      (onnxruntime_cxx_api.h directly or under include/onnxruntime/) and lib/.
#   2. pkg-config module libonnxruntime.
#   3. The prefix that tools/setup.sh installs into.
set(ONNXRUNTIME_ROOT "${ONNXRUNTIME_ROOT}" CACHE PATH "ONNX Runtime install prefix")
if(NOT ONNXRUNTIME_ROOT AND DEFINED ENV{ONNXRUNTIME_ROOT})
  set(ONNXRUNTIME_ROOT "$ENV{ONNXRUNTIME_ROOT}" CACHE PATH "ONNX Runtime install prefix" FORCE)
endif()

set(_ort_hint_inc "")
set(_ort_hint_lib "")
if(ONNXRUNTIME_ROOT)
  list(APPEND _ort_hint_inc "${ONNXRUNTIME_ROOT}/include" "${ONNXRUNTIME_ROOT}/include/onnxruntime"
       "${ONNXRUNTIME_ROOT}/include/onnxruntime/core/session")
  list(APPEND _ort_hint_lib "${ONNXRUNTIME_ROOT}/lib" "${ONNXRUNTIME_ROOT}/lib64")
  set(_ort_no_default NO_DEFAULT_PATH)
else()
  find_package(PkgConfig QUIET)
  if(PKG_CONFIG_FOUND)
    pkg_check_modules(PC_ONNXRUNTIME QUIET libonnxruntime)
  endif()
  if(PC_ONNXRUNTIME_FOUND)
    list(APPEND _ort_hint_inc ${PC_ONNXRUNTIME_INCLUDE_DIRS})
    list(APPEND _ort_hint_lib ${PC_ONNXRUNTIME_LIBRARY_DIRS})
  else()
    execute_process(COMMAND bash "${PROJECT_SOURCE_DIR}/tools/setup.sh" --print-ort-root
                    OUTPUT_VARIABLE _ort_setup_root OUTPUT_STRIP_TRAILING_WHITESPACE
                    ERROR_QUIET)
    if(_ort_setup_root)
      list(APPEND _ort_hint_inc "${_ort_setup_root}/include")
      list(APPEND _ort_hint_lib "${_ort_setup_root}/lib")
    endif()
  endif()
  set(_ort_no_default "")
endif()

find_path(ONNXRUNTIME_INCLUDE_DIR onnxruntime_cxx_api.h HINTS ${_ort_hint_inc} ${_ort_no_default})
find_library(ONNXRUNTIME_LIBRARY NAMES onnxruntime libonnxruntime.so.1
             HINTS ${_ort_hint_lib} ${_ort_no_default})

include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(ONNXRuntime
  REQUIRED_VARS ONNXRUNTIME_LIBRARY ONNXRUNTIME_INCLUDE_DIR
  FAIL_MESSAGE "ONNX Runtime not found: run tools/setup.sh, or pass -DONNXRUNTIME_ROOT=<prefix>")

if(ONNXRuntime_FOUND AND NOT TARGET ONNXRuntime::ONNXRuntime)
  add_library(ONNXRuntime::ONNXRuntime SHARED IMPORTED)
  set_target_properties(ONNXRuntime::ONNXRuntime PROPERTIES
    IMPORTED_LOCATION "${ONNXRUNTIME_LIBRARY}"
    INTERFACE_INCLUDE_DIRECTORIES "${ONNXRUNTIME_INCLUDE_DIR}")
  get_filename_component(ONNXRUNTIME_LIBRARY_DIR "${ONNXRUNTIME_LIBRARY}" DIRECTORY)
endif()
