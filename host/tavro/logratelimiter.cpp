#include "logratelimiter.h"

bool LogRateLimiter::allow(QtMsgType type)
{
    if (!m_window.isValid() || m_window.elapsed() >= m_windowMs) {
        m_window.start();
        m_logged = 0;
    }
    if (m_logged >= m_maxMessages) {
        m_heldBack++;
        return false;
    }
    m_logged++;
    if (m_heldBack > 0) {
        const QMessageLogger logger;
        (type == QtDebugMsg ? logger.debug(*m_category) : logger.warning(*m_category))
                << m_heldBack << "similar messages were held back";
        m_heldBack = 0;
    }
    return true;
}
