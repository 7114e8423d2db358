#pragma once

#include "disks/blockdevice.h"

#include <QFile>
#include <QMetaType>
#include <QString>

#include <functional>
#include <map>

// A card as a disk monitor hands it to a write job: a file that behaves like
// an unbuffered physical drive with a chosen sector size (every seek offset,
// transfer length and buffer address a multiple of it, nothing written past
// the end; misaligned requests fail and are counted), with the faults that a
// file cannot produce on demand (write protection, removal, denied access,
// bad read-back, a slow card) played from a script. It can also hold one call
// until an action has run on the GUI thread, like a user's click, or someone
// else's change to the medium, while the card is busy with that call.
class ScriptedCard : public BlockDevice
{
public:
    // The calls that a script can count, make fail or make wait.
    enum class Call { None, Open, Close, Seek, Write, Read, Flush, DropCaches };

    struct Script
    {
        QString path; // the file that holds the card's bytes
        // The card is the file as it stands, bytes and size; otherwise it
        // opens the file emptied (made where it is missing).
        bool existingFile = false;
        qint64 size = -1; // -1: the existing file's size at open(), or no limit
        int sectorSize = 512;
        // That call and every later one of its kind fail, as on a card that
        // was pulled out or locked, until stopFailing().
        Call failCall = Call::None;
        int failAt = 1; // counted from 1
        Failure failure = Failure::IoError;
        QString failText; // empty: "simulated write error" and the like
        bool corruptReadBack = false; // the first read returns one bit changed
        Call pauseCall = Call::None;  // waits there for the pause action
        int pauseAt = 1;
        int writeDelay = 0; // ms before every write

        static Script failing(Call call, int at, Failure failure, const QString &text = {});
        static Script pausing(Call call, int at);
        // The card is the file at path, contents and size, with sectors of sectorSize bytes.
        static Script overFile(const QString &path, int sectorSize = 512);
    };

    // pauseAction runs on the thread of the application object while the
    // calling thread waits (at once when that is the calling thread); it
    // must not wait for the calling thread in turn.
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

    // The card works again from the next call on, as one put back or unlocked.
    void stopFailing() { m_script.failCall = Call::None; }

    bool isOpen() const { return m_file.isOpen(); }
    // Calls of that kind so far, the failed ones included.
    int calls(Call call) const;
    int misalignedRequests() const { return m_misaligned; }

private:
    // Counts the call; holds it or fails it where the script says so.
    bool step(Call call);
    bool aligned(qint64 value) const;
    bool misaligned(const QString &text);
    // Takes the file's own failure as the card's.
    bool failFile();
    bool fail(Failure kind, const QString &text);

    QFile m_file;
    Script m_script;
    std::function<void()> m_pauseAction;
    std::map<Call, int> m_calls;
    qint64 m_size = -1;
    qint64 m_position = 0;
    int m_misaligned = 0;
    bool m_corrupted = false;
    Failure m_failure = Failure::IoError;
    QString m_errorString;
};

Q_DECLARE_METATYPE(ScriptedCard::Script)
