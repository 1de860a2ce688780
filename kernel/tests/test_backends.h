// The ML-DSA-65 backends a test can run on this CPU.
#pragma once

#include <vector>

#include "crypto/mldsa65_backend.h"

namespace vestrel::mldsa65 {

// The portable backend always; each vector backend the build has and this
// CPU (and OS) can run.
inline std::vector<const Backend*> runnable_backends() {
  std::vector<const Backend*> backends{&portable::kBackend};
#if VESTREL_MLDSA65_HAS_AVX2_BACKEND
  if (cpu_runs_avx2_backend()) backends.push_back(&avx2::kBackend);
#endif
#if VESTREL_MLDSA65_HAS_AVX512_BACKEND
  if (cpu_runs_avx512_backend()) backends.push_back(&avx512::kBackend);
#endif
  return backends;
}

}  // namespace vestrel::mldsa65
