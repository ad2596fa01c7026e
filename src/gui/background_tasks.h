#pragma once
// Work that must not freeze the window (requests to the disc database): each task runs on
// a thread of its own, and its result is handed to the window's thread when it arrives.
// The owner waits for every task before it goes, after telling them to give up.
#include <QObject>
#include <QPointer>
#include <QThread>

#include <atomic>
#include <functional>
#include <memory>
#include <vector>

class BackgroundTasks : public QObject {
    Q_OBJECT
public:
    explicit BackgroundTasks(QObject* parent = nullptr) : QObject(parent) {}
    ~BackgroundTasks() override { cancelAndWait(); }

    // Runs `work` on its own thread, then `done` with its result on this object's thread
    // (not at all when this object is gone by then).
    template <class Result>
    void run(std::function<Result()> work, std::function<void(Result)> done) {
        auto result = std::make_shared<Result>();
        QThread* thread = QThread::create([work, result] { *result = work(); });
        m_threads.push_back(thread);
        ++m_running;
        emit busyChanged(true);
        connect(thread, &QThread::finished, this, [this, thread, result, done] {
            std::erase(m_threads, thread);
            thread->deleteLater();
            --m_running;
            if (!m_cancelled) done(std::move(*result));
            emit busyChanged(m_running > 0);
        });
        thread->start();
    }

    bool busy() const { return m_running > 0; }
    // Tells running work to give up (through `flag`), and waits for it.
    void addCancelFlag(std::shared_ptr<std::atomic<bool>> flag) { m_flags.push_back(flag); }
    void cancelAndWait() {
        m_cancelled = true;
        for (auto& f : m_flags)
            if (f) f->store(true);
        for (QThread* t : m_threads) t->wait();
        m_threads.clear();
    }

signals:
    void busyChanged(bool busy);

private:
    std::vector<QThread*> m_threads;
    std::vector<std::shared_ptr<std::atomic<bool>>> m_flags;
    int m_running = 0;
    bool m_cancelled = false;
};
