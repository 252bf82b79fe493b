// Crop to mask content: the rows and columns holding labelled pixels, widened
// by a padding clipped to the mask, cut out of the image as a view.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

#include "common/arrays.hpp"
#include "common/errors.hpp"
#include "common/kinds.hpp"

namespace py = pybind11;

namespace {

// First and last index of the content rows and columns; first < 0 when none.
struct Extent {
    long long top = -1, bottom = -1, left = -1, right = -1;
};

template <class T>
const T* row_ptr(const char* base, py::ssize_t stride, long long r) {
    return reinterpret_cast<const T*>(base + r * stride);
}

// OR passes over bytes, written for the compiler's vectoriser; built for AVX2
// as well as the baseline, the better one chosen when the module loads.
#define KIRO_CLONES __attribute__((target_clones("avx2", "default"), optimize("O3")))

KIRO_CLONES bool bytes_any(const uint8_t* p, size_t n) {
    uint8_t t = 0;
    for (size_t i = 0; i < n; ++i) t |= p[i];
    return t != 0;
}

// acc |= rows[0] | ... | rows[k - 1], k <= 8, each row n bytes.
KIRO_CLONES void bytes_or(uint8_t* __restrict acc, const uint8_t* const* rows, int k, size_t n) {
    const uint8_t* r[8];
    for (int j = 0; j < 8; ++j) r[j] = rows[j < k ? j : 0];
    for (size_t i = 0; i < n; ++i)
        acc[i] |= static_cast<uint8_t>(r[0][i] | r[1][i] | r[2][i] | r[3][i] | r[4][i] | r[5][i] | r[6][i] | r[7][i]);
}

// Unsigned (and boolean) masks: a row or column sum is non-zero exactly when
// one of its values is, i.e. when one of its bytes is. Rows outside the
// first..last content rows are all zero, so only the rows in between are ORed
// together for the columns.
Extent unsigned_extent(const char* base, py::ssize_t stride, long long h, long long w, size_t item) {
    Extent e;
    const size_t row_bytes = static_cast<size_t>(w) * item;
    auto row = [&](long long r) { return reinterpret_cast<const uint8_t*>(base + r * stride); };
    long long top = 0;
    while (top < h && !bytes_any(row(top), row_bytes)) ++top;
    if (top == h) return e;
    long long bottom = h - 1;
    while (bottom > top && !bytes_any(row(bottom), row_bytes)) --bottom;
    std::vector<uint8_t> cols(row_bytes, 0);
    for (long long r = top; r <= bottom; r += 8) {
        const uint8_t* rows[8];
        const int k = static_cast<int>(std::min(8LL, bottom + 1 - r));
        for (int j = 0; j < k; ++j) rows[j] = row(r + j);
        bytes_or(cols.data(), rows, k, row_bytes);
    }
    auto col_any = [&](long long c) { return bytes_any(cols.data() + c * item, item); };
    long long left = 0;
    while (!col_any(left)) ++left;
    long long right = w - 1;
    while (!col_any(right)) --right;
    return {top, bottom, left, right};
}

// Signed and real masks: full row and column sums in a type that does not
// wrap (values of opposite sign may cancel, as sums do).
template <class T, class Acc>
Extent summed_extent(const char* base, py::ssize_t stride, long long h, long long w) {
    Extent e;
    std::vector<Acc> cols(static_cast<size_t>(w), Acc(0));
    for (long long r = 0; r < h; ++r) {
        const T* p = row_ptr<T>(base, stride, r);
        Acc* acc = cols.data();
        Acc sum = 0;
        for (long long c = 0; c < w; ++c) {
            sum += static_cast<Acc>(p[c]);
            acc[c] += static_cast<Acc>(p[c]);
        }
        if (sum != Acc(0)) {
            if (e.top < 0) e.top = r;
            e.bottom = r;
        }
    }
    for (long long c = 0; c < w; ++c)
        if (cols[c] != Acc(0)) {
            if (e.left < 0) e.left = c;
            e.right = c;
        }
    if (e.left < 0 || e.top < 0) return Extent{};
    return e;
}

template <class T>
Extent content_extent(const char* base, py::ssize_t stride, long long h, long long w) {
    if constexpr (std::is_same_v<T, bool> || std::is_unsigned_v<T>) {
        return unsigned_extent(base, stride, h, w, sizeof(T));
    } else if constexpr (std::is_floating_point_v<T>) {
        return summed_extent<T, double>(base, stride, h, w);
    } else if constexpr (sizeof(T) == 8) {
        return summed_extent<T, __int128>(base, stride, h, w);
    } else {
        return summed_extent<T, int64_t>(base, stride, h, w);
    }
}

Extent mask_extent(const py::array& mask_in) {
    const char kind = mask_in.dtype().kind();
    if (kind != 'b' && kind != 'u' && kind != 'i' && kind != 'f')
        throw py::type_error("faltor: mask must hold integers, booleans or reals, got " +
                             std::string(py::str(mask_in.dtype())));
    const py::array mask = kiro::packed(mask_in);
    const long long h = mask.shape(0), w = mask.shape(1);
    const char* base = static_cast<const char*>(mask.data());
    const py::ssize_t stride = mask.strides(0);
    if (h == 0 || w == 0) return Extent{};
    return kiro::dispatch_dtype(mask.dtype(), "mask", [&](auto tag) {
        using T = decltype(tag);
        py::gil_scoped_release nogil;
        return content_extent<T>(base, stride, h, w);
    });
}

// Padding as a non-negative count; values beyond any array size saturate.
long long padding_arg(py::handle padding) {
    if (!kiro::is_integer(padding))
        throw py::type_error("faltor: padding must be an integer, got " +
                             std::string(py::str(py::type::handle_of(padding).attr("__name__"))));
    py::int_ value(py::reinterpret_borrow<py::object>(padding));
    int overflow = 0;
    long long p = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    if (overflow > 0) p = LLONG_MAX / 4;
    if (overflow < 0 || p < 0) throw py::value_error("faltor: padding must be >= 0");
    return std::min(p, LLONG_MAX / 4);
}

}  // namespace

py::tuple faltor(py::object image, py::object mask, py::object padding) {
    py::array img = kiro::as_ndarray(image, "image");
    py::array msk = kiro::as_ndarray(mask, "mask");
    if (msk.ndim() != 2)
        throw py::value_error("faltor: mask must have 2 axes (height, width), got " + std::to_string(msk.ndim()));
    if (img.ndim() < 2)
        throw py::value_error("faltor: image must have at least 2 axes, got " + std::to_string(img.ndim()));
    const long long pad = padding_arg(padding);
    const long long h = msk.shape(0), w = msk.shape(1);

    const Extent e = mask_extent(msk);
    if (e.top < 0) throw py::index_error("index 0 is out of bounds for axis 0 with size 0");

    const long long up = std::max(e.top - pad, 0LL);
    const long long down = std::min(e.bottom + 1 + pad, h);
    const long long left = std::max(e.left - pad, 0LL);
    const long long right = std::min(e.right + 1 + pad, w);

    // Basic slicing keeps the crop a view of `image` (cut short at its border).
    py::tuple index = py::make_tuple(py::slice(up, down, 1), py::slice(left, right, 1));
    py::object crop = img[index];
    py::list box;
    for (long long v : {up, left, down - up, right - left}) box.append(v);
    return py::make_tuple(crop, box);
}

PYBIND11_MODULE(faltor, m) {
    kiro::register_errors();
    m.def("faltor", &faltor, py::arg("image"), py::arg("mask"), py::arg("padding"),
          R"doc(Crop `image` to the rows and columns of `mask` that hold content.

Content rows and columns are those whose sum of mask values is non-zero (the
non-zero pixels for a non-negative mask; sums do not wrap). The extent is
widened by `padding` on every side and clipped to the mask:
up = max(first row - padding, 0), down = min(last row + 1 + padding, h), and
likewise left / right for the columns.

Returns (image[up:down, left:right], [up, left, down - up, right - left]). The
crop is a view of `image`; neither input is modified. A mask without content
raises IndexError.)doc");
}
