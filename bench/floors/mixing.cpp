// Floors of the mixing operations: the donor's resize of copy-paste (image
// bilinear, mask INTER_NEAREST_EXACT) and the four resizes and window copies
// of a mosaic, with the map of each record's polygon vertices when given.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <vector>

#include "common/arrays.hpp"

namespace py = pybind11;

namespace {

py::array new_image(const kiro::Image& img, int h, int w) {
    return kiro::new_array(h, w, img.ndim() == 3 ? img.channels() : 0, img.array.dtype());
}

}  // namespace

// Image and mask resized to nh x nw (bilinear, INTER_NEAREST_EXACT).
py::tuple resize(py::array image, py::array mask, int nh, int nw) {
    kiro::Image img(image, "image"), msk(mask, "mask");
    py::array out_image = new_image(img, nh, nw), out_mask = new_image(msk, nh, nw);
    cv::Mat di = kiro::mat_view(out_image, "out"), dm = kiro::mat_view(out_mask, "out");
    {
        py::gil_scoped_release nogil;
        cv::resize(img.mat, di, di.size(), 0, 0, cv::INTER_LINEAR);
        cv::resize(msk.mat, dm, dm.size(), 0, 0, cv::INTER_NEAREST_EXACT);
    }
    return py::make_tuple(out_image, out_mask);
}

// An h x w canvas of four records: record i resized whole to tiles[i] =
// (nw, nh, ox, oy, qx, qy, qw, qh) (bilinear image, INTER_NEAREST_EXACT
// mask), its window over the quadrant (qx, qy, qw, qh) copied there. Points
// (N x 2 float64 per record, or None) are scaled by nw / W, nh / H and moved
// by (ox, oy); no clipping.
py::tuple mosaic(py::list images, py::list masks, py::list tiles, int h, int w, py::object points) {
    if (py::len(images) != 4 || py::len(masks) != 4 || py::len(tiles) != 4)
        throw py::value_error("four images, masks and tiles expected");
    std::vector<kiro::Image> imgs, msks;
    std::vector<cv::Rect> quads, froms;
    std::vector<cv::Size> sizes;
    std::vector<cv::Mat> src_pts, dst_pts;
    std::vector<cv::Matx23d> maps;
    py::list out_points;
    std::vector<py::object> keep;
    for (int i = 0; i < 4; ++i) {
        imgs.emplace_back(images[i].cast<py::array>(), "image");
        msks.emplace_back(masks[i].cast<py::array>(), "mask");
        const py::tuple t = tiles[i].cast<py::tuple>();
        const int nw = t[0].cast<int>(), nh = t[1].cast<int>(), ox = t[2].cast<int>(), oy = t[3].cast<int>();
        const cv::Rect q(t[4].cast<int>(), t[5].cast<int>(), t[6].cast<int>(), t[7].cast<int>());
        sizes.emplace_back(nw, nh);
        quads.push_back(q);
        froms.push_back(q - cv::Point(ox, oy));
        if (points.is_none()) continue;
        auto a = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(points.cast<py::list>()[i]);
        if (!a || a.ndim() != 2 || a.shape(1) != 2) throw py::value_error("points must be N x 2");
        py::array out = kiro::new_array(a.shape(0), 2, 0, a.dtype());
        src_pts.emplace_back(static_cast<int>(a.shape(0)), 1, CV_64FC2, const_cast<double*>(a.data()));
        dst_pts.emplace_back(static_cast<int>(a.shape(0)), 1, CV_64FC2, out.mutable_data());
        maps.emplace_back(double(nw) / imgs[i].cols(), 0, ox, 0, double(nh) / imgs[i].rows(), oy);
        out_points.append(out);
        keep.push_back(a);
    }
    py::array out_image = new_image(imgs[0], h, w), out_mask = new_image(msks[0], h, w);
    cv::Mat di = kiro::mat_view(out_image, "out"), dm = kiro::mat_view(out_mask, "out");
    {
        py::gil_scoped_release nogil;
        cv::Mat ti, tm;
        for (int i = 0; i < 4; ++i) {
            if (quads[i].empty()) continue;
            cv::resize(imgs[i].mat, ti, sizes[i], 0, 0, cv::INTER_LINEAR);
            cv::resize(msks[i].mat, tm, sizes[i], 0, 0, cv::INTER_NEAREST_EXACT);
            ti(froms[i]).copyTo(di(quads[i]));
            tm(froms[i]).copyTo(dm(quads[i]));
        }
        for (size_t i = 0; i < src_pts.size(); ++i) cv::transform(src_pts[i], dst_pts[i], maps[i]);
    }
    return py::make_tuple(out_image, out_mask, points.is_none() ? py::object(py::none()) : py::object(out_points));
}

PYBIND11_MODULE(floors_mixing, m) {
    m.def("resize", &resize, py::arg("image"), py::arg("mask"), py::arg("nh"), py::arg("nw"));
    m.def("mosaic", &mosaic, py::arg("images"), py::arg("masks"), py::arg("tiles"), py::arg("h"), py::arg("w"),
          py::arg("points") = py::none());
}
