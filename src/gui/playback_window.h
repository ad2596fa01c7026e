#pragma once
// The "Audio playback" window: a level meter per channel, the time (elapsed or remaining),
// a position slider and play/pause, rewind and close. The logic is kyPlaybackController's;
// this window shows it and repaints on its 100 ms timer.
#include "app/playback_controller.h"
#include <QDialog>
#include <memory>

class QPushButton;
class QSlider;
class QTimer;
class VUMeterWidget;
class TimeDisplayWidget;

class PlaybackWindow : public QDialog {
    Q_OBJECT
public:
    // `source` (borrowed) is already set to the track or range; `device` as for
    // kyOpenAudioOutput. Playback starts at once.
    PlaybackWindow(QWidget* parent, kySourceFilter* source, const std::string& device,
                   const std::string& caption);
    ~PlaybackWindow() override;

    // Opens the window modally and returns when it closes.
    static void openPlayback(QWidget* owner, kySourceFilter* source, const std::string& device,
                             const std::string& caption);

    kyPlaybackController& controller() { return *m_controller; }

protected:
    void done(int result) override;

private:
    void playPause();
    void tick();
    void endOfPlayback(kyError result);
    void updateButton();

    std::unique_ptr<kyPlaybackController> m_controller;
    VUMeterWidget* m_meter;
    TimeDisplayWidget* m_time;
    QPushButton* m_playPause;
    QPushButton* m_rewind;
    QPushButton* m_close;
    QSlider* m_slider;
    QTimer* m_timer;
    QString m_openError;
};
