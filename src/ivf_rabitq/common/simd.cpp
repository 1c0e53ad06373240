#include "ivf_rabitq/common/simd.hpp"

#include "ivf_rabitq/common/env.hpp"

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
    // The value is taken exactly as it is (no trimming); anything else keeps the CPU's level.
    if (const auto v = env::get("TANDREL_SIMD")) {
      Level want = l;
      if (*v == "scalar") want = Level::Scalar;
      else if (*v == "avx2") want = Level::Avx2;
      else if (*v == "avx512") want = Level::Avx512;
      if (cpu_supports(want)) l = want;
    }
    return l;
  }();
  return lvl;
}

bool cpu_has_vnni() {
#if defined(__x86_64__)
  static const bool has = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512vnni") != 0;
  }();
  return has;
#else
  return false;
#endif
}

bool cpu_has_vbmi() {
#if defined(__x86_64__)
  static const bool has = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512vbmi") != 0;
  }();
  return has;
#else
  return false;
#endif
}

bool has_vnni(Level level) { return level == Level::Avx512 && cpu_supports(level) && cpu_has_vnni(); }
bool has_vbmi(Level level) { return level == Level::Avx512 && cpu_supports(level) && cpu_has_vbmi(); }

std::vector<Level> supported_levels() {
  std::vector<Level> out{Level::Scalar};
  if (cpu_supports(Level::Avx2)) out.push_back(Level::Avx2);
  if (cpu_supports(Level::Avx512)) out.push_back(Level::Avx512);
  return out;
}

}  // namespace ivf_rabitq::simd
