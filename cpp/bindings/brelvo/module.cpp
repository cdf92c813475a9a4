// visualization.brelvo: the sonar blob field. Binds its names in load order.
#include "bindings/brelvo/qimage.h"
#include "bindings/brelvo/registry.h"
#include "bindings/signals.h"

namespace nb = nanobind;

namespace vis::brelvo {

ModuleNamespace& ns() {
    static ModuleNamespace instance;
    return instance;
}

static nb::handle g_scipy_ckdtree;
static nb::handle g_qimage;

nb::handle scipy_ckdtree_class() { return g_scipy_ckdtree; }
nb::handle qimage_class() { return g_qimage; }

// SciPy's tree when it imports; any ordinary failure selects the fallbacks.
static nb::object import_ckdtree() {
    try {
        return nb::module_::import_("scipy.spatial").attr("cKDTree");
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_Exception)) throw;
        return nb::none();
    }
}

}  // namespace vis::brelvo

NB_MODULE(brelvo, m) {
    using namespace vis::brelvo;
    vis::require_crt_math();
    ns().bind(m);
    m.doc() =
        "Sonar blob field: colour -> lambda lookup, blob field, polar view, cache key, "
        "strongest poles.\n"
        "\n"
        "A cloud is the host's record of sonar targets: a tuple of per-target arrays of one\n"
        "length N, heading not applied. Element 0: bearings in degrees clockwise from north\n"
        "(0 up, 90 right). Element 1: horizontal ranges in metres from the device. Element 2:\n"
        "colours, one row per target, R, G, B on the 0..255 scale as the anomaly colouring\n"
        "painted them (build_field wants exactly these 3 columns; the polar view and the\n"
        "poles ignore a fourth, alpha column). Element 7 (records of 8 to 11 elements) or 11\n"
        "(12 or more): one signal value per target. Element 9 (10 or more): one source id per\n"
        "target. Lengths are in metres, display scales in pixels per metre, image sizes in\n"
        "pixels.\n"
        "\n"
        "Turkish names: render_polar_alan = render the polar field, hucre = cell,\n"
        "min_bosluk_m = minimum gap in metres, en_guclu_kutuplar = the strongest poles,\n"
        "en_guclu_kutup_indeksleri = indices of the strongest poles.";
    m.attr("np") = vis::numpy();
    nb::object tree = import_ckdtree();
    if (!tree.is_none()) g_scipy_ckdtree = tree.inc_ref();
    m.attr("cKDTree") = tree;
    g_qimage = nb::object(nb::module_::import_("PyQt5.QtGui").attr("QImage")).inc_ref();
    m.attr("QImage") = g_qimage;
    bind_knn(m);
    m.attr("apply_colormap") = nb::module_::import_("visualization.tintora").attr("apply_colormap");

    m.attr("KAPPA") = 1.6;
    m.attr("RMIN_PX") = 10.0;
    m.attr("RMIN_TOP") = 0.02;
    m.attr("RMAX_TOP") = 0.35;
    m.attr("W0") = 0.12;
    m.attr("COV_LO") = 0.05;
    m.attr("COV_HI") = 0.6;
    m.attr("A_MAX") = 0.85;
    m.attr("CELL_PX") = 4.0;
    m.attr("NBUCK") = 12;
    m.attr("KNN") = 7;
    m.attr("RIM_FADE") = 0.94;
    m.attr("_SM_RATIO") = 0.0847;
    m.attr("_LUT_CACHE") = nb::dict();
    m.attr("_QT_SCALES_DIRECTLY") = qt_scales_directly();  // Qt's own scaling, without the GIL

    bind_lut(m);
    bind_field(m);
    bind_cloud(m);
    bind_polar(m);
    bind_poles(m);
    vis::bind_signal_checks(m);
}
