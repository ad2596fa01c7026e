// The "Audio playback" window driven as a user drives it, on the offscreen platform, playing
// into an ALSA device that writes a file: play, pause (the meter drops, the position holds),
// rewind while paused, a slider seek, the end of the stream, closing while the end is on its
// way, a device that cannot be opened, and the time and meter drawing rules.
#include "app/playback_controller.h"
#include "gui/playback_window.h"
#include "gui_test_support.h"
#include "support/alsa_test_config.h"

#include <QApplication>
#include <QPushButton>
#include <QSlider>
#include <QTest>
#include <chrono>
#include <cmath>
#include <thread>

using namespace kytest;

namespace {
// A stereo source that delivers about three times faster than real time (the file device
// takes anything at once), with a peak that steps every sector.
class PacedSource : public kySourceFilter2 {
public:
    explicit PacedSource(uint32_t frames) : kySourceFilter2("Paced source") {
        m_format.channels = 2;
        m_format.sampleRate = 44100;
        m_format.lengthFrames = frames;
        m_format.blockFrames = 588;
        m_properties.setUtf8(KYPROP_TITLE, "Paced");
        for (int c = 0; c < 2; ++c) m_block[c].resize(588);
    }
    ~PacedSource() override { ++destroyed; }
    uint32_t Seek(uint32_t frame) override { return m_seek = frame / 588 * 588; }
    kyError Prepare() override {
        m_pos = m_seek;
        return KY_OK;
    }
    kyError Process() override {
        std::this_thread::sleep_for(std::chrono::milliseconds(4));
        const uint32_t n = std::min<uint32_t>(588, m_format.lengthFrames - m_pos);
        for (int c = 0; c < 2; ++c)
            for (uint32_t i = 0; i < n; ++i)
                m_block[c][i] = 0.5f * std::sin(float(m_pos + i) * (c ? 0.01f : 0.02f));
        float* planes[2] = {m_block[0].data(), m_block[1].data()};
        m_pos += n;
        kyError e = m_downstream->Write(planes, n);
        if (kyFailed(e)) return e;
        return m_pos >= m_format.lengthFrames ? m_downstream->EndOfStream() : KY_OK;
    }
    static inline int destroyed = 0;

private:
    std::vector<float> m_block[2];
    uint32_t m_pos = 0, m_seek = 0;
};
} // namespace

class PlaybackWindowTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() {
        if (!AlsaTestConfig::available()) QSKIP("ALSA's configuration is missing");
        AlsaTestConfig::Get();
    }

    void playPauseRewindSeekAndEnd() {
        PacedSource source(44100 * 4);
        PlaybackWindow window(nullptr, &source, "alsa:dskrfloat", "Track 1");
        window.show();
        auto* play = window.findChild<QPushButton*>("c652");
        auto* rewind = window.findChild<QPushButton*>("c653");
        auto* slider = window.findChild<QSlider*>("c655");
        QVERIFY(play && rewind && slider && window.findChild<QWidget*>("c650"));
        QCOMPARE(window.windowTitle(), QString("Paced - 0m04s - Track 1"));
        QVERIFY(window.isModal());
        kyPlaybackController& player = window.controller();
        QVERIFY(waitUntil([&] { return player.PositionSeconds() > 0.5; }, 5000));
        QCOMPARE(play->text(), QString("| |"));
        QVERIFY(waitUntil([&] { return player.Meter()->Position(0) > 0.5f; }, 2000));

        // Pause: the button, the meter and the position hold.
        QTest::mouseClick(play, Qt::LeftButton);
        QCOMPARE(play->text(), QString("|>"));
        QCOMPARE(player.Meter()->Position(0), 0.0f);
        const double paused = player.PositionSeconds();
        QTest::qWait(300);
        QCOMPARE(player.PositionSeconds(), paused);
        QVERIFY(slider->value() > 0);

        // Rewind while paused: at once.
        QTest::mouseClick(rewind, Qt::LeftButton);
        QCOMPARE(player.PositionSeconds(), 0.0);
        QTRY_COMPARE_WITH_TIMEOUT(slider->value(), 0, 1000);

        // The slider to the middle: the seek follows when it has rested 200 ms.
        slider->setValue(kyPlaybackController::kSliderMax / 2);
        QTRY_VERIFY_WITH_TIMEOUT(std::fabs(player.PositionSeconds() - 2.0) < 0.01, 2000);

        // Play on to the end: the button returns to play, no message.
        QTest::mouseClick(play, Qt::LeftButton);
        QCOMPARE(play->text(), QString("| |"));
        QVERIFY(waitUntil([&] { return player.Output()->AtEnd(); }, 10000));
        QTRY_COMPARE_WITH_TIMEOUT(play->text(), QString("|>"), 2000);
        QCOMPARE(player.PositionSeconds(), 4.0);
        QTRY_COMPARE_WITH_TIMEOUT(slider->value(), kyPlaybackController::kSliderMax, 1000);
        // Play again starts from the beginning.
        QTest::mouseClick(play, Qt::LeftButton);
        QVERIFY(player.PositionSeconds() < 1.0);
        window.close();
    }

    void closingLeavesTheSourceAndDropsTheEnd() {
        // A short stream whose end is queued while the window goes: nothing may reach it.
        PacedSource::destroyed = 0;
        auto source = std::make_unique<PacedSource>(588 * 3);
        {
            PlaybackWindow window(nullptr, source.get(), "alsa:dskrfloat", "x");
            window.show();
            QVERIFY(waitUntil([&] { return window.controller().Output()->AtEnd(); }, 5000));
        }
        QApplication::processEvents();
        QCOMPARE(PacedSource::destroyed, 0);
        QVERIFY(source->downstream() == nullptr);
        kyAudioFormat f;
        QCOMPARE(source->GetFormat(f), KY_OK);
    }

    void aDeviceThatCannotOpenShowsTheMessage() {
        PacedSource source(44100);
        QStringList seen;
        answerBox("OK", &seen);
        PlaybackWindow window(nullptr, &source, "alsa:dskr_not_defined", "x");
        window.show();
        QVERIFY(waitUntil([&] { return !seen.isEmpty(); }, 3000));
        QVERIFY(seen[0].contains("Couldn't play the file..."));
        QVERIFY(waitUntil([&] { return !window.isVisible(); }, 2000));
        QCOMPARE(window.findChild<QPushButton*>("c652")->text(), QString("|>"));
        // With no chain, the buttons do nothing.
        QTest::mouseClick(window.findChild<QPushButton*>("c652"), Qt::LeftButton);
        QCOMPARE(window.findChild<QPushButton*>("c652")->text(), QString("|>"));
    }

    void timeAndMeterRules() {
        QCOMPARE(QString::fromStdString(kyPlaybackTimeText(187)), QString("3m07s"));
        QCOMPARE(QString::fromStdString(kyPlaybackTimeText(3787)), QString("1h03m07s"));
        QCOMPARE(QString::fromStdString(kyPlaybackTimeDisplay(0, 187, true)), QString("- 3m07s"));
        QCOMPARE(QString::fromStdString(kyPlaybackTimeDisplay(187, 187, true)), QString("  0m00s"));
        QCOMPARE(QString::fromStdString(kyPlaybackTimeDisplay(0, 0, false)), QString("0m00s"));
        QCOMPARE(kyMeterLitSegments(20, 0.5f, true), 10u);
        QCOMPARE(kyMeterLitSegments(20, 0.5f, false), 0u);
        for (uint32_t i = 0; i < 10; ++i)
            QCOMPARE(int(kyMeterSegmentColour(i, 20, true).green), 255);
        const kyMeterColour c15 = kyMeterSegmentColour(15, 20, true);
        QCOMPARE(int(c15.red), 127);
        QCOMPARE(int(c15.green), 128);
        const kyMeterColour dim = kyMeterSegmentColour(15, 20, false);
        QCOMPARE(int(dim.red), 127 / 4);
        QCOMPARE(int(dim.green), 128 / 4);
        QCOMPARE(kyMeterSegmentSize(3, 0.125), 1);
        QCOMPARE(kyMeterSegmentSize(0, 0.125), 1);
        QCOMPARE(kyMeterSegmentSize(16, 0.25), 6);
        // A stream without a length: 0m00s and a slider at 0, no division by zero.
        kyPlaybackController none(nullptr);
        QCOMPARE(none.Open("", 0, nullptr), KYERR_SEQUENCE);
        QCOMPARE(none.Tick(0).slider, 0);
    }
};

QTEST_MAIN(PlaybackWindowTest)
#include "playback_window_test.moc"
