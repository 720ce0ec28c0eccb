#include "jsonrpclinebuffer.h"

#include <cstring>

namespace {

bool isBlank(const char *begin, const char *end)
{
    for (const char *c = begin; c != end; ++c) {
        if (*c != ' ' && *c != '\t' && *c != '\r' && *c != '\n' && *c != '\f' && *c != '\v')
            return false;
    }
    return true;
}

}

void JsonRpcLineBuffer::append(const char *data, int size)
{
    // The one trim per read: only the unfinished rest moves.
    if (m_offset > 0) {
        m_data.remove(0, m_offset);
        m_scanned -= m_offset;
        m_offset = 0;
    }
    m_data.append(data, size);
}

JsonRpcLineBuffer::Status JsonRpcLineBuffer::takeLine(QByteArray *line)
{
    const char *data = m_data.constData();
    for (;;) {
        const void *found = m_scanned < m_data.size() ? std::memchr(data + m_scanned, '\n',
                                                                    static_cast<size_t>(m_data.size() - m_scanned))
                                                      : nullptr;
        if (!found) {
            m_scanned = m_data.size();
            // A "\r" at the end may still turn out to be part of the line end.
            const int unfinished = m_data.size() - m_offset - (m_data.endsWith('\r') ? 1 : 0);
            return unfinished > m_maxLineLength ? LineTooLong : NeedMore;
        }
        const int newline = static_cast<int>(static_cast<const char *>(found) - data);
        const int start = m_offset;
        m_offset = m_scanned = newline + 1;
        int end = newline;
        if (end > start && data[end - 1] == '\r')
            --end;
        if (end - start > m_maxLineLength)
            return LineTooLong;
        if (isBlank(data + start, data + end))
            continue;
        *line = QByteArray(data + start, end - start);
        return LineReady;
    }
}

QByteArray JsonRpcLineBuffer::takeRest()
{
    const char *begin = m_data.constData() + m_offset;
    const char *end = m_data.constData() + m_data.size();
    const QByteArray rest = isBlank(begin, end) ? QByteArray() : QByteArray(begin, static_cast<int>(end - begin));
    clear();
    return rest;
}

void JsonRpcLineBuffer::clear()
{
    m_data.clear();
    m_offset = 0;
    m_scanned = 0;
}
