// The floored remainder of Python's float % and NumPy's np.mod.
#pragma once

#include <cmath>

namespace vis {

// x mod m (m != 0): the result takes the sign of m; a zero remainder is a zero
// with the sign of m. A tiny negative x can give exactly m.
inline double floored_mod(double x, double m) {
    double r = std::fmod(x, m);
    if (r != 0.0) {
        if ((m < 0.0) != (r < 0.0)) r += m;
    } else {
        r = std::copysign(0.0, m);
    }
    return r;
}

}  // namespace vis
