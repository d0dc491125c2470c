#include "points.hpp"

namespace tevu {

PackedPoints<float> pack_points_f32(StridedView2D<float> points) { return pack_points(points); }
PackedPoints<double> pack_points_f64(StridedView2D<double> points) { return pack_points(points); }

}  // namespace tevu
