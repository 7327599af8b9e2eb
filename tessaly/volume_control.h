// A track bar bound to the microphone input of the sound system's mixer: its range is
// the microphone volume's range and it follows the mixer's change notices. The owner
// reads the volume and sets the position; moving the bar does not change the mixer.
#pragma once

#include <QEvent>
#include <QSlider>
#include <cstdint>
#include <vector>

#include "tessaly/export.h"

class QSocketNotifier;
typedef struct _snd_mixer snd_mixer_t;
typedef struct _snd_mixer_elem snd_mixer_elem_t;

// A mixer control changed: the mixer it belongs to and the control's id. Control ids
// 0 and 1 stand for "some control of this mixer".
class MixerControlChangeEvent : public QEvent {
  public:
    static constexpr QEvent::Type kType = QEvent::Type(QEvent::User + 0x3D1);
    MixerControlChangeEvent(snd_mixer_t* mixer, uint32_t controlId)
        : QEvent(kType), mixer_(mixer), controlId_(controlId) {}
    snd_mixer_t* mixer() const { return mixer_; }
    uint32_t controlId() const { return controlId_; }

  private:
    snd_mixer_t* mixer_;
    uint32_t controlId_;
};

class TESSALY_EXPORT TVolumeControl : public QSlider {
  public:
    explicit TVolumeControl(QWidget* owner = nullptr);
    ~TVolumeControl() override;
    TVolumeControl(const TVolumeControl&) = delete;
    TVolumeControl& operator=(const TVolumeControl&) = delete;

    // Binds the bar to the microphone's volume and mute controls. A mixer opened
    // before is closed first. Fails when there is no mixer, no microphone line, or
    // the line lacks a volume or a mute control; the mixer then stays open (the
    // range is already set when only the mute control is missing).
    bool Open();
    // True when nothing is open; false when the mixer refuses to close.
    bool Close();

    bool GetCurrentVolume(uint32_t* volume);
    // True when the microphone is muted; false also when it cannot be read.
    bool GetCurrentMute();
    // Refuses values outside the control's range.
    bool SetVolume(uint32_t volume);
    void GetMaxMin(uint32_t* maximum, uint32_t* minimum) const;

    snd_mixer_t* GetMixerID() const { return mixer_; }
    uint32_t GetVolumeID() const { return volumeId_; }
    uint32_t GetMuteID() const { return muteId_; }
    uint32_t MixerDeviceCount() const { return deviceCount_; }

    void OnMixerCtrlChange(const MixerControlChangeEvent& message);
    virtual bool Dispatch(QEvent* message);

  protected:
    bool event(QEvent* e) override { return Dispatch(e); }

  private:
#define TESSALY_HIDDEN __attribute__((visibility("hidden")))
    TESSALY_HIDDEN static int elementChanged(snd_mixer_elem_t* element, unsigned int mask);
    TESSALY_HIDDEN void watchMixer();
#undef TESSALY_HIDDEN

    uint32_t deviceCount_ = 0;
    snd_mixer_t* mixer_ = nullptr;
    snd_mixer_elem_t* microphone_ = nullptr;
    uint32_t volumeId_ = 0;
    uint32_t muteId_ = 0;
    std::vector<QSocketNotifier*> notifiers_;
};
