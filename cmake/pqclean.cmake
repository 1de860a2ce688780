# ML-DSA-65 comes from PQClean's reference ("clean") sources, which the npm
# registry ships in the `pqclean` package. deps/package-lock.json pins the exact
# tarball by integrity hash.
#
# A source release carries the files the build needs, taken from that package
# when the release was made, in deps/pqclean/ (see setup.py); they are used as
# they are, without npm. A git checkout has no such directory:
# `npm ci --ignore-scripts` unpacks the package into the build tree without
# running its native build. The sources are never committed.
set(_lock ${CMAKE_SOURCE_DIR}/deps/package-lock.json)
file(SHA256 ${_lock} _lock_hash)
set(_released ${CMAKE_SOURCE_DIR}/deps/pqclean)
if(VESTREL_PQCLEAN_ROOT)
  # Another build's tree, already fetched from the same lock file: the
  # constant-time check's MemorySanitizer build takes its parent's.
  set(PQCLEAN_ROOT ${VESTREL_PQCLEAN_ROOT})
elseif(EXISTS ${_released}/LOCK_SHA256)
  file(STRINGS ${_released}/LOCK_SHA256 _released_hash LIMIT_COUNT 1)
  if(NOT "${_released_hash}" STREQUAL "${_lock_hash}")
    message(FATAL_ERROR "deps/pqclean was taken from another deps/package-lock.json; "
                        "remove it to fetch the pinned sources with npm")
  endif()
  set(PQCLEAN_ROOT ${_released}/deps/PQClean)
  message(STATUS "Using the ML-DSA sources shipped in deps/pqclean")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${_released}/LOCK_SHA256)
else()
  set(VESTREL_NPM_DIR ${CMAKE_BINARY_DIR}/npm)
  set(PQCLEAN_ROOT ${VESTREL_NPM_DIR}/node_modules/pqclean/deps/PQClean)
  if(NOT EXISTS ${PQCLEAN_ROOT}/crypto_sign/ml-dsa-65/clean/sign.c
     OR NOT "${_lock_hash}" STREQUAL "${VESTREL_NPM_LOCK_HASH}")
    find_program(NPM npm REQUIRED)
    file(MAKE_DIRECTORY ${VESTREL_NPM_DIR})
    configure_file(${CMAKE_SOURCE_DIR}/deps/package.json ${VESTREL_NPM_DIR}/package.json COPYONLY)
    configure_file(${_lock} ${VESTREL_NPM_DIR}/package-lock.json COPYONLY)
    message(STATUS "Fetching pinned PQClean sources with npm ci")
    execute_process(COMMAND ${NPM} ci --ignore-scripts --no-audit --no-fund
                    WORKING_DIRECTORY ${VESTREL_NPM_DIR}
                    RESULT_VARIABLE _npm_rc)
    if(NOT _npm_rc EQUAL 0)
      message(FATAL_ERROR "npm ci failed (${_npm_rc}); the ML-DSA sources are required")
    endif()
    set(VESTREL_NPM_LOCK_HASH ${_lock_hash} CACHE INTERNAL "lock file the npm tree was fetched from")
  endif()
endif()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${_lock})

set(_mldsa ${PQCLEAN_ROOT}/crypto_sign/ml-dsa-65/clean)

# The kernel's ML-DSA backends compile the `clean` sources themselves, inside
# their own translation unit (kernel/src/crypto/mldsa65_backend.cc), and bring their
# own SHAKE; they take only the include paths from here.
add_library(pqclean_mldsa65_sources INTERFACE)
target_include_directories(pqclean_mldsa65_sources SYSTEM INTERFACE ${_mldsa} ${PQCLEAN_ROOT}/common)

# PQClean's four Keccak-f[1600] permutations at once in AVX2 registers, as
# shipped: the benchmark's baseline for the AVX2 backend's own (keccak_x4.h).
# Nothing in the kernel links it; only an x86-64 build has it.
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
  add_library(pqclean_keccak4x STATIC EXCLUDE_FROM_ALL
    ${PQCLEAN_ROOT}/common/keccak4x/KeccakP-1600-times4-SIMD256.c)
  target_include_directories(pqclean_keccak4x SYSTEM PUBLIC ${PQCLEAN_ROOT}/common/keccak4x)
  target_compile_options(pqclean_keccak4x PRIVATE -O3 -mavx2 -w)
endif()

# PQClean's own top-level functions, compiled as shipped: the benchmark's
# baseline. Nothing in the kernel links them, so only a target that does (the
# benchmark, the no-allocation test) has them built.
add_library(pqclean_mldsa65 STATIC EXCLUDE_FROM_ALL
  ${_mldsa}/ntt.c
  ${_mldsa}/packing.c
  ${_mldsa}/poly.c
  ${_mldsa}/polyvec.c
  ${_mldsa}/reduce.c
  ${_mldsa}/rounding.c
  ${_mldsa}/sign.c
  ${_mldsa}/symmetric-shake.c
  ${PQCLEAN_ROOT}/common/fips202.c
  ${PQCLEAN_ROOT}/common/randombytes.c)
target_include_directories(pqclean_mldsa65 SYSTEM PUBLIC ${_mldsa} ${PQCLEAN_ROOT}/common)
target_compile_options(pqclean_mldsa65 PRIVATE ${VESTREL_MLDSA_OPTIMIZE} -w)
set_target_properties(pqclean_mldsa65 PROPERTIES C_STANDARD 99)
