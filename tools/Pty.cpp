#include "Pty.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

int PollFor(int fd, short events, std::chrono::milliseconds limit)
{
    pollfd entry{fd, events, 0};
    const int ready = ::poll(&entry, 1, int(limit.count()));
    return ready > 0 ? entry.revents : 0;
}

} // namespace

Pty::Pty()
{
    termios raw{};
    ::cfmakeraw(&raw);
    raw.c_cflag |= CLOCAL | CREAD;
    ::cfsetspeed(&raw, B9600);
    char name[256] = {};
    if (::openpty(&m_farEnd, &m_device, name, &raw, nullptr) != 0) {
        m_farEnd = m_device = -1;
        return;
    }
    m_path = QString::fromLocal8Bit(name);
    ::fcntl(m_farEnd, F_SETFL, ::fcntl(m_farEnd, F_GETFL) | O_NONBLOCK);
    ::fcntl(m_farEnd, F_SETFD, FD_CLOEXEC);
    ::fcntl(m_device, F_SETFD, FD_CLOEXEC);
}

Pty::~Pty()
{
    ReleaseDevice();
    CloseFarEnd();
}

qsizetype Pty::WriteSome(QByteArrayView bytes)
{
    if (m_farEnd < 0)
        return -1;
    if (bytes.isEmpty())
        return 0;
    const ssize_t written = ::write(m_farEnd, bytes.data(), size_t(bytes.size()));
    if (written >= 0)
        return written;
    return (errno == EAGAIN || errno == EINTR) ? 0 : -1;
}

bool Pty::WriteAll(QByteArrayView bytes, std::chrono::milliseconds patience)
{
    while (!bytes.isEmpty()) {
        const qsizetype written = WriteSome(bytes);
        if (written < 0)
            return false;
        if (written == 0 && !WaitWritable(patience))
            return false;
        bytes = bytes.sliced(written);
    }
    return true;
}

bool Pty::WaitWritable(std::chrono::milliseconds limit)
{
    return m_farEnd >= 0 && (PollFor(m_farEnd, POLLOUT, limit) & POLLOUT);
}

QByteArray Pty::ReadAvailable()
{
    QByteArray bytes;
    char chunk[4096];
    while (m_farEnd >= 0) {
        const ssize_t got = ::read(m_farEnd, chunk, sizeof chunk);
        if (got <= 0)
            break;
        bytes.append(chunk, got);
    }
    return bytes;
}

bool Pty::WaitReadable(std::chrono::milliseconds limit)
{
    return m_farEnd >= 0 && (PollFor(m_farEnd, POLLIN, limit) & POLLIN);
}

bool Pty::DeviceInUse()
{
    return m_farEnd >= 0 && !(PollFor(m_farEnd, 0, std::chrono::milliseconds(0)) & POLLHUP);
}

void Pty::ReleaseDevice()
{
    if (m_device >= 0)
        ::close(m_device);
    m_device = -1;
}

int Pty::QueuedAtDevice() const
{
    if (m_device < 0)
        return -1;
    // The far end's bytes reach the device's queue through a kernel work item; a poll of the
    // device runs it, so that the count includes everything written so far.
    PollFor(m_device, POLLIN, std::chrono::milliseconds(0));
    int queued = -1;
    if (::ioctl(m_device, FIONREAD, &queued) != 0)
        return -1;
    return queued;
}

// On the far end: the device may be released or held by the program alone.
bool Pty::GetLineSettings(termios *settings) const
{
    return m_farEnd >= 0 && ::tcgetattr(m_farEnd, settings) == 0;
}

bool Pty::SetLineSettings(const termios &settings)
{
    return m_farEnd >= 0 && ::tcsetattr(m_farEnd, TCSANOW, &settings) == 0;
}

void Pty::CloseFarEnd()
{
    if (m_farEnd >= 0)
        ::close(m_farEnd);
    m_farEnd = -1;
}
