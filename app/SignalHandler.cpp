#include "SignalHandler.h"

#include <QSocketNotifier>

#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace {

constexpr int kSignals[] = {SIGTERM, SIGHUP, SIGINT};

// The write end, for the handler; -1 while no handler object exists.
std::atomic<int> g_writeEnd{-1};
// Whether an end was asked for already: the operator's second Ctrl+C (or a service manager's
// second SIGTERM) means the orderly end hangs, and waiting on it helps nobody.
std::atomic<bool> g_endAsked{false};

extern "C" void OnSignal(int signalNumber)
{
    const int savedErrno = errno;
    // SIGHUP neither counts nor forces: a session that ends may send it beside SIGTERM.
    if (signalNumber != SIGHUP && g_endAsked.exchange(true)) {
        // The default action, taken as soon as this handler returns: the parent sees the
        // program killed by the signal it sent. Both calls are safe in a handler.
        struct sigaction action = {};
        action.sa_handler = SIG_DFL;
        sigemptyset(&action.sa_mask);
        ::sigaction(signalNumber, &action, nullptr);
        ::raise(signalNumber);
        errno = savedErrno;
        return;
    }
    const int fd = g_writeEnd.load();
    if (fd >= 0) {
        const unsigned char number = static_cast<unsigned char>(signalNumber);
        // A full pair means an end is already on its way; a lost byte changes nothing.
        [[maybe_unused]] const ssize_t written = ::write(fd, &number, 1);
    }
    errno = savedErrno;
}

} // namespace

SignalHandler::SignalHandler(QObject *parent)
    : QObject(parent)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, m_sockets) != 0)
        return;
    g_endAsked.store(false);
    g_writeEnd.store(m_sockets[0]);
    struct sigaction action = {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    // A read or write of a port thread interrupted by the signal goes on by itself.
    action.sa_flags = SA_RESTART;
    for (const int number : kSignals) {
        if (::sigaction(number, &action, nullptr) != 0) {
            g_writeEnd.store(-1);
            return;
        }
    }
    m_notifier = new QSocketNotifier(m_sockets[1], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &SignalHandler::OnReadable);
}

SignalHandler::~SignalHandler()
{
    struct sigaction action = {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    for (const int number : kSignals)
        ::sigaction(number, &action, nullptr);
    g_writeEnd.store(-1);
    delete m_notifier;
    for (const int fd : m_sockets) {
        if (fd >= 0)
            ::close(fd);
    }
}

void SignalHandler::OnReadable()
{
    unsigned char numbers[16];
    const ssize_t count = ::read(m_sockets[1], numbers, sizeof numbers);
    for (ssize_t i = 0; i < count; ++i)
        emit EndRequested(numbers[i]);
}
