#include "ivf_rabitq/common/simd.hpp"

#include <cstdlib>
#include <cstring>

namespace ivf_rabitq::simd {

const char* level_name(Level l) {
  switch (l) {
    case Level::Scalar: return "scalar";
    case Level::Avx2: return "avx2";
    case Level::Avx512: return "avx512";
  }
  return "scalar";
}

Level cpu_level() {
#if defined(__x86_64__)
  static const Level lvl = [] {
    __builtin_cpu_init();
    bool avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma") &&
                __builtin_cpu_supports("bmi2") && __builtin_cpu_supports("popcnt");
    bool avx512 = avx2 && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                  __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512dq") &&
                  __builtin_cpu_supports("avx512cd") && __builtin_cpu_supports("avx512vpopcntdq");
    return avx512 ? Level::Avx512 : (avx2 ? Level::Avx2 : Level::Scalar);
  }();
  return lvl;
#else
  return Level::Scalar;
#endif
}

bool cpu_supports(Level l) { return static_cast<int>(l) <= static_cast<int>(cpu_level()); }

Level active_level() {
  static const Level lvl = [] {
    Level l = cpu_level();
    if (const char* v = std::getenv("TANDREL_SIMD")) {
      Level want = l;
      if (std::strcmp(v, "scalar") == 0) want = Level::Scalar;
      else if (std::strcmp(v, "avx2") == 0) want = Level::Avx2;
      else if (std::strcmp(v, "avx512") == 0) want = Level::Avx512;
      if (cpu_supports(want)) l = want;
    }
    return l;
  }();
  return lvl;
}

std::vector<Level> supported_levels() {
  std::vector<Level> out{Level::Scalar};
  if (cpu_supports(Level::Avx2)) out.push_back(Level::Avx2);
  if (cpu_supports(Level::Avx512)) out.push_back(Level::Avx512);
  return out;
}

}  // namespace ivf_rabitq::simd
