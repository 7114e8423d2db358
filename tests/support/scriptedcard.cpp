#include "support/scriptedcard.h"

#include <QCoreApplication>
#include <QThread>

#include <limits>

namespace {

// What a failure says when the script gives no text.
QString simulatedText(ScriptedCard::Call call)
{
    using Call = ScriptedCard::Call;
    static const std::map<Call, const char *> names{
        {Call::Open, "open"}, {Call::Close, "close"}, {Call::Seek, "seek"}, {Call::Write, "write"},
        {Call::Read, "read"}, {Call::Flush, "flush"}, {Call::DropCaches, "cache drop"},
    };
    const auto name = names.find(call);
    return QStringLiteral("simulated %1 error").arg(QLatin1String(name == names.end() ? "device" : name->second));
}

} // namespace

ScriptedCard::Script ScriptedCard::Script::failing(Call call, int at, Failure failure, const QString &text)
{
    Script script;
    script.failCall = call;
    script.failAt = at;
    script.failure = failure;
    script.failText = text;
    return script;
}

ScriptedCard::Script ScriptedCard::Script::pausing(Call call, int at)
{
    Script script;
    script.pauseCall = call;
    script.pauseAt = at;
    return script;
}

ScriptedCard::Script ScriptedCard::Script::overFile(const QString &path, int sectorSize)
{
    Script script;
    script.path = path;
    script.existingFile = true;
    script.sectorSize = sectorSize;
    return script;
}

ScriptedCard::ScriptedCard(const Script &script, std::function<void()> pauseAction)
    : m_file(script.path)
    , m_script(script)
    , m_pauseAction(std::move(pauseAction))
    , m_size(script.size)
{
}

int ScriptedCard::calls(Call call) const
{
    const auto found = m_calls.find(call);
    return found == m_calls.end() ? 0 : found->second;
}

bool ScriptedCard::step(Call call)
{
    const int count = ++m_calls[call];
    if (call == m_script.pauseCall && count == m_script.pauseAt && m_pauseAction) {
        QCoreApplication *application = QCoreApplication::instance();
        if (QThread::currentThread() == application->thread())
            m_pauseAction();
        else
            QMetaObject::invokeMethod(application, m_pauseAction, Qt::BlockingQueuedConnection);
    }
    if (call != m_script.failCall || count < m_script.failAt)
        return true;
    return fail(m_script.failure, m_script.failText.isEmpty() ? simulatedText(call) : m_script.failText);
}

bool ScriptedCard::aligned(qint64 value) const
{
    return m_script.sectorSize > 0 && value % m_script.sectorSize == 0;
}

bool ScriptedCard::misaligned(const QString &text)
{
    ++m_misaligned;
    return fail(Failure::IoError, text);
}

bool ScriptedCard::failFile()
{
    return fail(Failure::IoError, m_file.errorString());
}

bool ScriptedCard::fail(Failure kind, const QString &text)
{
    m_failure = kind;
    m_errorString = text;
    return false;
}

bool ScriptedCard::open()
{
    if (!step(Call::Open))
        return false;
    const QIODevice::OpenMode mode = m_script.existingFile ? QIODevice::ExistingOnly : QIODevice::Truncate;
    if (!m_file.open(QIODevice::ReadWrite | QIODevice::Unbuffered | mode))
        return failFile();
    if (m_script.existingFile && m_script.size < 0)
        m_size = m_file.size();
    m_position = 0;
    return true;
}

void ScriptedCard::close()
{
    step(Call::Close);
    m_file.close();
}

qint64 ScriptedCard::size() const
{
    return m_size < 0 ? std::numeric_limits<qint64>::max() : m_size;
}

int ScriptedCard::sectorSize() const
{
    return m_script.sectorSize;
}

bool ScriptedCard::seek(qint64 offset)
{
    if (!step(Call::Seek))
        return false;
    if (offset < 0 || !aligned(offset))
        return misaligned(QStringLiteral("seek to %1 is not on a sector boundary").arg(offset));
    m_position = offset;
    return true;
}

bool ScriptedCard::write(const char *data, qint64 length)
{
    if (m_script.writeDelay > 0)
        QThread::msleep(m_script.writeDelay);
    if (!step(Call::Write))
        return false;
    if (!aligned(length) || !aligned(qint64(quintptr(data))))
        return misaligned(QStringLiteral("write of %1 bytes is not whole aligned sectors").arg(length));
    if (m_position + length > size())
        return fail(Failure::IoError, QStringLiteral("write past the end of the device"));
    // A device that cannot seek (/dev/full) is written from where it stands.
    if ((m_file.pos() != m_position && !m_file.seek(m_position)) || m_file.write(data, length) != length)
        return failFile();
    m_position += length;
    return true;
}

qint64 ScriptedCard::read(char *data, qint64 length)
{
    if (!step(Call::Read))
        return -1;
    if (!aligned(length) || !aligned(qint64(quintptr(data)))) {
        misaligned(QStringLiteral("read of %1 bytes is not whole aligned sectors").arg(length));
        return -1;
    }
    const qint64 wanted = qBound<qint64>(0, size() - m_position, length);
    const qint64 count = m_file.seek(m_position) ? m_file.read(data, wanted) : -1;
    if (count < 0) {
        failFile();
        return -1;
    }
    m_position += count;
    if (count > 0 && m_script.corruptReadBack && !m_corrupted) {
        data[count / 2] ^= 0x10;
        m_corrupted = true;
    }
    return count;
}

bool ScriptedCard::flush()
{
    return step(Call::Flush) && (m_file.flush() || failFile());
}

bool ScriptedCard::dropCaches()
{
    // The file is unbuffered: what was written is in it already.
    return step(Call::DropCaches);
}

QString ScriptedCard::errorString() const
{
    return m_errorString;
}

BlockDevice::Failure ScriptedCard::failure() const
{
    return m_failure;
}
