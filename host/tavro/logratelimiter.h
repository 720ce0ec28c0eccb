#ifndef LOGRATELIMITER_H
#define LOGRATELIMITER_H

#include <QElapsedTimer>
#include <QLoggingCategory>

// Keeps a log message that a client can trigger at will from flooding the
// log: at most maxMessages per window are let through. The ones held back
// are counted, and the next message let through is preceded by one line
// saying how many there were, in the same category and at the same level.
class LogRateLimiter
{
public:
    // The category must outlive the limiter (categories are static).
    explicit LogRateLimiter(const QLoggingCategory &category, int maxMessages = 10, qint64 windowMs = 10000)
        : m_category(&category),
          m_maxMessages(maxMessages),
          m_windowMs(windowMs)
    {
    }

    // True when a message of this type may be logged now.
    bool allow(QtMsgType type);

private:
    const QLoggingCategory *m_category = nullptr;
    int m_maxMessages = 10;
    qint64 m_windowMs = 10000;
    QElapsedTimer m_window;
    int m_logged = 0;
    int m_heldBack = 0;
};

#endif // LOGRATELIMITER_H
