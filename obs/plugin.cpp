// The OBS module nimbrelle-obs: OBS loads it from its plug-in folder and calls obs_module_load,
// which registers the visualiser source.
#include <obs-module.h>

#include "source.h"

OBS_DECLARE_MODULE()
OBS_MODULE_USE_DEFAULT_LOCALE("nimbrelle-obs", "en-US")

MODULE_EXPORT const char* obs_module_name(void)
{
    return "Nimbrelle visualiser";
}

MODULE_EXPORT const char* obs_module_description(void)
{
    return "A source that draws Nimbrelle's scene for any of OBS's audio sources";
}

bool obs_module_load(void)
{
    nimbrelle::obs::RegisterSource();
    return true;
}
