// The module's boundary: the one exported function and the entries of its descriptor.
#include <cfenv>

#if defined(__SSE__) || defined(__x86_64__)
#include <xmmintrin.h>
#define NIMBRELLE_HAVE_MXCSR 1
#endif

#include "nimbrelle/module.h"
#include "raster/raster.h"
#include "scene/scene.h"

namespace nimbrelle {
namespace {

// Every picture is defined under IEEE round-to-nearest with gradual underflow, and the scene
// computes with NaNs (a pulse of strength 0). A host may call in with another rounding mode,
// with flush-to-zero set (common in audio software) or with floating-point traps enabled, so
// each entry runs in the default environment and gives the host's back on return.
class DefaultFloatEnvironment {
public:
    DefaultFloatEnvironment()
    {
#if defined(NIMBRELLE_HAVE_MXCSR)
        csr_ = _mm_getcsr();  // the host's, before anything changes it
#endif
        std::feholdexcept(&saved_);  // saves the environment and masks every trap
        std::fesetround(FE_TONEAREST);
#if defined(NIMBRELLE_HAVE_MXCSR)
        _mm_setcsr(DefaultCsr);
#endif
    }
    DefaultFloatEnvironment(const DefaultFloatEnvironment&) = delete;
    DefaultFloatEnvironment& operator=(const DefaultFloatEnvironment&) = delete;
    ~DefaultFloatEnvironment()
    {
        std::fesetenv(&saved_);  // the host's modes, traps and flags, as they were
#if defined(NIMBRELLE_HAVE_MXCSR)
        _mm_setcsr(csr_);  // some C runtimes' fesetenv leaves the SSE control register alone
#endif
    }

private:
    std::fenv_t saved_;
#if defined(NIMBRELLE_HAVE_MXCSR)
    static constexpr unsigned DefaultCsr = 0x1F80u;  // traps masked, round to nearest, no flush to zero
    unsigned csr_;
#endif
};

extern "C" int32_t NIMBRELLE_CALL ModuleInit(void)
{
    const DefaultFloatEnvironment environment;
    return InitScene() ? 1 : 0;
}

extern "C" int32_t NIMBRELLE_CALL ModuleRender(uint32_t* pixels, int32_t width, int32_t height,
                                               int32_t pitch, const FrameData* frameData)
{
    if (pixels == nullptr || frameData == nullptr) return 0;
    // Without a built scene there is no camera to draw with: refuse the frame untouched.
    if (!SceneReady()) return 0;
    const DefaultFloatEnvironment environment;
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
