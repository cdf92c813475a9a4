#include "kernels/target_projection.h"

#include "kernels/mercator.h"

namespace vis::geo {

namespace {

// What every target shares: the origin's trigonometry and the uncertainty
// terms of the call's coefficients.
struct Shared {
    GeodesicOrigin origin;
    UncertaintyTerms terms;
};

// One target, in the order of the scalar calls; false at the first fault.
bool project_one(const TargetProjection& p, const Shared& shared, double bearing, double range, bool measured,
                 double* lat, double* lon, double* x, double* y, double* radius, Fault& f) {
    const double tb = true_bearing(bearing, p.declination_deg);
    if (range == 0.0) {
        // A zero distance stays at the origin, unnormalised.
        *lat = p.origin_lat;
        *lon = p.origin_lon;
    } else {
        destination_from(shared.origin, tb, range, p.earth_r, lat, lon, f);
        if (f) return false;
    }
    if (p.world_edge_too_large) {
        f.note(FaultKind::int_too_large, 0.0);
        return false;
    }
    latlon_to_world_px(*lat, *lon, p.world_edge, x, y, f);
    if (f) return false;
    const double u = target_uncertainty(std::fabs(range), measured, shared.terms, f);
    if (f) return false;
    const double c = ground_scale(*lat, p.mpp_equator, f);
    if (f) return false;
    if (p.zoom_pow2_too_large) {
        f.note(FaultKind::int_too_large, 0.0);
        return false;
    }
    const double mpp = py_div(c, p.zoom_pow2, f);
    if (f) return false;
    *radius = py_div(u, mpp, f);
    return !f;
}

// Targets between two polls of the interrupt: a few hundred microseconds.
constexpr size_t kPollEvery = 4096;

}  // namespace

size_t project_targets(const TargetProjection& p, const double* bearings_deg, const double* ranges_m,
                       const uint8_t* measured, bool all_measured, size_t n, TargetColumns out, Fault& f,
                       Interrupt* stop) {
    const Shared shared{geodesic_origin(p.origin_lat, p.origin_lon), uncertainty_terms(p.coeffs, p.gps_err)};
    for (size_t i = 0; i < n; ++i) {
        if (i % kPollEvery == 0 && i > 0 && stop_requested(stop)) return i;
        const bool m = measured ? measured[i] != 0 : all_measured;
        if (!project_one(p, shared, bearings_deg[i], ranges_m[i], m, &out.lat[i], &out.lon[i], &out.x[i], &out.y[i],
                         &out.radius[i], f))
            return i;
    }
    return n;
}

}  // namespace vis::geo
