// Run-time choice between the baseline and AVX2 builds of a kernel family.
//
// A family's source src/common/kernels/<family>.cpp wraps its definitions in
// `namespace kiro { namespace KIRO_ISA { ... } }`; its header declares them
// once per instruction set with KIRO_DECLARE_KERNELS and calls through
// KIRO_DISPATCH(fn)(args...), which picks kiro::avx2::fn on processors with
// AVX2 (x86-64 builds only) and kiro::baseline::fn elsewhere.
#pragma once

#include <opencv2/core/utility.hpp>

namespace kiro {

inline bool cpu_has_avx2() {
#if defined(KIRO_HAVE_AVX2)
    static const bool has = cv::checkHardwareSupport(CV_CPU_AVX2) && cv::checkHardwareSupport(CV_CPU_FMA3);
    return has;
#else
    return false;
#endif
}

}  // namespace kiro

#if defined(KIRO_HAVE_AVX2)
#define KIRO_DECLARE_KERNELS(...)       \
    namespace kiro {                    \
    namespace baseline { __VA_ARGS__ }  \
    namespace avx2 { __VA_ARGS__ }      \
    }
#define KIRO_DISPATCH(fn) (::kiro::cpu_has_avx2() ? &::kiro::avx2::fn : &::kiro::baseline::fn)
#else
#define KIRO_DECLARE_KERNELS(...)       \
    namespace kiro {                    \
    namespace baseline { __VA_ARGS__ }  \
    }
#define KIRO_DISPATCH(fn) (&::kiro::baseline::fn)
#endif
