// The module's boundary: the one exported function and the entries of its descriptor.
#include "nimbrelle/module.h"
#include "raster/raster.h"
#include "scene/scene.h"

namespace nimbrelle {
namespace {

extern "C" int32_t NIMBRELLE_CALL ModuleInit(void)
{
    return InitScene() ? 1 : 0;
}

extern "C" int32_t NIMBRELLE_CALL ModuleRender(uint32_t* pixels, int32_t width, int32_t height,
                                               int32_t pitch, const FrameData* frameData)
{
    if (pixels == nullptr || frameData == nullptr) return 0;
    // Without a built scene there is no camera to draw with: refuse the frame untouched.
    if (!SceneReady()) return 0;
    BindCanvas(pixels, width, height, pitch);
    RenderScene(*frameData);
    return 1;
}

extern "C" int32_t NIMBRELLE_CALL ModuleStub(void)
{
    return 1;
}

const char DisplayName[] = "Pelkin :: Nimbrelle Calvex";

const ModuleDescriptor Descriptor = {
    0, DisplayName, 7, ModuleInit, ModuleRender, ModuleStub, ModuleStub,
};

// Frees the camera's keyframe lists when the library is unloaded.
struct UnloadRelease {
    UnloadRelease() = default;
    UnloadRelease(const UnloadRelease&) = delete;
    UnloadRelease& operator=(const UnloadRelease&) = delete;
    ~UnloadRelease() { ReleaseScene(); }
};
const UnloadRelease ReleaseOnUnload;

}  // namespace
}  // namespace nimbrelle

extern "C" NIMBRELLE_EXPORT const ModuleDescriptor* NIMBRELLE_CALL QueryModule(void)
{
    return &nimbrelle::Descriptor;
}
