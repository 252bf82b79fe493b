// Lossless PNG writing for the data set tools: rows filtered with PNG's "Up"
// filter (BGR(A) stored as RGB(A), 16-bit samples big-endian) and deflated at
// a fast level, by ISA-L's igzip where the build found it (KIRO_HAVE_ISAL),
// else by libdeflate. On photos either is several times faster than OpenCV's
// default PNG encoding, with files of about the same size or smaller.
#pragma once

#include <libdeflate.h>
#ifdef KIRO_HAVE_ISAL
#include <isa-l/igzip_lib.h>
#endif

#include <opencv2/core.hpp>
#include <opencv2/core/hal/intrin.hpp>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <vector>

namespace kiro {
namespace png {

inline void put32(std::vector<uint8_t>& out, uint32_t v) {
    const uint8_t b[4] = {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
    out.insert(out.end(), b, b + 4);
}

// Length, type, data, CRC of type and data.
inline void chunk(std::vector<uint8_t>& out, const char* type, const uint8_t* data, size_t size) {
    put32(out, static_cast<uint32_t>(size));
    const size_t at = out.size();
    out.insert(out.end(), type, type + 4);
    if (size) out.insert(out.end(), data, data + size);
    put32(out, libdeflate_crc32(0, out.data() + at, size + 4));
}

// Row `y` of an 8-bit image as RGB(A) order minus the previous row (Up filter):
// `dst` gets the filter byte and cols * cn bytes.
inline void up_row_u8(const uint8_t* row, const uint8_t* prev, int cols, int cn, uint8_t* dst) {
    *dst++ = 2;
    int x = 0;
    static const uint8_t zero[64] = {};
#if CV_SIMD128
    const int lanes = cv::v_uint8x16::nlanes;
    if (cn == 3) {
        for (; x + lanes <= cols; x += lanes) {
            cv::v_uint8x16 b, g, r, pb, pg, pr;
            cv::v_load_deinterleave(row + 3 * x, b, g, r);
            if (prev) {
                cv::v_load_deinterleave(prev + 3 * x, pb, pg, pr);
                b = cv::v_sub_wrap(b, pb), g = cv::v_sub_wrap(g, pg), r = cv::v_sub_wrap(r, pr);
            }
            cv::v_store_interleave(dst + 3 * x, r, g, b);
        }
    } else if (cn == 4) {
        for (; x + lanes <= cols; x += lanes) {
            cv::v_uint8x16 b, g, r, a, pb, pg, pr, pa;
            cv::v_load_deinterleave(row + 4 * x, b, g, r, a);
            if (prev) {
                cv::v_load_deinterleave(prev + 4 * x, pb, pg, pr, pa);
                b = cv::v_sub_wrap(b, pb), g = cv::v_sub_wrap(g, pg), r = cv::v_sub_wrap(r, pr);
                a = cv::v_sub_wrap(a, pa);
            }
            cv::v_store_interleave(dst + 4 * x, r, g, b, a);
        }
    } else {
        for (; x + lanes <= cols; x += lanes) {
            cv::v_uint8x16 v = cv::v_load(row + x);
            if (prev) v = cv::v_sub_wrap(v, cv::v_load(prev + x));
            cv::v_store(dst + x, v);
        }
    }
#endif
    const uint8_t* p = prev ? prev : zero;
    const int step = prev ? cn : 0;
    for (; x < cols; ++x) {
        const uint8_t* s = row + x * cn;
        const uint8_t* q = p + x * step;
        uint8_t* d = dst + x * cn;
        if (cn >= 3) {
            d[0] = uint8_t(s[2] - q[2]), d[1] = uint8_t(s[1] - q[1]), d[2] = uint8_t(s[0] - q[0]);
            if (cn == 4) d[3] = uint8_t(s[3] - q[3]);
        } else {
            for (int c = 0; c < cn; ++c) d[c] = uint8_t(s[c] - q[c]);
        }
    }
}

// The same for 16-bit samples, stored big-endian.
inline void up_row_u16(const uint16_t* row, const uint16_t* prev, int cols, int cn, uint8_t* dst) {
    *dst++ = 2;
    static const int rgb[4] = {2, 1, 0, 3};
    for (int x = 0; x < cols; ++x)
        for (int c = 0; c < cn; ++c) {
            const int from = x * cn + (cn >= 3 ? rgb[c] : c);
            const unsigned v = row[from], u = prev ? prev[from] : 0u;
            const unsigned hi = ((v >> 8) - (u >> 8)) & 0xff, lo = ((v & 0xff) - (u & 0xff)) & 0xff;
            *dst++ = uint8_t(hi), *dst++ = uint8_t(lo);
        }
}

// Whether `encode` writes this image (8 or 16-bit unsigned, 1, 3 or 4 channels).
inline bool supported(const cv::Mat& img) {
    const int depth = img.depth(), cn = img.channels();
    return (depth == CV_8U || depth == CV_16U) && (cn == 1 || cn == 3 || cn == 4) && img.dims == 2 &&
           img.rows > 0 && img.cols > 0;
}

// zlib stream of `raw` appended to `out`.
inline void deflate_to(const std::vector<uint8_t>& raw, std::vector<uint8_t>& out) {
#ifdef KIRO_HAVE_ISAL
    // Level 1 (dynamic Huffman codes). The stream state and level buffer are
    // large, so each thread keeps one.
    struct State {
        isal_zstream stream;
        std::vector<uint8_t> level_buf = std::vector<uint8_t>(ISAL_DEF_LVL1_DEFAULT);
    };
    thread_local std::unique_ptr<State> state(new State());
    isal_zstream& z = state->stream;
    isal_deflate_init(&z);
    z.level = 1;
    z.level_buf = state->level_buf.data();
    z.level_buf_size = static_cast<uint32_t>(state->level_buf.size());
    z.gzip_flag = IGZIP_ZLIB;
    z.flush = NO_FLUSH;
    z.next_in = const_cast<uint8_t*>(raw.data());
    size_t left = raw.size();
    size_t room = raw.size() + raw.size() / 64 + 4096;
    for (;;) {
        const size_t used = out.size();
        out.resize(used + room);
        // avail_in/avail_out are 32-bit: feed and drain at most 1 GiB at a time
        const uint32_t give = static_cast<uint32_t>(std::min<size_t>(left, size_t(1) << 30));
        const uint32_t space = static_cast<uint32_t>(std::min<size_t>(room, size_t(1) << 30));
        z.avail_in = give;
        z.end_of_stream = give == left;
        z.next_out = out.data() + used;
        z.avail_out = space;
        if (isal_deflate(&z) != COMP_OK) throw std::runtime_error("PNG: compression failed");
        left -= give - z.avail_in;
        out.resize(used + (space - z.avail_out));
        if (z.internal_state.state == ZSTATE_END) break;
        room = std::max<size_t>(room / 2, 1 << 16);
    }
#else
    struct Free {
        void operator()(libdeflate_compressor* c) const { libdeflate_free_compressor(c); }
    };
    thread_local std::unique_ptr<libdeflate_compressor, Free> c(libdeflate_alloc_compressor(1));
    if (!c) throw std::bad_alloc();
    const size_t at = out.size();
    out.resize(at + libdeflate_zlib_compress_bound(c.get(), raw.size()));
    const size_t n = libdeflate_zlib_compress(c.get(), raw.data(), raw.size(), out.data() + at, out.size() - at);
    if (n == 0) throw std::runtime_error("PNG: compression failed");
    out.resize(at + n);
#endif
}

// PNG bytes of a grey, BGR or BGRA image. Call without the GIL.
inline std::vector<uint8_t> encode(const cv::Mat& img) {
    if (!supported(img)) throw std::invalid_argument("PNG: unsupported image");
    const int cn = img.channels(), bytes = img.depth() == CV_16U ? 2 : 1;
    const size_t row_bytes = size_t(img.cols) * cn * bytes + 1;
    std::vector<uint8_t> raw(row_bytes * img.rows);
    for (int y = 0; y < img.rows; ++y) {
        uint8_t* dst = raw.data() + row_bytes * y;
        if (bytes == 1)
            up_row_u8(img.ptr<uint8_t>(y), y ? img.ptr<uint8_t>(y - 1) : nullptr, img.cols, cn, dst);
        else
            up_row_u16(img.ptr<uint16_t>(y), y ? img.ptr<uint16_t>(y - 1) : nullptr, img.cols, cn, dst);
    }

    std::vector<uint8_t> out;
    static const uint8_t signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    out.insert(out.end(), signature, signature + 8);
    std::vector<uint8_t> ihdr;
    put32(ihdr, static_cast<uint32_t>(img.cols));
    put32(ihdr, static_cast<uint32_t>(img.rows));
    const uint8_t colour = cn == 1 ? 0 : cn == 3 ? 2 : 6;
    const uint8_t rest[5] = {uint8_t(8 * bytes), colour, 0, 0, 0};  // depth, colour type, deflate, filters, no interlace
    ihdr.insert(ihdr.end(), rest, rest + 5);
    chunk(out, "IHDR", ihdr.data(), ihdr.size());

    // One IDAT chunk, deflated in place behind its length and type.
    const size_t idat = out.size();
    put32(out, 0);
    out.insert(out.end(), {'I', 'D', 'A', 'T'});
    deflate_to(raw, out);
    raw = std::vector<uint8_t>();
    const size_t size = out.size() - idat - 8;
    const size_t most = 0x7fffffff;
    if (size <= most) {
        for (int k = 0; k < 4; ++k) out[idat + k] = uint8_t(size >> (24 - 8 * k));
        put32(out, libdeflate_crc32(0, out.data() + idat + 4, size + 4));
    } else {  // chunk lengths stay below 2^31: split the stream over several
        const std::vector<uint8_t> z(out.begin() + idat + 8, out.end());
        out.resize(idat);
        for (size_t at = 0; at < z.size(); at += most) chunk(out, "IDAT", z.data() + at, std::min(most, z.size() - at));
    }
    chunk(out, "IEND", nullptr, 0);
    return out;
}

}  // namespace png
}  // namespace kiro
