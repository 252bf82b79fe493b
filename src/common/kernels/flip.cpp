// Flip kernels (see common/flip.hpp): rows copied in reverse order for a
// vertical flip, elements of each row reversed for a horizontal one, in
// vector registers for elements of 1, 2, 3, 4, 6, 8 and 12 bytes.
#include <opencv2/core.hpp>
#include <opencv2/core/hal/intrin.hpp>

#include <cstdint>
#include <cstring>

namespace kiro {
namespace KIRO_ISA {

using namespace cv;

namespace {

#if CV_SIMD
template <class T> struct Vec;
template <> struct Vec<uint8_t> { using type = v_uint8; };
template <> struct Vec<uint16_t> { using type = v_uint16; };
template <> struct Vec<uint32_t> { using type = v_uint32; };
template <> struct Vec<uint64_t> { using type = v_uint64; };
#endif

// Reverses n elements of CN lanes of T: one vector (or CN deinterleaved
// vectors) from the far end of src at a time, the middle leftover by
// element copies.
template <class T, int CN>
void reverse_row(const T* src, T* dst, int n) {
    int i = 0;
#if CV_SIMD
    using V = typename Vec<T>::type;
    const int lanes = V::nlanes;
    for (; i + lanes <= n; i += lanes) {
        const T* s = src + static_cast<ptrdiff_t>(n - i - lanes) * CN;
        T* d = dst + static_cast<ptrdiff_t>(i) * CN;
        if constexpr (CN == 1) {
            v_store(d, v_reverse(vx_load(s)));
        } else {
            V a, b, c;
            v_load_deinterleave(s, a, b, c);
            v_store_interleave(d, v_reverse(a), v_reverse(b), v_reverse(c));
        }
    }
#endif
    for (; i < n; ++i) std::memcpy(dst + static_cast<ptrdiff_t>(i) * CN, src + static_cast<ptrdiff_t>(n - 1 - i) * CN,
                                   sizeof(T) * CN);
}

}  // namespace

void flip_rows(const uint8_t* src, size_t src_step, int rows, int cols, int elem, uint8_t* dst, size_t dst_step,
               bool horizontal, bool vertical, int y0, int y1) {
    for (int y = y0; y < y1; ++y) {
        const uint8_t* s = src + static_cast<ptrdiff_t>(vertical ? rows - 1 - y : y) * static_cast<ptrdiff_t>(src_step);
        uint8_t* d = dst + static_cast<ptrdiff_t>(y) * static_cast<ptrdiff_t>(dst_step);
        if (!horizontal) {
            std::memcpy(d, s, static_cast<size_t>(cols) * elem);
            continue;
        }
        switch (elem) {
            case 1: reverse_row<uint8_t, 1>(s, d, cols); break;
            case 2: reverse_row<uint16_t, 1>(reinterpret_cast<const uint16_t*>(s), reinterpret_cast<uint16_t*>(d), cols); break;
            case 3: reverse_row<uint8_t, 3>(s, d, cols); break;
            case 4: reverse_row<uint32_t, 1>(reinterpret_cast<const uint32_t*>(s), reinterpret_cast<uint32_t*>(d), cols); break;
            case 6: reverse_row<uint16_t, 3>(reinterpret_cast<const uint16_t*>(s), reinterpret_cast<uint16_t*>(d), cols); break;
            case 8: reverse_row<uint64_t, 1>(reinterpret_cast<const uint64_t*>(s), reinterpret_cast<uint64_t*>(d), cols); break;
            case 12: reverse_row<uint32_t, 3>(reinterpret_cast<const uint32_t*>(s), reinterpret_cast<uint32_t*>(d), cols); break;
            default:
                for (int x = 0; x < cols; ++x)
                    std::memcpy(d + static_cast<size_t>(x) * elem, s + static_cast<size_t>(cols - 1 - x) * elem, elem);
        }
    }
}

}  // namespace KIRO_ISA
}  // namespace kiro
