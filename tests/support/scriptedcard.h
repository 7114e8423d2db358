#pragma once

#include "disks/blockdevice.h"
#include "disks/fileblockdevice.h"

#include <QMetaType>
#include <QString>

#include <functional>
#include <map>

// A card as a disk monitor hands it to a write job: a real file behind a
// FileBlockDevice, with the faults that a file cannot produce on demand
// (write protection, removal, denied access, bad read-back, a slow card)
// played from a script. It can also hold one call until an action has run on
// the GUI thread, like a user's click while the card is busy with that call.
class ScriptedCard : public BlockDevice
{
public:
    // The calls that a script can make fail or wait.
    enum class Call { None, Open, Write, Read, Flush };

    struct Script
    {
        QString path;     // the file that holds the card's bytes
        qint64 size = -1; // bytes the card holds; -1: no limit
        Call failCall = Call::None;
        int failAt = 1; // the call of that kind that fails, counted from 1
        Failure failure = Failure::IoError;
        QString failText;
        bool corruptReadBack = false; // the first read returns one bit changed
        Call pauseCall = Call::None;  // waits there for the pause action
        int pauseAt = 1;
        int writeDelay = 0; // ms before every write

        static Script failing(Call call, int at, Failure failure, const QString &text);
        static Script pausing(Call call, int at);
    };

    // pauseAction runs on the thread of the application object while the
    // calling thread waits; it must not wait for that thread in turn.
    ScriptedCard(const Script &script, std::function<void()> pauseAction = {});

    bool open() override;
    void close() override;
    qint64 size() const override;
    int sectorSize() const override;
    bool seek(qint64 offset) override;
    bool write(const char *data, qint64 length) override;
    qint64 read(char *data, qint64 length) override;
    bool flush() override;
    bool dropCaches() override;
    QString errorString() const override;
    Failure failure() const override;

private:
    // Counts the call; holds it or fails it where the script says so.
    bool step(Call call);

    FileBlockDevice m_file;
    Script m_script;
    std::function<void()> m_pauseAction;
    std::map<Call, int> m_calls;
    bool m_failed = false;
    bool m_corrupted = false;
};

Q_DECLARE_METATYPE(ScriptedCard::Script)
