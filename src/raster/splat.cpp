#include "raster/raster.h"
#include "raster/splat_block.h"

namespace nimbrelle {

void SplatPoint(float x, float y, float r, float g, float b)
{
    if (SplatLands(x, y)) SplatLanded(x, y, r, g, b);
}

}  // namespace nimbrelle
