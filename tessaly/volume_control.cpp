#include "tessaly/volume_control.h"

#include <alsa/asoundlib.h>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <algorithm>
#include <climits>

namespace {

constexpr const char* kMixerDevice = "default";

bool isMicrophoneLine(snd_mixer_elem_t* e, const char* name) {
    return snd_mixer_selem_is_active(e) &&
           (snd_mixer_selem_has_capture_volume(e) || snd_mixer_selem_has_capture_switch(e)) &&
           std::string_view(snd_mixer_selem_get_name(e)) == name;
}

int clampToInt(long v) { return int(std::clamp<long>(v, INT_MIN, INT_MAX)); }

}  // namespace

TVolumeControl::TVolumeControl(QWidget* owner) : QSlider(Qt::Horizontal, owner) {}

TVolumeControl::~TVolumeControl() {
    if (mixer_ || volumeId_ != 0) Close();
}

bool TVolumeControl::Open() {
    // A mixer left open by an earlier call would otherwise be lost.
    Close();
    deviceCount_ = 0;
    volumeId_ = 0;
    muteId_ = 0;

    snd_mixer_t* mixer = nullptr;
    if (snd_mixer_open(&mixer, 0) < 0) return false;
    if (snd_mixer_attach(mixer, kMixerDevice) < 0 ||
        snd_mixer_selem_register(mixer, nullptr, nullptr) < 0 || snd_mixer_load(mixer) < 0) {
        snd_mixer_close(mixer);
        return false;
    }
    deviceCount_ = 1;
    mixer_ = mixer;
    watchMixer();

    // Control ids follow the element's place in the mixer; 0 and 1 are kept free
    // because a notice with those ids means "any control".
    uint32_t index = 0;
    snd_mixer_elem_t* line = nullptr;
    uint32_t lineIndex = 0;
    for (const char* name : {"Mic", "Capture"}) {
        index = 0;
        for (snd_mixer_elem_t* e = snd_mixer_first_elem(mixer); e; e = snd_mixer_elem_next(e)) {
            if (isMicrophoneLine(e, name)) {
                line = e;
                lineIndex = index;
                break;
            }
            ++index;
        }
        if (line) break;
    }
    if (!line || !snd_mixer_selem_has_capture_volume(line)) return false;

    long minimum = 0, maximum = 0;
    if (snd_mixer_selem_get_capture_volume_range(line, &minimum, &maximum) < 0) return false;
    setRange(clampToInt(minimum), clampToInt(maximum));
    setTickInterval(clampToInt((maximum - minimum) / 10));
    microphone_ = line;
    volumeId_ = 2 + 2 * lineIndex;
    snd_mixer_elem_set_callback_private(line, this);
    snd_mixer_elem_set_callback(line, &TVolumeControl::elementChanged);

    if (!snd_mixer_selem_has_capture_switch(line)) return false;
    muteId_ = volumeId_ + 1;
    return true;
}

void TVolumeControl::watchMixer() {
    const int count = snd_mixer_poll_descriptors_count(mixer_);
    if (count <= 0) return;
    std::vector<pollfd> fds(static_cast<size_t>(count));
    const int filled = snd_mixer_poll_descriptors(mixer_, fds.data(), unsigned(count));
    for (int i = 0; i < filled; ++i) {
        auto* n = new QSocketNotifier(fds[size_t(i)].fd, QSocketNotifier::Read, this);
        // Handling the mixer's events runs the element callbacks, which post notices.
        QObject::connect(n, &QSocketNotifier::activated, this, [this] {
            if (mixer_) snd_mixer_handle_events(mixer_);
        });
        notifiers_.push_back(n);
    }
}

int TVolumeControl::elementChanged(snd_mixer_elem_t* element, unsigned int mask) {
    auto* self = static_cast<TVolumeControl*>(snd_mixer_elem_get_callback_private(element));
    if (self && mask != SND_CTL_EVENT_MASK_REMOVE && (mask & SND_CTL_EVENT_MASK_VALUE))
        QCoreApplication::postEvent(self,
                                    new MixerControlChangeEvent(self->mixer_, self->volumeId_));
    if (mask == SND_CTL_EVENT_MASK_REMOVE && self && self->microphone_ == element)
        self->microphone_ = nullptr;
    return 0;
}

bool TVolumeControl::Close() {
    if (!mixer_) return true;
    // The notifiers go before the descriptors they watch.
    for (QSocketNotifier* n : notifiers_) delete n;
    notifiers_.clear();
    if (microphone_) snd_mixer_elem_set_callback(microphone_, nullptr);
    microphone_ = nullptr;
    if (snd_mixer_close(mixer_) < 0) return false;
    mixer_ = nullptr;
    volumeId_ = 0;
    return true;
}

bool TVolumeControl::GetCurrentVolume(uint32_t* volume) {
    if (!mixer_ || !microphone_ || !volume) return false;
    snd_mixer_handle_events(mixer_);
    if (!microphone_) return false;
    long v = 0;
    if (snd_mixer_selem_get_capture_volume(microphone_, SND_MIXER_SCHN_FRONT_LEFT, &v) < 0)
        return false;
    *volume = uint32_t(v);
    return true;
}

bool TVolumeControl::GetCurrentMute() {
    if (!mixer_ || !microphone_ || muteId_ == 0) return false;
    snd_mixer_handle_events(mixer_);
    if (!microphone_) return false;
    int on = 1;
    if (snd_mixer_selem_get_capture_switch(microphone_, SND_MIXER_SCHN_FRONT_LEFT, &on) < 0)
        return false;
    return on == 0;  // the switch says "capturing", mute is its opposite
}

bool TVolumeControl::SetVolume(uint32_t volume) {
    if (!mixer_ || !microphone_) return false;
    long minimum = 0, maximum = 0;
    if (snd_mixer_selem_get_capture_volume_range(microphone_, &minimum, &maximum) < 0)
        return false;
    if (long(volume) < minimum || long(volume) > maximum) return false;
    return snd_mixer_selem_set_capture_volume_all(microphone_, long(volume)) >= 0;
}

void TVolumeControl::GetMaxMin(uint32_t* maximum, uint32_t* minimum) const {
    if (maximum) *maximum = uint32_t(this->maximum());
    if (minimum) *minimum = uint32_t(this->minimum());
}

void TVolumeControl::OnMixerCtrlChange(const MixerControlChangeEvent& message) {
    if (!mixer_ || message.mixer() != mixer_) return;
    const uint32_t id = message.controlId();
    if (id != volumeId_ && id != 0 && id != 1) return;
    uint32_t volume = 0;
    if (GetCurrentVolume(&volume)) setValue(clampToInt(long(volume)));
}

bool TVolumeControl::Dispatch(QEvent* message) {
    if (message->type() == MixerControlChangeEvent::kType) {
        OnMixerCtrlChange(*static_cast<MixerControlChangeEvent*>(message));
        return true;
    }
    return QSlider::event(message);
}
