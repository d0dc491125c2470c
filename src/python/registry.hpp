// What the module registers, defined by the binding file of each family.
#pragma once

#include "common.hpp"

namespace tevu::py {

extern PyMethodDef all_nearest_neighbours_def;
extern PyMethodDef all_nearest_neighbours_f32_def;
extern PyMethodDef all_nearest_neighbours_k_def;
extern PyMethodDef all_nearest_neighbours_k_f32_def;
extern PyMethodDef graph_from_simplices_def;
extern PyMethodDef delaunay_graph_def;

}  // namespace tevu::py
