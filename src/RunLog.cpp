// SPDX-License-Identifier: MIT
#include "RunLog.h"

#include "FileDescriptor.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <iostream>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// The log file is written with the system calls rather than through std::ofstream or QFile: the
// open must not block on a FIFO, the descriptor must be closed on exec, and every write, the sync
// and the close must tell their errno, which neither of them reports.
class TLogFileBuffer : public std::streambuf {
public:
    explicit TLogFileBuffer(int fd)
        : m_fd(fd)
    {
        setp(m_data, m_data + sizeof m_data);
    }
    ~TLogFileBuffer() override
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    TLogFileBuffer(const TLogFileBuffer&) = delete;
    TLogFileBuffer& operator=(const TLogFileBuffer&) = delete;

    // Only a regular file has contents to sync; a FIFO or a terminal refuses fsync with EINVAL.
    void setRegular(bool regular) { m_regular = regular; }
    bool finish(QString& error);

protected:
    int_type overflow(int_type c) override;
    // A failed write is kept for close() to report and the stream stays good: the lines after it
    // are still tried.
    int sync() override
    {
        writeOut();
        return 0;
    }

private:
    void writeOut();
    void fail(const char* operation, int error);

    int m_fd;
    bool m_regular = false;
    QString m_error;
    char m_data[4096];
};

namespace {

} // namespace

TLogFileBuffer::int_type TLogFileBuffer::overflow(int_type c)
{
    writeOut();
    if (traits_type::eq_int_type(c, traits_type::eof()))
        return traits_type::not_eof(c);
    *pptr() = traits_type::to_char_type(c);
    pbump(1);
    return c;
}

void TLogFileBuffer::fail(const char* operation, int error)
{
    if (m_error.isEmpty())
        m_error = QLatin1String(operation) + QLatin1String(": ") + errnoText(error);
}

void TLogFileBuffer::writeOut()
{
    // A FIFO whose reader went away fails the write with EPIPE: the program ignores SIGPIPE for
    // the whole run.
    const char* data = pbase();
    size_t left = static_cast<size_t>(pptr() - pbase());
    while (left > 0 && m_fd >= 0) {
        const ssize_t written = ::write(m_fd, data, left);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0) {
            fail("write", written < 0 ? errno : EIO);
            break;
        }
        data += written;
        left -= static_cast<size_t>(written);
    }
    setp(m_data, m_data + sizeof m_data);
}

bool TLogFileBuffer::finish(QString& error)
{
    writeOut();
    if (m_regular && ::fsync(m_fd) != 0)
        fail("fsync", errno);
    // No retry on EINTR: Linux has closed the descriptor already.
    if (::close(m_fd) != 0)
        fail("close", errno);
    m_fd = -1;
    error = m_error;
    return m_error.isEmpty();
}

void logLine(const QByteArray& line)
{
    std::cout.write(line.constData(), line.size());
    std::cout << '\n';
    std::cout.flush();
}

QByteArray logText(const QByteArray& utf8)
{
    static const char hex[] = "0123456789abcdef";
    QByteArray escaped;
    escaped.reserve(utf8.size());
    for (const char c : utf8) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte != 0x7f) {
            escaped += c;
        } else if (c == '\n') {
            escaped += "\\n";
        } else if (c == '\r') {
            escaped += "\\r";
        } else if (c == '\t') {
            escaped += "\\t";
        } else {
            escaped += "\\x";
            escaped += hex[byte >> 4];
            escaped += hex[byte & 0xf];
        }
    }
    return escaped;
}

QByteArray logText(const QString& text) { return logText(text.toUtf8()); }

void logOutcome(bool ok, const QByteArray& what)
{
    logLine(ok ? "Info: " + what + " ok" : "Warning: " + what + " failed");
}

TRunLogFile::TRunLogFile() = default;

TRunLogFile::~TRunLogFile()
{
    QString ignored;
    if (isOpen())
        close(ignored);
}

bool TRunLogFile::open(const QString& fileName, QString& error)
{
    const QByteArray name = QFile::encodeName(fileName);
    // O_NONBLOCK: opening a FIFO that nobody reads fails with ENXIO instead of waiting for ever.
    const int fd = ::open(
        name.constData(), O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0666);
    if (fd < 0) {
        error = errnoText(errno);
        return false;
    }
    auto buffer = std::make_unique<TLogFileBuffer>(fd); // owns the descriptor from here
    // Only the open had to be non-blocking: a FIFO or a terminal with a reader then takes every
    // line, as the standard output would, instead of failing with EAGAIN when it is full.
    struct stat st { };
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0 || ::fstat(fd, &st) != 0) {
        error = errnoText(errno);
        return false;
    }
    buffer->setRegular(S_ISREG(st.st_mode));
    m_buffer = std::move(buffer);
    m_oldCoutBuf = std::cout.rdbuf(m_buffer.get());
    return true;
}

bool TRunLogFile::close(QString& error)
{
    if (!m_buffer)
        return true;
    std::cout.rdbuf(m_oldCoutBuf);
    m_oldCoutBuf = nullptr;
    std::cout.clear();
    const bool ok = m_buffer->finish(error);
    m_buffer.reset();
    return ok;
}
