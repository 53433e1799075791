#include <cstdlib>
#include <cstring>

#include "raster/add_row.h"
#include "raster/raster.h"

namespace nimbrelle {

namespace {

// The fastest path, unless NIMBRELLE_RASTER_PATH names another ("reference", "scalar",
// "sse2" or "simd"): benchmarks and comparisons load the module with each path. A WebAssembly
// build has no environment (reading one would make the module import it from the page), so
// it always takes its one path.
RasterPath InitialPath()
{
    const RasterPath fastest = HaveAddRowSse2() ? RasterPath::Simd : RasterPath::Scalar;
#if defined(__wasm__)
    return fastest;
#else
    const char* name = std::getenv("NIMBRELLE_RASTER_PATH");
    if (name == nullptr) return fastest;
    if (std::strcmp(name, "reference") == 0) return RasterPath::Reference;
    if (std::strcmp(name, "scalar") == 0) return RasterPath::Scalar;
    if (std::strcmp(name, "sse2") == 0) return RasterPath::Sse2;
    return fastest;
#endif
}

RasterPath Path = InitialPath();

}  // namespace

void SelectRasterPath(RasterPath path) { Path = path; }

RasterPath ActiveRasterPath() { return Path; }

const RowKernels& ActiveKernels()
{
    switch (Path) {
    case RasterPath::Simd: return FastestKernels();
    case RasterPath::Sse2: return Sse2Kernels();
    case RasterPath::Reference:
    case RasterPath::Scalar: break;
    }
    return ScalarKernels();
}

}  // namespace nimbrelle
