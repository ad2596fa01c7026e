#pragma once
// A one-line label that shortens its text in the middle ("/home/ann/Mu…/07 - Intro.wav")
// to whatever width it is given, keeping the full text for its tooltip-free reading.
#include <QLabel>

class ElidedLabel : public QLabel {
    Q_OBJECT
public:
    explicit ElidedLabel(QWidget* parent = nullptr) : QLabel(parent) {
        setMinimumWidth(40);
        setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    }
    void setFullText(const QString& text) {
        m_full = text;
        refresh();
    }
    const QString& fullText() const { return m_full; }

protected:
    void resizeEvent(QResizeEvent* event) override {
        QLabel::resizeEvent(event);
        refresh();
    }

private:
    void refresh() {
        const int room = contentsRect().width() - 2 * margin() - 2 * qMax(indent(), 0);
        setText(fontMetrics().elidedText(m_full, Qt::ElideMiddle, qMax(room, 1)));
    }
    QString m_full;
};
