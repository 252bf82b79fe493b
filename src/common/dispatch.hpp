// Run-time choice between the baseline and AVX2 builds of a kernel family.
//
// A family's source src/common/kernels/<family>.cpp wraps its definitions in
// `namespace kiro { namespace KIRO_ISA { ... } }`; its header declares them
// once per instruction set with KIRO_DECLARE_KERNELS and calls through
// KIRO_DISPATCH(fn)(args...), which picks kiro::avx2::fn on processors with
// AVX2 (x86-64 builds only) and kiro::baseline::fn elsewhere.
#pragma once

#include <opencv2/core/utility.hpp>

// The AVX2 copy of a kernel source must see OpenCV's 256-bit universal
// intrinsics (CMakeLists.txt sets the CV_<isa> macros for it).
#if defined(KIRO_ISA_AVX2)
#include <opencv2/core/hal/intrin.hpp>
static_assert(CV_SIMD256, "AVX2 kernels built without the 256-bit universal intrinsics");
#endif

namespace kiro {

inline bool cpu_has_avx2() {
#if defined(KIRO_HAVE_AVX2)
    static const bool has = cv::checkHardwareSupport(CV_CPU_AVX2) && cv::checkHardwareSupport(CV_CPU_FMA3);
    return has;
#else
    return false;
#endif
}

// Name of the kernel build that KIRO_DISPATCH picks on this processor.
inline const char* kernel_isa() { return cpu_has_avx2() ? "avx2" : "baseline"; }

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
