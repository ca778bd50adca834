# Dependencies, all from Debian's packages. A missing one stops the
# configuration with the name of the package that provides it.
find_package(PkgConfig QUIET)

function(oz_require_lib var lib header package)
  find_library(${var}_LIB NAMES ${lib})
  find_path(${var}_INC NAMES ${header})
  if(NOT ${var}_LIB OR NOT ${var}_INC)
    message(FATAL_ERROR "${lib} not found: install the Debian package ${package} (apt-get install ${package})")
  endif()
  add_library(oz::${lib} UNKNOWN IMPORTED)
  set_target_properties(oz::${lib} PROPERTIES IMPORTED_LOCATION ${${var}_LIB}
                        INTERFACE_INCLUDE_DIRECTORIES ${${var}_INC})
endfunction()

oz_require_lib(CJSON cjson cjson/cJSON.h libcjson-dev)
oz_require_lib(CURL curl curl/curl.h libcurl4-openssl-dev)
oz_require_lib(ZLIB z zlib.h zlib1g-dev)
oz_require_lib(ZSTD zstd zstd.h libzstd-dev)

find_package(OpenSSL QUIET)
if(NOT OpenSSL_FOUND)
  message(FATAL_ERROR "OpenSSL not found: install the Debian package libssl-dev")
endif()
find_package(Threads REQUIRED)

if(OZ_BUILD_TESTS)
  find_package(GTest QUIET)
  if(NOT GTest_FOUND)
    message(FATAL_ERROR "GoogleTest not found: install the Debian packages libgtest-dev libgmock-dev")
  endif()
  include(GoogleTest)
endif()
if(OZ_BUILD_BENCH)
  find_package(benchmark QUIET)
  if(NOT benchmark_FOUND)
    message(FATAL_ERROR "Google Benchmark not found: install the Debian package libbenchmark-dev")
  endif()
endif()
