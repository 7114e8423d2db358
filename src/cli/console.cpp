#include "cli/console.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtGlobal>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <string>

#ifdef Q_OS_WIN
#include <io.h>
#include <windows.h>
#else
#include <sys/ioctl.h>
#include <unistd.h>
#endif

namespace {

bool isTerminal(FILE *stream)
{
#ifdef Q_OS_WIN
    return _isatty(_fileno(stream)) != 0;
#else
    return isatty(fileno(stream)) != 0;
#endif
}

std::atomic<int> interruptSignal{0};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs a lock-free flag");

extern "C" void onInterrupt(int signal)
{
    interruptSignal = signal;
    std::signal(signal, SIG_DFL);
}

#ifndef Q_OS_WIN
std::atomic<bool> resizeFlag{false};

extern "C" void onResize(int)
{
    resizeFlag = true;
}
#endif

void write(FILE *stream, const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

} // namespace

namespace console {

void out(const QString &text)
{
    write(stdout, text);
}

void err(const QString &text)
{
    write(stderr, text);
}

void outJson(const QJsonObject &object)
{
    QJsonObject record = object;
    record.insert(QStringLiteral("time"), QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs));
    out(QString::fromUtf8(QJsonDocument(record).toJson(QJsonDocument::Compact)) + QLatin1Char('\n'));
}

bool inputIsTerminal()
{
    return isTerminal(stdin);
}

bool errorIsTerminal()
{
    return isTerminal(stderr);
}

int errorWidth()
{
    if (!errorIsTerminal())
        return 0;
#ifdef Q_OS_WIN
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info))
        return 0;
    return info.srWindow.Right - info.srWindow.Left + 1;
#else
    // Asked on every call: the first also starts listening for resizes.
    static const bool listening = [] {
        std::signal(SIGWINCH, onResize);
        return true;
    }();
    Q_UNUSED(listening);
    winsize size{};
    if (::ioctl(fileno(stderr), TIOCGWINSZ, &size) != 0)
        return 0;
    return size.ws_col;
#endif
}

bool resized()
{
#ifdef Q_OS_WIN
    // The console sends no signal: its width is compared with the last seen.
    static int lastWidth = errorWidth();
    const int width = errorWidth();
    const bool changed = width != lastWidth;
    lastWidth = width;
    return changed;
#else
    return resizeFlag.exchange(false);
#endif
}

QString readLine()
{
    std::string line;
    for (int c = std::fgetc(stdin); c != EOF && c != '\n'; c = std::fgetc(stdin))
        line.push_back(char(c));
    return QString::fromUtf8(line.data(), qsizetype(line.size())).trimmed();
}

void catchInterrupts()
{
    std::signal(SIGINT, onInterrupt);
    std::signal(SIGTERM, onInterrupt);
#ifdef SIGHUP
    // The terminal went away: the cards stop as cleanly as on Ctrl-C.
    std::signal(SIGHUP, onInterrupt);
#endif
}

int interruption()
{
    return interruptSignal;
}

} // namespace console
