// Underlay paste: a light-adjusted patch of the sample's own image or of another
// image goes into the sample's image under the labelled object, which stays in
// front. Only data["image"] is replaced, at the very end.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "common/paste.hpp"

namespace py = pybind11;
using kiro::Image;
namespace paste = kiro::paste;

namespace {

kiro::Globals g;

constexpr int MIN_LINE = 4;

paste::Place place(py::handle cover_position, const cv::Mat& mask, int h, int w) {
    const long long H = mask.rows, W = mask.cols;
    if (kiro::equals(cover_position, g("COPY_INTER")))
        return paste::place_inter(paste::object_extent(mask), H, W, h, w, true);
    if (kiro::equals(cover_position, g("COPY_MASK_EDGE")))
        return paste::place_mask_edge(paste::object_extent(mask), H, W, h, w);
    if (kiro::equals(cover_position, g("COPY_IMAGE_EDGE"))) return paste::place_image_edge(H, W, h, w);
    if (kiro::equals(cover_position, g("COPY_RANDOM"))) return paste::place_random(H, W, h, w);
    kiro::raise_plain(paste::kWrongCover);
}

// 255 where the source alpha is not 0 (an opaque or partly opaque source pixel).
cv::Mat opaque(const paste::Patch& patch) {
    const cv::Mat alpha = paste::scaled_alpha(patch);
    cv::Mat out;
    py::gil_scoped_release nogil;
    cv::compare(alpha, 0, out, cv::CMP_NE);
    return out;
}

// Direct paste: background pixels of the region take the patch, object pixels
// (and fully transparent source pixels) keep the image.
py::array direct_paste(const Image& img, const cv::Mat& mask, const paste::Patch& patch, const cv::Rect& roi) {
    const cv::Mat alpha_on = patch.alpha.empty() ? cv::Mat() : opaque(patch);
    cv::Mat view, take;
    py::array out = paste::copy_outside(img, roi, view);
    if (roi.area() == 0) return out;  // an empty patch changes nothing
    {
        py::gil_scoped_release nogil;
        cv::compare(mask(roi), 0, take, cv::CMP_EQ);
        if (!alpha_on.empty()) cv::bitwise_and(take, alpha_on, take);
    }
    paste::paste_lit(patch, view(roi), take, img.mat(roi));
    return out;
}

// Clear a border strip of the clone mask unless it is background throughout
// (its sum reaches 255 * MIN_LINE * length).
void clear_strip(cv::Mat& mc, const cv::Rect& strip, long long length) {
    if (strip.area() == 0) return;
    cv::Mat s = mc(strip);
    if (cv::sum(s)[0] < 255.0 * MIN_LINE * static_cast<double>(length)) s.setTo(0);
}

// 255 on the region's background pixels to clone, 0 on object pixels, minus the
// object-touching border strips; a small remainder clones the whole patch.
cv::Mat clone_mask(const cv::Mat& mask, const cv::Rect& roi) {
    const int h = roi.height, w = roi.width;
    cv::Mat mc;
    if (h == 0 || w == 0) return mc;
    py::gil_scoped_release nogil;
    cv::compare(mask(roi), 0, mc, cv::CMP_EQ);
    const int nh = std::min(MIN_LINE, h), nw = std::min(MIN_LINE, w);
    clear_strip(mc, cv::Rect(0, 0, w, nh), w);
    clear_strip(mc, cv::Rect(0, h - nh, w, nh), w);
    clear_strip(mc, cv::Rect(0, 0, nw, h), h);
    clear_strip(mc, cv::Rect(w - nw, 0, nw, h), h);
    const double total = cv::sum(mc)[0];
    if (total < 255.0 * MIN_LINE * w || total < 255.0 * MIN_LINE * h) mc.setTo(255);
    return mc;
}

// Seamless clone of the patch's background part, then every object pixel of
// the image put back.
py::array clone_paste(const Image& img, const cv::Mat& mask, const paste::Patch& patch, const cv::Rect& roi,
                      paste::Fit fit) {
    const cv::Mat lit = paste::lit_patch(patch);
    cv::Mat mc = clone_mask(mask, roi);
    if (!patch.alpha.empty()) {
        const cv::Mat alpha = paste::scaled_alpha(patch);
        py::gil_scoped_release nogil;
        cv::Mat clear;
        cv::compare(alpha, 0, clear, cv::CMP_EQ);
        mc.setTo(0, clear);
    }
    const int flag = paste::clone_flag(fit);
    const cv::Point centre(roi.x + roi.width / 2, roi.y + roi.height / 2);
    cv::Mat out = paste::seamless_clone(lit, img.mat, mc, centre, flag);
    {
        py::gil_scoped_release nogil;
        img.mat.copyTo(out, mask);
    }
    return kiro::to_array(out, true);
}

}  // namespace

py::object belmost(py::object data, py::object prob, py::object cover_position, py::object fit_method,
                   py::object image_source, py::object bg_mask, py::object size_ratio) {
    py::object image;
    if (!paste::intake(data, image, prob)) return data;
    const paste::ObjectMask objects = paste::working_mask(data, bg_mask, g);
    const cv::Mat& mask = objects.mat;
    paste::check_size_ratio(size_ratio);
    const Image img = paste::sample_image(image, mask);

    const paste::Patch patch = paste::prepare_patch(image, img, image_source, size_ratio, g);
    const paste::Place at = place(cover_position, mask, patch.h, patch.w);
    const cv::Rect roi = paste::region(at, patch.h, patch.w, mask.rows, mask.cols);
    const paste::Fit fit = paste::resolve_fit(fit_method, g);

    py::array result = fit == paste::Fit::Paste ? direct_paste(img, mask, patch, roi)
                                                : clone_paste(img, mask, patch, roi, fit);
    data[py::str("image")] = result;
    return data;
}

PYBIND11_MODULE(belmost, m) {
    kiro::register_errors();
    kiro::import_all(m, "kiro.core.KirO");
    kiro::import_name(m, "kiro.utils.caspen", "caspen");
    kiro::import_name(m, "kiro.utils.kp2mask", "kp2mask");
    g.bind(m);

    m.def("belmost", &belmost, py::arg("data"), py::arg("prob") = 0.5,
          py::arg("cover_position") = m.attr("COPY_INTER"), py::arg("fit_method") = m.attr("FIT_NORMAL"),
          py::arg("image_source") = py::none(), py::arg("bg_mask") = 0,
          py::arg("size_ratio") = py::make_tuple(0.15625, 0.84375),
          R"doc(Underlay paste: paste a light-adjusted patch under the labelled object.

`data` is a record with "image" (H x W x 3 uint8) and "mask" and/or
"keypoints". With probability `prob` (one random() draw; skipped when the draw
is greater than `prob`) a patch is taken from the sample's own image
(`image_source` None) or from another image (an array, a file path, a "*"
pattern or a list of paths; matches are sorted before the random choice),
scaled with caspen, darkened or brightened (x * scale + shift, scale in
[0.8, 0.98] or [1.02, 1.2], shift in [-10, -5] or [5, 10]) and placed by
`cover_position` (COPY_INTER, COPY_MASK_EDGE, COPY_IMAGE_EDGE, COPY_RANDOM).
`fit_method` FIT_PASTE pastes it on the background pixels only; FIT_NORMAL,
FIT_MIX and FIT_MONO clone it seamlessly and then put every object pixel back;
FIT_RANDOM picks one of the four. A four-channel source's zero-alpha pixels
are never pasted.

The labels are read, never changed (elements equal to `bg_mask` are
background). Returns the same record with only "image" replaced by a new
array; on any error the record is unchanged.)doc");
}
