#include "raster/add_row.h"
#include "raster/raster.h"

namespace nimbrelle {

namespace {
RasterPath Path = HaveAddRowSse2() ? RasterPath::Simd : RasterPath::Scalar;
}  // namespace

void SelectRasterPath(RasterPath path) { Path = path; }

RasterPath ActiveRasterPath() { return Path; }

}  // namespace nimbrelle
