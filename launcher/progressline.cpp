#include "progressline.h"

#include "consoleoutput.h"

#include <QStringList>

using namespace Qt::StringLiterals;

namespace {

ProgressLine *shownLine = nullptr;

} // namespace

ProgressLine::ProgressLine()
    : m_start(std::chrono::steady_clock::now())
{
    shownLine = this;
    // A message is passed on with the line cleared; the next redraw shows the line below it.
    m_previousHandler = qInstallMessageHandler(
        [](QtMsgType type, const QMessageLogContext &context, const QString &message) {
            const std::lock_guard<std::mutex> lock(shownLine->m_mutex);
            shownLine->clear();
            shownLine->m_previousHandler(type, context, message);
        });
    // The redraws, at each whole second since the run began, so that the time shown moves by one.
    m_ticker = std::thread([this] {
        std::unique_lock<std::mutex> lock(m_mutex);
        for (auto next = m_start;;) {
            for (const auto now = std::chrono::steady_clock::now(); next <= now;)
                next += std::chrono::seconds(1);
            if (m_wake.wait_until(lock, next, [this] { return m_stopping; }))
                return;
            draw();
        }
    });
}

ProgressLine::~ProgressLine()
{
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
        clear();
    }
    m_wake.notify_one();
    m_ticker.join();
    qInstallMessageHandler(m_previousHandler);
    shownLine = nullptr;
}

void ProgressLine::fileStarted(const QString &fileName, int stepCount)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_fileName = fileName;
    m_stepCount = stepCount;
}

void ProgressLine::stepStarted(int step, const QString &text)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_step = step;
    m_stepText = text;
    // The file shows at once, and so does its saving, which may take long on slow storage.
    if (step == 1 || step == m_stepCount)
        draw();
}

void ProgressLine::fileFinished()
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    clear();
    m_step = 0;
}

// Over the line shown before: blanks cover the rest of a longer one. The step's text is
// shortened to keep the line one column short of the terminal's width, which would wrap a line
// that fills it, and the line itself where even the rest does not fit. The width is asked at
// each drawing, so that a terminal made narrower meanwhile gets a shorter line.
void ProgressLine::draw()
{
    if (m_step == 0)
        return;
    const qsizetype maxLength = qMax(standardErrorColumns() - 1, 1);
    const QString place = u"step %1 of %2"_s.arg(m_step).arg(m_stepCount);
    // The time since the run began, m:ss, or h:mm:ss from an hour on.
    const qint64 seconds = (std::chrono::steady_clock::now() - m_start) / std::chrono::seconds(1);
    QString elapsed = u"%1:%2"_s.arg(seconds / 60 % 60).arg(seconds % 60, 2, 10, QChar(u'0'));
    if (seconds >= 3600)
        elapsed = u"%1:%2"_s.arg(seconds / 3600).arg(elapsed.rightJustified(5, u'0'));
    const qsizetype room = maxLength - m_fileName.size() - place.size() - elapsed.size() - 6;
    const QString step = m_stepText.left(qMax(room, qsizetype(0)));
    const QString text = QStringList {m_fileName, step, place, elapsed}.join(u"  ").left(maxLength);
    printError(u'\r' + text + QString(m_shownLength - text.size(), u' ') + u'\r');
    m_shownLength = text.size();
}

void ProgressLine::clear()
{
    if (m_shownLength == 0)
        return;
    printError(u'\r' + QString(m_shownLength, u' ') + u'\r');
    m_shownLength = 0;
}
