// Runtime CPU dispatch. Every SIMD kernel has a scalar reference and AVX2 / AVX-512
// variants (in *_avx2.cpp / *_avx512.cpp files, the only files compiled with those ISA
// flags). The level is chosen once per process from the CPU features; the environment
// variable TANDREL_SIMD (scalar | avx2 | avx512) forces a lower level for tests and
// benchmarks (a level the CPU lacks is never selected).
#pragma once

#include <cstdint>
#include <vector>

namespace ivf_rabitq::simd {

enum class Level : uint8_t { Scalar = 0, Avx2 = 1, Avx512 = 2 };

const char* level_name(Level l);
// Highest level the CPU (and OS) supports.
Level cpu_level();
// The level used by this process (latched at first call).
Level active_level();
// Every level this CPU supports, lowest first (for tests that compare variants).
std::vector<Level> supported_levels();
bool cpu_supports(Level l);

// AVX-512 extensions that some kernels use on top of the Avx512 level: VNNI (vpdpbusd, byte
// dot products) and VBMI (vpermb, byte permutes). cpu_has_* says what the CPU has (tests that
// run a kernel directly); has_*(level) whether the kernels of `level` use it: only at Avx512,
// and only when the CPU supports that level, so a level forced lower by TANDREL_SIMD turns
// the extensions off with the rest.
bool cpu_has_vnni();
bool cpu_has_vbmi();
bool has_vnni(Level level);
bool has_vbmi(Level level);

// The variant of one kernel for `level`: its AVX-512, AVX2 or scalar reference function (the
// scalar reference off x86-64).
template <class Fn>
Fn pick(Level level, Fn scalar, [[maybe_unused]] Fn avx2, [[maybe_unused]] Fn avx512) {
#if defined(__x86_64__)
  switch (level) {
    case Level::Avx512: return avx512;
    case Level::Avx2: return avx2;
    case Level::Scalar: break;
  }
#else
  (void)level;
#endif
  return scalar;
}

}  // namespace ivf_rabitq::simd
