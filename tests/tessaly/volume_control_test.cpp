// The microphone track bar against the sound system's mixer. Tests that need a mixer
// with a capture control skip when there is none (the test command starts a sound
// server, so CI has one).
#include "tessaly/volume_control.h"

#include <alsa/asoundlib.h>
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTest>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <tuple>
#include <unistd.h>

#include "tests/support/qt_environment.h"

namespace {

// An independent view of the same mixer, to see what the bar did and to change
// the microphone behind its back.
class MixerProbe {
  public:
    MixerProbe() {
        if (snd_mixer_open(&mixer_, 0) < 0) {
            mixer_ = nullptr;
            return;
        }
        if (snd_mixer_attach(mixer_, "default") < 0 ||
            snd_mixer_selem_register(mixer_, nullptr, nullptr) < 0 ||
            snd_mixer_load(mixer_) < 0) {
            snd_mixer_close(mixer_);
            mixer_ = nullptr;
            return;
        }
        for (const char* name : {"Mic", "Capture"}) {
            for (snd_mixer_elem_t* e = snd_mixer_first_elem(mixer_); e && !mic_;
                 e = snd_mixer_elem_next(e)) {
                if (std::string(snd_mixer_selem_get_name(e)) == name &&
                    snd_mixer_selem_has_capture_volume(e) && snd_mixer_selem_has_capture_switch(e))
                    mic_ = e;
            }
        }
    }
    ~MixerProbe() {
        if (mixer_) snd_mixer_close(mixer_);
    }
    MixerProbe(const MixerProbe&) = delete;
    MixerProbe& operator=(const MixerProbe&) = delete;

    bool usable() const { return mic_ != nullptr; }
    long volume() {
        snd_mixer_handle_events(mixer_);
        long v = -1;
        snd_mixer_selem_get_capture_volume(mic_, SND_MIXER_SCHN_FRONT_LEFT, &v);
        return v;
    }
    void setVolume(long v) { snd_mixer_selem_set_capture_volume_all(mic_, v); }
    void setCapturing(bool on) { snd_mixer_selem_set_capture_switch_all(mic_, on ? 1 : 0); }
    std::pair<long, long> range() {
        long lo = 0, hi = 0;
        snd_mixer_selem_get_capture_volume_range(mic_, &lo, &hi);
        return {lo, hi};
    }

  private:
    snd_mixer_t* mixer_ = nullptr;
    snd_mixer_elem_t* mic_ = nullptr;
};

// Under the test command a sound server runs: there the mixer must be found.
#define REQUIRE_MIXER(probe)                                                                \
    if (!(probe).usable() && std::getenv("PULSE_SERVER"))                                  \
        FAIL() << "the sound server of the test command has no microphone control";        \
    if (!(probe).usable())                                                                  \
    GTEST_SKIP() << "no mixer with a microphone control on \"default\" (no sound server)"

// Descriptors this process holds; an open mixer holds its connection to the server.
int openDescriptors() {
    int n = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
    return n;
}

TEST(VolumeControl, ClosedBarRefusesMixerOperations) {
    TVolumeControl bar;
    EXPECT_EQ(bar.GetMixerID(), nullptr);
    EXPECT_EQ(bar.GetVolumeID(), 0u);
    uint32_t v = 7;
    EXPECT_FALSE(bar.GetCurrentVolume(&v));
    EXPECT_EQ(v, 7u);
    EXPECT_FALSE(bar.GetCurrentMute());
    EXPECT_FALSE(bar.SetVolume(1));
    EXPECT_TRUE(bar.Close());
}

TEST(VolumeControl, WithoutAMixerOpenFailsAndKeepsTheDefaultRange) {
    // A sound server that does not exist leaves "default" without a mixer.
    const QByteArray saved = qgetenv("PULSE_SERVER");
    const bool hadServer = qEnvironmentVariableIsSet("PULSE_SERVER");
    qputenv("PULSE_SERVER", "unix:/nonexistent/orvelin-test/native");
    TVolumeControl bar;
    const int lo = bar.minimum(), hi = bar.maximum();
    const bool opened = bar.Open();
    if (hadServer) qputenv("PULSE_SERVER", saved);
    else qunsetenv("PULSE_SERVER");
    if (opened && bar.GetVolumeID() != 0)
        GTEST_SKIP() << "\"default\" has a mixer of its own on this machine";
    EXPECT_FALSE(opened);
    EXPECT_EQ(bar.minimum(), lo);
    EXPECT_EQ(bar.maximum(), hi);
    uint32_t v = 0;
    EXPECT_FALSE(bar.GetCurrentVolume(&v));
    EXPECT_TRUE(bar.Close());
    EXPECT_EQ(bar.GetMixerID(), nullptr);
}

TEST(VolumeControl, OpenTakesTheMicrophoneRangeAndControls) {
    MixerProbe probe;
    REQUIRE_MIXER(probe);
    TVolumeControl bar;
    ASSERT_TRUE(bar.Open());
    const auto [lo, hi] = probe.range();
    EXPECT_EQ(bar.minimum(), lo);
    EXPECT_EQ(bar.maximum(), hi);
    EXPECT_EQ(bar.tickInterval(), (hi - lo) / 10);
    uint32_t mx = 0, mn = 1;
    bar.GetMaxMin(&mx, &mn);
    EXPECT_EQ(mx, uint32_t(hi));
    EXPECT_EQ(mn, uint32_t(lo));
    EXPECT_NE(bar.GetMixerID(), nullptr);
    EXPECT_EQ(bar.MixerDeviceCount(), 1u);
    EXPECT_GE(bar.GetVolumeID(), 2u) << "0 and 1 mean any control";
    EXPECT_NE(bar.GetMuteID(), 0u);
    EXPECT_NE(bar.GetMuteID(), bar.GetVolumeID());
    // Open does not move the bar; the owner does.
    EXPECT_EQ(bar.value(), bar.minimum());

    EXPECT_TRUE(bar.Close());
    EXPECT_EQ(bar.GetMixerID(), nullptr);
    EXPECT_EQ(bar.GetVolumeID(), 0u);
}

// The sound system's configuration replaced by one whose "default" mixer is the sound
// server's with some controls renamed; the usual configuration comes back afterwards.
class RenamedControls {
  public:
    RenamedControls(const std::string& file, const std::string& remap) {
        const char* saved = std::getenv("ALSA_CONFIG_PATH");
        saved_ = saved ? std::optional<std::string>(saved) : std::nullopt;
        std::ofstream(file) << "ctl.!default {\n type remap\n child { type pulse }\n remap {\n"
                            << remap << " }\n}\n";
        setenv("ALSA_CONFIG_PATH", file.c_str(), 1);
        snd_config_update_free_global();
    }
    ~RenamedControls() {
        if (saved_) {
            setenv("ALSA_CONFIG_PATH", saved_->c_str(), 1);
        } else {
            unsetenv("ALSA_CONFIG_PATH");
        }
        snd_config_update_free_global();
    }
    RenamedControls(const RenamedControls&) = delete;
    RenamedControls& operator=(const RenamedControls&) = delete;

  private:
    std::optional<std::string> saved_;
};

TEST(VolumeControl, OpenFailsWithoutAMicrophoneLineOrWithoutItsMuteControl) {
    MixerProbe probe;
    REQUIRE_MIXER(probe);
    const auto [lo, hi] = probe.range();
    struct Case {
        const char* name;
        const char* remap;
        bool rangeTaken;  // the volume control was found before the mute control was missed
    };
    const Case cases[] = {
        {"no microphone line",
         "\"name='Capture Volume'\" \"name='Aux Playback Volume'\"\n"
         "\"name='Capture Switch'\" \"name='Aux Playback Switch'\"\n",
         false},
        {"a microphone line without a mute control",
         "\"name='Capture Switch'\" \"name='Monitor Switch'\"\n", true},
    };
    const char* tmp = std::getenv("ORVELIN_TEST_TMP");
    const std::string file =
        std::string(tmp ? tmp : "/tmp") + "/renamed-controls-" + std::to_string(getpid()) + ".conf";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TVolumeControl bar;
        const int defaultLo = bar.minimum(), defaultHi = bar.maximum();
        {
            RenamedControls renamed(file, c.remap);
            EXPECT_FALSE(bar.Open());
        }
        if (c.rangeTaken) {
            EXPECT_EQ(bar.minimum(), lo);
            EXPECT_EQ(bar.maximum(), hi);
            EXPECT_EQ(bar.tickInterval(), (hi - lo) / 10);
            EXPECT_NE(bar.GetVolumeID(), 0u);
        } else {
            EXPECT_EQ(bar.minimum(), defaultLo);
            EXPECT_EQ(bar.maximum(), defaultHi);
            EXPECT_EQ(bar.GetVolumeID(), 0u);
        }
        EXPECT_EQ(bar.GetMuteID(), 0u);
        EXPECT_FALSE(bar.GetCurrentMute());
        // The mixer stays open after a failed Open; Close releases it.
        EXPECT_NE(bar.GetMixerID(), nullptr);
        EXPECT_TRUE(bar.Close());
        EXPECT_EQ(bar.GetMixerID(), nullptr);
    }
}

// An open bar on the microphone; the microphone gets its volume back afterwards,
// whatever the test did to it.
class OpenBar : public testing::Test {
  protected:
    void SetUp() override {
        REQUIRE_MIXER(probe_);
        before_ = probe_.volume();
        ASSERT_TRUE(bar_.Open());
        std::tie(lo_, hi_) = probe_.range();
    }
    void TearDown() override {
        if (probe_.usable()) probe_.setVolume(before_);
    }

    MixerProbe probe_;
    TVolumeControl bar_;
    long before_ = 0, lo_ = 0, hi_ = 0;
};

TEST_F(OpenBar, SetVolumeMovesTheMixerAndReadsBack) {
    const uint32_t target = uint32_t(lo_ + (hi_ - lo_) / 3);
    ASSERT_TRUE(bar_.SetVolume(target));
    EXPECT_EQ(probe_.volume(), long(target));
    uint32_t v = 0;
    ASSERT_TRUE(bar_.GetCurrentVolume(&v));
    EXPECT_EQ(v, target);
    // Outside the range: refused, the mixer keeps its value.
    EXPECT_FALSE(bar_.SetVolume(uint32_t(hi_) + 1));
    EXPECT_EQ(probe_.volume(), long(target));

    // The server applies a change and then tells every mixer client about it.
    probe_.setCapturing(false);
    EXPECT_TRUE(QTest::qWaitFor([&] { return bar_.GetCurrentMute(); }, 5000));
    probe_.setCapturing(true);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !bar_.GetCurrentMute(); }, 5000));
}

TEST_F(OpenBar, FollowsChangeNoticesOfItsOwnMixerOnly) {
    // A change made elsewhere reaches the bar through the mixer's notices.
    const int first = int(lo_ + (hi_ - lo_) / 4);
    probe_.setVolume(first);
    EXPECT_TRUE(QTest::qWaitFor([&] { return bar_.value() == first; }, 5000))
        << "bar at " << bar_.value();

    // Notices for another mixer or another control leave the position alone.
    const int second = int(lo_ + (hi_ - lo_) / 2);
    probe_.setVolume(second);
    uint32_t seen = 0;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return bar_.GetCurrentVolume(&seen) && seen == uint32_t(second); }, 5000));
    bar_.setValue(int(lo_));
    snd_mixer_t* other = reinterpret_cast<snd_mixer_t*>(&probe_);
    MixerControlChangeEvent foreign(other, bar_.GetVolumeID());
    QCoreApplication::sendEvent(&bar_, &foreign);
    EXPECT_EQ(bar_.value(), lo_);
    MixerControlChangeEvent otherControl(bar_.GetMixerID(), bar_.GetVolumeID() + 100);
    QCoreApplication::sendEvent(&bar_, &otherControl);
    EXPECT_EQ(bar_.value(), lo_);
    // Control id 0 stands for any control of this mixer.
    MixerControlChangeEvent any(bar_.GetMixerID(), 0);
    QCoreApplication::sendEvent(&bar_, &any);
    EXPECT_EQ(bar_.value(), second);
}

TEST_F(OpenBar, SecondOpenReleasesTheFirstMixer) {
    const int once = openDescriptors();
    ASSERT_TRUE(bar_.Open());
    EXPECT_EQ(openDescriptors(), once) << "the first mixer was not closed";
    EXPECT_NE(bar_.GetMixerID(), nullptr);
    uint32_t v = 0;
    EXPECT_TRUE(bar_.GetCurrentVolume(&v));
}

TEST(VolumeControl, DestroyingAnOpenBarClosesTheMixer) {
    MixerProbe probe;
    REQUIRE_MIXER(probe);
    const long before = probe.volume();
    const int descriptors = openDescriptors();
    auto* bar = new TVolumeControl;
    ASSERT_TRUE(bar->Open());
    EXPECT_GT(openDescriptors(), descriptors) << "an open mixer holds its connection";
    ASSERT_TRUE(bar->SetVolume(uint32_t(probe.range().first)));  // a notice is on its way
    delete bar;
    EXPECT_EQ(openDescriptors(), descriptors) << "the mixer was left open";
    // A notice still queued for the dead bar must not reach it.
    QTest::qWait(200);
    probe.setVolume(before);
}

}  // namespace
