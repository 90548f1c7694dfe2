#pragma once

#include "progressobserver.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

// One line on standard error, which must be a terminal, that shows while a file is updated
// the file, the step being run with its place among the file's steps, and the time since the
// run began:
//
//     data.db  copying result -> results  step 7 of 31  0:12
//
// It is drawn when a file's first step and its saving begin, and redrawn each second by a
// thread of its own, also while one statement runs long. Every message finds it cleared, and
// it is cleared when a file is finished and when the line is destroyed, so that nothing of it
// stays among the messages.
class ProgressLine : public ProgressObserver
{
public:
    ProgressLine();
    ~ProgressLine() override;

    void fileStarted(const QString &fileName, int stepCount) override;
    void stepStarted(int step, const QString &text) override;
    void fileFinished() override;

private:
    // Under m_mutex.
    void draw();
    void clear();

    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stopping = false;
    const std::chrono::steady_clock::time_point m_start;
    QString m_fileName;
    int m_stepCount = 0;
    // 0 while no step of a file runs.
    int m_step = 0;
    QString m_stepText;
    // The length of the line on the terminal, 0 when it is cleared.
    qsizetype m_shownLength = 0;
    QtMessageHandler m_previousHandler = nullptr;
    std::thread m_ticker;
};
