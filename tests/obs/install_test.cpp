// `make install DESTDIR=... PREFIX=/usr` puts the plug-in where OBS looks: OBS's own search of
// the staged folders finds it, it loads from there with its locale, lists its source, and the
// source draws with the module installed with it.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "obs_harness.h"
#include "support/host_support.h"

namespace nimbrelle::obs::test {
namespace {

namespace fs = std::filesystem;

TEST(Install, LoadsFromItsInstallPathAndListsItsSource)
{
    host::test::ScratchDir stage;
    const host::test::RunResult installed = host::test::RunShell(
        "DESTDIR='" + stage.Path().string() + "' cmake --install '" NIMBRELLE_BUILD_DIR "' --prefix /usr 2>&1");
    ASSERT_EQ(installed.exitCode, 0) << installed.out;
    const fs::path plugins = stage.Path() / "usr" / NIMBRELLE_OBS_PLUGINDIR;
    const fs::path data = stage.Path() / "usr" / NIMBRELLE_OBS_DATADIR;
    ASSERT_TRUE(fs::is_regular_file(plugins / "nimbrelle-obs.so"));
    ASSERT_TRUE(fs::is_regular_file(data / "locale" / "en-US.ini"));
    // Only OBS modules belong in OBS's plug-in folder: it tries to load every library there.
    EXPECT_EQ(host::test::ListFolder(plugins), std::vector<std::string>{"nimbrelle-obs.so"});

    std::string error;
    ASSERT_TRUE(StartObs(VideoSize{}, &error)) << error;
    // The folders as OBS searches its own: the plug-ins' folder, and data by module name.
    obs_add_module_path(plugins.c_str(), (stage.Path() / "usr" / NIMBRELLE_OBS_DATADIR).parent_path().append("%module%").c_str());
    struct Found {
        std::string bin, data;
    } found;
    obs_find_modules2(
        [](void* param, const obs_module_info2* info) {
            if (std::string(info->name) != "nimbrelle-obs") return;
            static_cast<Found*>(param)->bin = info->bin_path;
            static_cast<Found*>(param)->data = info->data_path;
        },
        &found);
    ASSERT_EQ(fs::path(found.bin), plugins / "nimbrelle-obs.so");
    ASSERT_TRUE(LoadPlugin(found.bin, found.data));
    EXPECT_TRUE(InputTypeListed("nimbrelle_visualiser"));
    EXPECT_STREQ(obs_source_get_display_name("nimbrelle_visualiser"), "Nimbrelle visualiser");

    obs_source_t* vis = CreateVisualiser("vis", R"({"width": 192, "height": 108})");
    obs_scene_t* scene = ShowScene("scene", {vis});
    Wait(0.5);
    HideScene(scene);
    obs_source_release(vis);
    EXPECT_EQ(CountLog("drawing with module '" + stage.Path().string()), 1);
    EXPECT_EQ(CountLog("the desktop audio not found: drawing silence until it appears"), 1);
}

}  // namespace
}  // namespace nimbrelle::obs::test

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    int result = RUN_ALL_TESTS();
    if (nimbrelle::obs::test::CheckLeaksNow() != 0) result = 1;
    const long held = nimbrelle::obs::test::StopObs();
    if (held != 0) std::fprintf(stderr, "OBS still holds %ld allocations at shutdown\n", held);
    return result != 0 || held != 0 ? 1 : 0;
}
