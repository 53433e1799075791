// The visualiser source in a real, headless OBS.
#include <gtest/gtest.h>

#include <cmath>

#include "obs_harness.h"

namespace nimbrelle::obs::test {
namespace {

class ObsSession : public ::testing::Environment {
public:
    void TearDown() override
    {
        const long held = StopObs();
        EXPECT_EQ(held, 0) << "OBS still holds " << held << " allocations at shutdown";
    }
};

class VisualiserTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string error;
        ASSERT_TRUE(StartObs(VideoSize{}, &error)) << error;
        static bool loaded = LoadPlugin(NIMBRELLE_OBS_PLUGIN, NIMBRELLE_OBS_DATA);
        ASSERT_TRUE(loaded);
        // obs_source_create with an unknown id makes a placeholder, so the id must be listed.
        ASSERT_TRUE(InputTypeListed("nimbrelle_visualiser"));
    }
};

float Tone(int64_t sample, int)
{
    return 0.5f * static_cast<float>(std::sin(2.0 * M_PI * 480.0 * static_cast<double>(sample % 100) / 100.0 / 480.0 * 480.0));
}

TEST_F(VisualiserTest, DrawsFrames)
{
    obs_source_t* tone = obs_source_create(ToneId, "tone", nullptr, nullptr);
    TonePusher pusher(tone, Tone);
    obs_source_t* vis = CreateVisualiser("vis", R"({"audio_source": "tone", "width": 192, "height": 108})");
    obs_scene_t* scene = ShowScene("scene", {vis});
    FrameCatcher catcher;
    Wait(2.0);
    auto frames = catcher.Take();
    EXPECT_GT(frames.size(), 30u);
    HideScene(scene);
    pusher.Stop();
    obs_source_release(vis);
    obs_source_release(tone);
}

}  // namespace
}  // namespace nimbrelle::obs::test

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new nimbrelle::obs::test::ObsSession);
    return RUN_ALL_TESTS();
}
