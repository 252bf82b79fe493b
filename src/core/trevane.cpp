// Occluding paste: a light-adjusted patch of the sample's own image or of another
// image goes over the labelled object and hides it; the labels stay as they
// are. Only data["image"] is replaced, at the very end.
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

paste::Place place(py::handle cover_position, const cv::Mat& mask, int h, int w) {
    const long long H = mask.rows, W = mask.cols;
    if (kiro::equals(cover_position, g("OCCLUSION_INTER")))
        return paste::place_inter(paste::object_extent(mask), H, W, h, w, false);
    if (kiro::equals(cover_position, g("OCCLUSION_EDGDE")))
        return paste::place_mask_edge(paste::object_extent(mask), H, W, h, w);
    if (kiro::equals(cover_position, g("OCCLUSION_RANDOM"))) return paste::place_random(H, W, h, w);
    kiro::raise_plain(paste::kWrongCover);
}

// The paste mask: the source alpha at the patch size, or all 255 (one channel
// of 255 clones exactly like the patch-shaped three-channel one).
cv::Mat paste_mask(const paste::Patch& patch) {
    if (!patch.alpha.empty()) return paste::scaled_alpha(patch);
    return cv::Mat(patch.h, patch.w, CV_8U, cv::Scalar(255));
}

// Direct paste: the region takes the patch, except where the alpha is 0.
py::array direct_paste(const Image& img, const paste::Patch& patch, const cv::Mat& pmask, const cv::Rect& roi) {
    cv::Mat view, on;
    py::array out = paste::copy_outside(img, roi, view);
    if (!patch.alpha.empty()) {
        py::gil_scoped_release nogil;
        cv::compare(pmask, 0, on, cv::CMP_NE);
    }
    paste::paste_lit(patch, view(roi), on, img.mat(roi));
    return out;
}

}  // namespace

py::object trevane(py::object data, py::object prob, py::object cover_position, py::object fit_method,
                   py::object image_source, py::object bg_mask, py::object size_ratio) {
    py::object image;
    if (!paste::intake(data, image, prob)) return data;
    const paste::ObjectMask objects = paste::working_mask(data, bg_mask, g);
    const cv::Mat& mask = objects.mat;
    const Image img = paste::sample_image(image, mask);

    const paste::Patch patch = paste::prepare_patch(image, img, image_source, size_ratio, g);
    const paste::Place at = place(cover_position, mask, patch.h, patch.w);
    const cv::Rect roi = paste::region(at, patch.h, patch.w, mask.rows, mask.cols);
    const cv::Mat pmask = paste_mask(patch);
    const paste::Fit fit = paste::resolve_fit(fit_method, g);

    py::array result;
    if (fit == paste::Fit::Paste) {
        result = direct_paste(img, patch, pmask, roi);
    } else {
        const int flag = paste::clone_flag(fit);
        const cv::Point centre(roi.x + roi.width / 2, roi.y + roi.height / 2);
        const cv::Mat lit = paste::lit_patch(patch);
        result = kiro::to_array(paste::seamless_clone(lit, img.mat, pmask, centre, flag), true);
    }
    data[py::str("image")] = result;
    return data;
}

PYBIND11_MODULE(trevane, m) {
    kiro::register_errors();
    kiro::import_all(m, "kiro.core.KirO");
    kiro::import_name(m, "kiro.utils.caspen", "caspen");
    kiro::import_name(m, "kiro.utils.kp2mask", "kp2mask");
    g.bind(m);

    m.def("trevane", &trevane, py::arg("data"), py::arg("prob") = 0.5,
          py::arg("cover_position") = m.attr("OCCLUSION_EDGDE"), py::arg("fit_method") = m.attr("FIT_NORMAL"),
          py::arg("image_source") = py::none(), py::arg("bg_mask") = 0,
          py::arg("size_ratio") = py::make_tuple(0.03125, 0.15625),
          R"doc(Occluding paste: paste a light-adjusted patch over the labelled object.

`data` is a record with "image" (H x W x 3 uint8) and "mask" and/or
"keypoints". With probability `prob` (one random() draw; skipped when the draw
is greater than `prob`) a patch is taken from the sample's own image
(`image_source` None) or from another image (an array, a file path, a "*"
pattern or a list of paths; matches are sorted before the random choice),
scaled with caspen, darkened or brightened like belmost's patch and placed by
`cover_position` (OCCLUSION_INTER, OCCLUSION_EDGDE, OCCLUSION_RANDOM) relative
to the object's extent (elements equal to `bg_mask` are background).
`fit_method` FIT_PASTE pastes it over everything (a four-channel source's
zero-alpha pixels keep the image); FIT_NORMAL, FIT_MIX and FIT_MONO clone it
seamlessly with the alpha (or an all-255 mask) as the clone mask; FIT_RANDOM
picks one of the four. Nothing of the object is restored; the labels are not
changed.

Returns the same record with only "image" replaced by a new array; on any
error the record is unchanged.)doc");
}
