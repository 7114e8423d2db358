#include "support/scriptedcard.h"

#include <QCoreApplication>
#include <QThread>

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

ScriptedCard::ScriptedCard(const Script &script, std::function<void()> pauseAction)
    : m_file(script.path, script.size, FileBlockDevice::OpenMode::CreateOrTruncate)
    , m_script(script)
    , m_pauseAction(std::move(pauseAction))
{
}

bool ScriptedCard::step(Call call)
{
    const int count = ++m_calls[call];
    if (call == m_script.pauseCall && count == m_script.pauseAt && m_pauseAction)
        QMetaObject::invokeMethod(QCoreApplication::instance(), m_pauseAction, Qt::BlockingQueuedConnection);
    if (call == m_script.failCall && count == m_script.failAt) {
        m_failed = true;
        return false;
    }
    return true;
}

bool ScriptedCard::open()
{
    return step(Call::Open) && m_file.open();
}

void ScriptedCard::close()
{
    m_file.close();
}

qint64 ScriptedCard::size() const
{
    return m_file.size();
}

int ScriptedCard::sectorSize() const
{
    return m_file.sectorSize();
}

bool ScriptedCard::seek(qint64 offset)
{
    return m_file.seek(offset);
}

bool ScriptedCard::write(const char *data, qint64 length)
{
    if (m_script.writeDelay > 0)
        QThread::msleep(m_script.writeDelay);
    return step(Call::Write) && m_file.write(data, length);
}

qint64 ScriptedCard::read(char *data, qint64 length)
{
    if (!step(Call::Read))
        return -1;
    const qint64 count = m_file.read(data, length);
    if (count > 0 && m_script.corruptReadBack && !m_corrupted) {
        data[count / 2] ^= 0x10;
        m_corrupted = true;
    }
    return count;
}

bool ScriptedCard::flush()
{
    return step(Call::Flush) && m_file.flush();
}

bool ScriptedCard::dropCaches()
{
    return m_file.dropCaches();
}

QString ScriptedCard::errorString() const
{
    return m_failed ? m_script.failText : m_file.errorString();
}

BlockDevice::Failure ScriptedCard::failure() const
{
    return m_failed ? m_script.failure : m_file.failure();
}
