// _NumpyKDTree: the module's own k-nearest-neighbour index, with the result
// contract of SciPy's cKDTree.query (1-D results for one neighbour, rows sorted
// by ascending distance, float64 distances and int64 indices).
#include "bindings/brelvo/registry.h"
#include "bindings/convert.h"
#include "bindings/signals.h"
#include "kernels/knn.h"

#include <algorithm>
#include <cstring>
#include <memory>

namespace vis::brelvo {

namespace {

struct NumpyKDTree {
    nb::object p;                           // `_p`: the indexed points
    std::shared_ptr<const KdTree> tree;     // search structure over a copy of `_p`
};

// The tree over the current contents of `_p`. The index is defined by `_p`
// alone, so a tree built earlier is reused only while it still holds exactly
// the same coordinates (the array may be shared with the caller). A build
// that Ctrl-C stopped is dropped, and the index keeps its earlier tree.
std::shared_ptr<const KdTree> current_tree(NumpyKDTree& self, const F64View& P, size_t m, size_t d,
                                           SignalCheck& check) {
    std::shared_ptr<const KdTree> t = self.tree;
    bool fresh = t && t->size() == m && t->dim() == d;
    if (fresh && m * d > 0) {
        nb::gil_scoped_release unlocked;
        fresh = std::memcmp(t->points(), P.data(), m * d * sizeof(double)) == 0;
    }
    if (!fresh) {
        {
            nb::gil_scoped_release unlocked;
            t = std::make_shared<const KdTree>(P.data(), m, d, check.interrupt());
        }
        check.raise_if_stopped();
        self.tree = t;
    }
    return t;
}

nb::tuple query(NumpyKDTree& self, nb::handle Q, nb::handle k, nb::handle /*workers*/) {
    F64View P = view_f64(self.p);
    // The search reads every query coordinate many times: a private copy.
    F64View q = private_f64(Q);
    if (q.ndim() == 0) throw nb::index_error("query points must be an (nq, D) array; got a scalar");
    if (P.ndim() == 0) throw nb::index_error("the indexed points are a scalar, not an (n, D) array");
    const size_t nq = q.shape(0);
    const size_t m = P.shape(0);

    // ke = max(1, min(int(k), m)), with Python's own int() (truncation).
    const int64_t kv = py_int_saturated(k);
    const size_t ke = kv < 1 ? 1 : std::max<size_t>(1, std::min(static_cast<uint64_t>(kv), static_cast<uint64_t>(m)));

    // Distances and indices together, and the tree over the indexed points
    // (coordinates twice, order and node arrays), within the call's budget.
    check_budget(checked_mul(checked_mul(nq, ke), 2 * sizeof(double)));
    if (P.ndim() == 2) check_budget(checked_mul(m, checked_mul(P.shape(1) + 2, 2 * sizeof(double))));
    NewArray<double> di = ke == 1 ? new_f64({nq}) : new_f64({nq, ke});
    NewArray<int64_t> ix = ke == 1 ? new_i64({nq}) : new_i64({nq, ke});
    if (nq == 0) return nb::make_tuple(di.obj, ix.obj);

    if (q.ndim() != 2 || P.ndim() != 2 || q.shape(1) != P.shape(1)) {
        auto shape_str = [](const F64View& v) {
            std::string s = "(";
            for (size_t i = 0; i < v.ndim(); ++i) s += (i ? "," : "") + std::to_string(v.shape(i));
            return s + (v.ndim() == 1 ? ",)" : ")");
        };
        throw nb::value_error(("query points of shape " + shape_str(q) +
                               " do not match indexed points of shape " + shape_str(P))
                                  .c_str());
    }
    if (m == 0) throw nb::value_error("cannot query an index built over zero points");
    const size_t d = P.shape(1);
    checked_mul(nq, ke);
    SignalCheck check;
    std::shared_ptr<const KdTree> tree = current_tree(self, P, m, d, check);
    {
        nb::gil_scoped_release unlocked;
        tree->query(q.data(), nq, ke, di.data, ix.data, check.interrupt());
    }
    check.raise_if_stopped();
    return nb::make_tuple(di.obj, ix.obj);
}

}  // namespace

void bind_knn(nb::module_& m) {
    nb::class_<NumpyKDTree>(m, "_NumpyKDTree", nb::dynamic_attr(),
                             "Exact k-nearest-neighbour index over an (n, D) point array, with the\n"
                             "result contract of scipy.spatial.cKDTree.query; used when SciPy is absent.\n"
                             "\n"
                             "_p holds the indexed points, a C-contiguous float64 (n, D) array; the\n"
                             "indices that query returns are its row numbers.")
        .def(
            "__init__",
            [](NumpyKDTree* self, nb::handle pts) { new (self) NumpyKDTree{asarray_f64(pts), {}}; },
            nb::arg("pts").none(), nb::sig("def __init__(self, pts: numpy.typing.ArrayLike) -> None"),
            "Build the index over pts, an (n, D) array of points in any one length unit.")
        .def_rw("_p", &NumpyKDTree::p)
        .def("query", &query, nb::arg("Q").none(), nb::arg("k").none() = 1,
             nb::arg("workers").none() = nb::none(),
             nb::sig("def query(self, Q: numpy.typing.ArrayLike, k: int = 1, workers: int | None = None) -> "
                     "tuple[numpy.typing.NDArray[numpy.float64], numpy.typing.NDArray[numpy.int64]]"),
             "Return the tuple (distances, indices) of the k nearest indexed points of every row of Q.\n"
             "\n"
             "Q: (nq, D) query points, D as for the indexed points. k: neighbours wanted, a float\n"
             "truncates toward zero. workers: accepted like cKDTree.query's and ignored.\n"
             "distances: float64, Euclidean, in the unit of the coordinates; indices: int64 row\n"
             "numbers of _p. With ke = max(1, min(int(k), n)): shape (nq,) when ke is 1, otherwise\n"
             "(nq, ke) with each row in ascending distance, column 0 the nearest.");
}

}  // namespace vis::brelvo
