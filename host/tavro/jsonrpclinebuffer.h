#ifndef JSONRPCLINEBUFFER_H
#define JSONRPCLINEBUFFER_H

#include <QByteArray>

// Cuts a byte stream into newline-delimited lines in linear time: lines are
// taken at a moving offset, and what was taken is dropped once per append(),
// so many short lines in one read never copy the rest of the buffer again.
//
// A line is handed out without its "\n" (and a "\r" before it); lines of
// only blanks are skipped. A line, finished or not, longer than the limit
// set at the moment it is looked at is reported instead of returned; the
// buffer is useless after that (the stream cannot be framed any more).
class JsonRpcLineBuffer
{
public:
    enum Status {
        LineReady,
        NeedMore,
        LineTooLong
    };

    explicit JsonRpcLineBuffer(int maxLineLength)
        : m_maxLineLength(maxLineLength)
    {
    }

    int maxLineLength() const { return m_maxLineLength; }
    // Applies to the lines looked at from now on, the unfinished one too.
    void setMaxLineLength(int bytes) { m_maxLineLength = bytes; }

    void append(const char *data, int size);
    // The next line into *line, when there is one.
    Status takeLine(QByteArray *line);
    // At the end of the stream: the unfinished rest as the last line (empty
    // when it is blank). Empties the buffer.
    QByteArray takeRest();
    // Bytes received and not yet handed out.
    int size() const { return m_data.size() - m_offset; }
    void clear();

private:
    QByteArray m_data;
    int m_offset = 0;  // start of the first line not handed out
    int m_scanned = 0; // no "\n" in [m_offset, m_scanned)
    int m_maxLineLength = 0;
};

#endif // JSONRPCLINEBUFFER_H
