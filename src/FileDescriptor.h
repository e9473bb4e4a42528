// SPDX-License-Identifier: MIT
// An owned file descriptor, closed when its owner goes.
#pragma once

#include <cerrno>

#include <unistd.h>

class TFileDescriptor {
public:
    TFileDescriptor() = default;
    explicit TFileDescriptor(int fd)
        : m_fd(fd)
    {
    }
    TFileDescriptor(TFileDescriptor&& other) noexcept
        : m_fd(other.release())
    {
    }
    TFileDescriptor& operator=(TFileDescriptor&& other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    TFileDescriptor(const TFileDescriptor&) = delete;
    TFileDescriptor& operator=(const TFileDescriptor&) = delete;
    ~TFileDescriptor() { reset(); }

    int get() const { return m_fd; }
    bool isOpen() const { return m_fd >= 0; }

    // Closes the descriptor without looking at the result: for descriptors nothing was written to.
    void reset(int fd = -1)
    {
        if (m_fd >= 0) {
            const int saved = errno;
            ::close(m_fd);
            errno = saved;
        }
        m_fd = fd;
    }

    // Closes the descriptor and tells whether that succeeded: a file system may report a failed
    // write only here. errno holds the reason on false.
    bool close()
    {
        const int fd = release();
        return fd < 0 || ::close(fd) == 0;
    }

    int release()
    {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }

private:
    int m_fd = -1;
};
