# Shared by the extension build, the native tests and the benchmarks: results must be
# reproducible to the last bit, so no contraction into fused multiply-adds and no
# value-changing optimisations.
set(CMAKE_CXX_STANDARD 17)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
set(CMAKE_CXX_EXTENSIONS OFF)
if(NOT CMAKE_BUILD_TYPE)
  set(CMAKE_BUILD_TYPE Release)
endif()
add_compile_options(-O2 -ffp-contract=off -Wall -Wextra)
