// The OBS input source "Nimbrelle visualiser" (id nimbrelle_visualiser).
#pragma once

namespace nimbrelle::obs {

inline constexpr const char* SourceId = "nimbrelle_visualiser";

// Registers the source type with OBS; called from obs_module_load.
void RegisterSource();

}  // namespace nimbrelle::obs
