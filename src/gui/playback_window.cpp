#include "gui/playback_window.h"
#include <QApplication>
#include <QElapsedTimer>
#include <QFontMetrics>
#include <QHBoxLayout>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QSlider>
#include <QTimer>
#include <QVBoxLayout>

namespace {
int64_t monotonicMs() {
    static QElapsedTimer clock;
    if (!clock.isValid()) clock.start();
    return clock.elapsed();
}

// Framed black gadget: a sunken edge, the contents 2 pixels inside.
void paintFrame(QWidget* w, QPainter& p) {
    p.fillRect(w->rect(), Qt::black);
    p.setPen(w->palette().color(QPalette::Dark));
    p.drawLine(0, 0, w->width() - 1, 0);
    p.drawLine(0, 0, 0, w->height() - 1);
    p.setPen(w->palette().color(QPalette::Light));
    p.drawLine(w->width() - 1, 0, w->width() - 1, w->height() - 1);
    p.drawLine(0, w->height() - 1, w->width() - 1, w->height() - 1);
}
} // namespace

// The level meter: one column of segments per channel, read from the meter filter's
// positions when the window's timer repaints it.
class VUMeterWidget : public QWidget {
public:
    explicit VUMeterWidget(QWidget* parent) : QWidget(parent) {
        setObjectName("c650");
        setToolTip("Signal power level meters");
        setMinimumSize(fontMetrics().averageCharWidth() * 8, fontMetrics().height() * 6);
    }
    void setSource(const kygfVUMeterFilter* meter) { m_meter = meter; }
    void setActive(bool active) {
        if (active != m_active) {
            m_active = active;
            update();
        }
    }
    bool active() const { return m_active; }
    // Segments of a column, and how many are lit, for channel `c` (tests look at them).
    int segmentCount() const {
        return std::max(1, (height() - 4) / kyMeterSegmentSize(fontMetrics().height(), 0.125));
    }
    uint32_t litSegments(uint32_t c) const {
        return m_meter ? kyMeterLitSegments(segmentCount(), m_meter->Position(c), m_active) : 0;
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        paintFrame(this, p);
        const uint32_t channels = m_meter ? std::max<uint32_t>(1, m_meter->Channels()) : 1;
        const int w = width() - 4, h = height() - 4;
        // Segment heights follow the font, so the meter looks the same at every scale.
        const int segment = kyMeterSegmentSize(fontMetrics().height(), 0.125);
        const int n = std::max(1, h / segment);
        const int column = std::max(1, w / int(channels));
        for (uint32_t c = 0; c < channels; ++c) {
            const uint32_t lit = litSegments(c);
            for (int i = 0; i < n; ++i) {
                const kyMeterColour colour = kyMeterSegmentColour(i, n, uint32_t(i) < lit);
                const int y = 2 + h - (i + 1) * segment;
                p.fillRect(2 + int(c) * column, y, std::max(1, column - 1),
                           std::max(1, segment - 1), QColor(colour.red, colour.green, 0));
            }
        }
    }

private:
    const kygfVUMeterFilter* m_meter = nullptr;
    bool m_active = false;
};

// The time: the position, or the time left; a click switches between them.
class TimeDisplayWidget : public QWidget {
public:
    explicit TimeDisplayWidget(QWidget* parent) : QWidget(parent) {
        setObjectName("c651");
        setToolTip("Click to toggle between showing current time and remaining time");
        setMinimumSize(fontMetrics().horizontalAdvance("- 0h00m00s") + 16,
                       fontMetrics().height() + 10);
    }
    void setTimes(int64_t length, int64_t position) {
        if (length != m_length || position != m_position) {
            m_length = length;
            m_position = position;
            update();
        }
    }
    QString text() const {
        return QString::fromStdString(kyPlaybackTimeDisplay(m_position, m_length, m_remaining));
    }

protected:
    void mousePressEvent(QMouseEvent*) override {
        m_remaining = !m_remaining;
        update();
    }
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        paintFrame(this, p);
        p.setPen(QColor(154, 242, 255));
        p.drawText(rect(), Qt::AlignCenter, text());
    }

private:
    int64_t m_length = 0, m_position = 0;
    bool m_remaining = false;
};

PlaybackWindow::PlaybackWindow(QWidget* parent, kySourceFilter* source, const std::string& device,
                               const std::string& caption)
    : QDialog(parent), m_controller(std::make_unique<kyPlaybackController>(source)) {
    setObjectName("d150");
    setModal(true);
    m_meter = new VUMeterWidget(this);
    m_time = new TimeDisplayWidget(this);
    m_playPause = new QPushButton("|>", this);
    m_playPause->setObjectName("c652");
    m_playPause->setToolTip("Click to start or pause playback");
    m_rewind = new QPushButton("|<<", this);
    m_rewind->setObjectName("c653");
    m_rewind->setToolTip("Click to rewind to the start position");
    m_close = new QPushButton("Close", this);
    m_close->setObjectName("c654");
    m_close->setToolTip("Click to close the audio playback window");
    m_slider = new QSlider(Qt::Horizontal, this);
    m_slider->setObjectName("c655");
    m_slider->setToolTip("Drag this slider to jump to a different playback time");
    m_slider->setRange(0, kyPlaybackController::kSliderMax);

    auto* top = new QHBoxLayout;
    top->addWidget(m_meter, 1);
    auto* right = new QVBoxLayout;
    right->addWidget(m_time);
    auto* buttons = new QHBoxLayout;
    for (QPushButton* b : {m_playPause, m_rewind, m_close}) buttons->addWidget(b);
    right->addLayout(buttons);
    right->addWidget(m_slider);
    right->addStretch();
    top->addLayout(right);
    setLayout(top);

    connect(m_playPause, &QPushButton::clicked, this, &PlaybackWindow::playPause);
    connect(m_rewind, &QPushButton::clicked, this, [this] {
        m_controller->Rewind(monotonicMs());
        tick();
    });
    connect(m_close, &QPushButton::clicked, this, &QDialog::reject);
    // Slider movements always come as dragging requests: the seek follows 200 ms after the
    // slider came to rest. (The timer's own updates are not user moves: it blocks signals.)
    connect(m_slider, &QSlider::valueChanged, this,
            [this](int value) { m_controller->SeekRequest(value, true, monotonicMs()); });

    // The end arrives on the playing thread: it is queued with this window as context, so a
    // window closed in the meantime never sees it.
    const kyError e = m_controller->Open(device, 0, [this](kyError result) {
        QMetaObject::invokeMethod(
            this, [this, result] { endOfPlayback(result); }, Qt::QueuedConnection);
    });
    setWindowTitle(QString::fromStdString(m_controller->Title(caption)));
    if (kyFailed(e)) {
        m_openError = QString::fromStdString(kyErrorText(e));
        QMetaObject::invokeMethod(
            this, [this] { endOfPlayback(KYERR_OPEN_FILE); }, Qt::QueuedConnection);
    }
    m_meter->setSource(m_controller->Meter());
    m_timer = new QTimer(this);
    connect(m_timer, &QTimer::timeout, this, &PlaybackWindow::tick);
    m_timer->start(100);
    updateButton();
    tick();
}

PlaybackWindow::~PlaybackWindow() {
    m_timer->stop();
    QApplication::setOverrideCursor(Qt::WaitCursor);
    m_controller.reset();
    QApplication::restoreOverrideCursor();
}

void PlaybackWindow::openPlayback(QWidget* owner, kySourceFilter* source, const std::string& device,
                                  const std::string& caption) {
    PlaybackWindow window(owner, source, device, caption);
    window.exec();
}

void PlaybackWindow::done(int result) {
    m_timer->stop();
    QDialog::done(result);
}

void PlaybackWindow::updateButton() {
    m_playPause->setText(m_controller->IsActive() ? "| |" : "|>");
}

void PlaybackWindow::playPause() {
    if (!m_controller->IsOpen()) return;
    m_controller->PlayPause();
    updateButton();
    tick();
}

void PlaybackWindow::tick() {
    const auto view = m_controller->Tick(monotonicMs());
    m_meter->setActive(view.active);
    if (!m_slider->isSliderDown()) {
        const QSignalBlocker quiet(m_slider);
        m_slider->setValue(view.slider);
    }
    m_time->setTimes(view.lengthSeconds, view.positionSeconds);
    m_meter->update();
    updateButton();
}

void PlaybackWindow::endOfPlayback(kyError result) {
    std::string text = m_controller->EndOfPlayback(result);
    if (!m_openError.isEmpty()) text = m_openError.toStdString();
    m_meter->setActive(false);
    updateButton();
    if (kyFailed(result)) {
        QMessageBox box(QMessageBox::Warning, QString::fromStdString(text),
                        "Couldn't play the file...", QMessageBox::Ok, this);
        box.setObjectName("playbackError");
        box.exec();
        reject();
    }
}
