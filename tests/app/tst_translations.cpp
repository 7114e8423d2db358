#include "testfiles.h"

#include <QFile>
#include <QLocale>
#include <QRegularExpression>
#include <QSet>
#include <QTest>
#include <QTranslator>
#include <QXmlStreamReader>
#include <QtEndian>

#include <algorithm>

namespace {

struct Message
{
    QString context;
    QString source;
    QString translation;

    bool operator==(const Message &other) const
    {
        return context == other.context && source == other.source && translation == other.translation;
    }
    QString describe() const
    {
        return QStringLiteral("%1 | %2 | %3").arg(context, source, translation);
    }
};

size_t qHash(const Message &message, size_t seed = 0)
{
    return qHashMulti(seed, message.context, message.source, message.translation);
}

struct Expected
{
    const char *context;
    const char *source;
    const char *italian;
};

// Every user-visible text of the program and its Italian form.
const Expected ItalianCatalog[] = {
    {"AppHeader", "Version %1",
     "Versione %1"},

    {"ProductPage", "Choose the product",
     "Scegli il prodotto"},
    {"ProductPage", "Loading the image catalog…",
     "Caricamento del catalogo immagini…"},
    {"ProductPage", "Local file…",
     "File locale…"},
    {"ProductPage", "Retry",
     "Riprova"},
    {"ProductPage", "The image catalog lists no products.",
     "Il catalogo immagini non elenca alcun prodotto."},
    {"ProductPage", "Update Tessaro: the image catalog requires version %1 or newer, this is version %2.",
     "Aggiorna Tessaro: il catalogo immagini richiede la versione %1 o successiva, questa è la versione %2."},
    {"ProductPage", "You can still write an image file you already have.",
     "Puoi comunque scrivere un file immagine che hai già."},

    {"DevicePage", "Back",
     "Indietro"},
    {"DevicePage", "Choose the device",
     "Scegli il dispositivo"},

    {"ImagePage", "All files (*)",
     "Tutti i file (*)"},
    {"ImagePage", "All supported images (%1)",
     "Tutte le immagini supportate (%1)"},
    {"ImagePage", "Back",
     "Indietro"},
    {"ImagePage", "Build %1 · %2 download",
     "Build %1 · %2 da scaricare"},
    {"ImagePage", "Build %1 · %2 download · %3 on the SD card",
     "Build %1 · %2 da scaricare · %3 sulla SD"},
    {"ImagePage", "Build %1, %2, %3 download",
     "Build %1, %2, %3 da scaricare"},
    {"ImagePage", "Build %1, %2, %3 download, %4 on the SD card",
     "Build %1, %2, %3 da scaricare, %4 sulla SD"},
    {"ImagePage", "Choose an image",
     "Scegli un'immagine"},
    {"ImagePage", "Choose the image",
     "Scegli l'immagine"},
    {"ImagePage", "Compressed disk images (*.img.xz *.img.zst)",
     "Immagini disco compresse (*.img.xz *.img.zst)"},
    {"ImagePage", "Disk images (*.img *.zip)",
     "Immagini disco (*.img *.zip)"},
    {"ImagePage", "Local file…",
     "File locale…"},
    {"ImagePage", "Next",
     "Avanti"},
    {"ImagePage", "No file selected",
     "Nessun file selezionato"},

    {"DiskPage", "All data on %1 (%2) will be erased.",
     "Tutti i dati su %1 (%2) verranno cancellati."},
    {"DiskPage", "Back",
     "Indietro"},
    {"DiskPage", "Cancel",
     "Annulla"},
    {"DiskPage", "Choose the SD card",
     "Scegli la SD"},
    {"DiskPage", "Erase and write",
     "Cancella e scrivi"},
    {"DiskPage", "Erase the SD card?",
     "Cancellare la SD?"},
    {"DiskPage", "Insert a microSD card or a USB stick: it will appear here.",
     "Inserisci una microSD o una chiavetta USB: comparirà qui."},
    {"DiskPage", "The SD card will be set up as %1.",
     "La SD verrà impostata come %1."},
    {"DiskPage", "Verify after writing",
     "Verifica dopo la scrittura"},
    {"DiskPage", "Write",
     "Scrivi"},

    {"WritingPage", "%1%",
     "%1%"},
    {"WritingPage", "Cancel",
     "Annulla"},
    {"WritingPage", "Cancelling…",
     "Annullamento…"},
    {"WritingPage", "Writing %1…",
     "Scrittura di %1…"},

    {"ResultPage", "Back",
     "Indietro"},
    {"ResultPage", "Cancelled",
     "Annullato"},
    {"ResultPage", "Done",
     "Fatto"},
    {"ResultPage", "The SD card is ready, you can remove it.",
     "SD pronta, puoi rimuoverla."},
    {"ResultPage", "Write another SD card",
     "Scrivi un'altra SD"},
    {"ResultPage", "Write failed",
     "Scrittura non riuscita"},

    {"Backend", "%1/s",
     "%1/s"},
    {"Backend", "Cancelled before setting the product: the SD card would not start with the right product. Write it again before using it.",
     "Annullato prima di impostare il prodotto: il dispositivo non partirebbe col prodotto giusto. Riscrivi la SD prima di usarla."},
    {"Backend", "Cannot open the SD card: %1",
     "Impossibile aprire la SD: %1"},
    {"Backend", "Cannot read the image: %1",
     "Impossibile leggere l'immagine: %1"},
    {"Backend", "Cannot save the image in the cache folder: %1",
     "Impossibile salvare l'immagine nella cartella cache: %1"},
    {"Backend", "Download cancelled: the SD card was not touched. The download will resume where it stopped.",
     "Download annullato: la SD non è stata toccata. Il download riprenderà da dove si è fermato."},
    {"Backend", "Download failed: %1. Check the network connection and retry.",
     "Download non riuscito: %1. Controlla la connessione di rete e riprova."},
    {"Backend", "Downloading",
     "Download"},
    {"Backend", "Error reading or writing the SD card, it may be faulty: %1",
     "Errore di lettura o scrittura sulla SD, potrebbe essere difettosa: %1"},
    {"Backend", "Finalizing: setting up %1",
     "Finalizzazione: impostazione di %1"},
    {"Backend", "Not enough free disk space to download the image: %1",
     "Spazio su disco insufficiente per scaricare l'immagine: %1"},
    {"Backend", "Permission denied to access the SD card: %1",
     "Permesso negato per accedere alla SD: %1"},
    {"Backend", "Cannot write to %1: it is the image being written.",
     "Impossibile scrivere su %1: è l'immagine da scrivere."},
    {"Backend", "Cannot write to %1: it is inside the download cache folder %2.",
     "Impossibile scrivere su %1: si trova nella cartella dei download %2."},
    {"Backend", "Cannot write to %1: it is a disk, not a file. Choose disks with --disk in tessaro-cli, or in the window's list of disks without --target-file.",
     "Impossibile scrivere su %1: è un disco, non un file. Scegli i dischi con --disk in tessaro-cli, o nell'elenco dei dischi della finestra senza --target-file."},
    {"Backend", "Cannot write to %1: it is a folder.",
     "Impossibile scrivere su %1: è una cartella."},
    {"Backend", "Cannot write to %1: the folder %2 does not exist.",
     "Impossibile scrivere su %1: la cartella %2 non esiste."},
    {"Backend", "Cannot write to %1: %2",
     "Impossibile scrivere su %1: %2"},
    {"Backend", "Cannot write to %1: the image needs %2, but only %3 are free there.",
     "Impossibile scrivere su %1: l'immagine richiede %2, ma lì sono liberi solo %3."},
    {"Backend", "Cannot write to %1: the image needs %2, but the card holds only %3.",
     "Impossibile scrivere su %1: l'immagine richiede %2, ma la scheda contiene solo %3."},
    {"Backend", "Cancelled: the SD card was not touched.",
     "Annullato: la SD non è stata toccata."},
    {"Backend", "The image file is damaged: %1. The SD card was not touched.",
     "Il file immagine è danneggiato: %1. La SD non è stata toccata."},
    {"Backend", "The catalog entry of this image is faulty: its %1 is not a SHA-256 digest.",
     "La voce del catalogo di questa immagine è errata: il suo %1 non è un digest SHA-256."},
    {"Backend", "The catalog entry of this image is faulty: its address %1 is not allowed.",
     "La voce del catalogo di questa immagine è errata: il suo indirizzo %1 non è ammesso."},
    {"Backend", "The SD card is smaller than the image.",
     "La SD è più piccola dell'immagine."},
    {"Backend", "The SD card is write-protected: move the lock switch on the card or adapter and retry.",
     "La SD è protetta da scrittura: sposta il blocco sulla SD o sull'adattatore e riprova."},
    {"Backend", "The SD card was removed during the operation: insert it again and retry.",
     "La SD è stata rimossa durante l'operazione: reinseriscila e riprova."},
    {"Backend", "The downloaded image is damaged (checksum mismatch) and was discarded; the SD card was not touched. Retry to download it again.",
     "L'immagine scaricata è danneggiata (checksum diverso) ed è stata scartata; la SD non è stata toccata. Riprova per scaricarla di nuovo."},
    {"Backend", "The image catalog is not reachable: %1",
     "Il catalogo immagini non è raggiungibile: %1"},
    {"Backend", "The image catalog is not valid: %1",
     "Il catalogo immagini non è valido: %1"},
    {"Backend", "The image does not match the catalog (checksum mismatch): the SD card is not usable. Download the image again.",
     "L'immagine non corrisponde al catalogo (checksum diverso): la SD non è utilizzabile. Scarica di nuovo l'immagine."},
    {"Backend", "The image file is damaged and the SD card is not usable: %1",
     "Il file immagine è danneggiato e la SD non è utilizzabile: %1"},
    {"Backend", "The image was written but the product could not be set on the SD card: %1. The device would not start with the right product: write the SD card again.",
     "L'immagine è stata scritta ma non è stato possibile impostare il prodotto sulla SD: %1. Il dispositivo non partirebbe col prodotto giusto: riscrivi la SD."},
    {"Backend", "Too small: the image needs %1",
     "Troppo piccola: l'immagine richiede %1"},
    {"Backend", "Unsupported zip format: %1",
     "Formato zip non supportato: %1"},
    {"Backend", "Verification failed: the data read back from the SD card differs from what was written. The SD card is probably faulty: try another one.",
     "Verifica non riuscita: i dati riletti dalla SD sono diversi da quelli scritti. La SD è probabilmente difettosa: provane un'altra."},
    {"Backend", "Verification was cancelled: the SD card was written but not checked.",
     "Verifica annullata: la SD è stata scritta ma non controllata."},
    {"Backend", "Verifying",
     "Verifica"},
    {"Backend", "Waiting for another download of the same image",
     "In attesa di un altro download della stessa immagine"},
    {"Backend", "Writing",
     "Scrittura"},
    {"Backend", "Writing to a disk needs administrator rights: open a Command Prompt with \"Run as administrator\" and run tessaro-cli there.",
     "Scrivere su un disco richiede i diritti di amministratore: apri un Prompt dei comandi con \"Esegui come amministratore\" ed esegui lì tessaro-cli."},
    {"Backend", "Writing was cancelled: the SD card is incomplete and will not boot. Write it again before using it.",
     "Scrittura annullata: la SD è incompleta e non si avvierà. Scrivila di nuovo prima di usarla."},
    {"Backend", "about %1 min left",
     "circa %1 min rimanenti"},
    {"Backend", "less than a minute left",
     "meno di un minuto rimanente"},
    {"Backend", "%1 download",
     "%1 da scaricare"},
    {"Backend", "%1 s",
     "%1 s"},
    {"Backend", "%1 min %2 s",
     "%1 min %2 s"},
    {"Backend", "The SD card was powered off: you can remove it.",
     "La SD è stata spenta: puoi rimuoverla."},
    {"Backend", "Cannot power off the SD card: %1",
     "Impossibile spegnere la SD: %1"},
    {"Backend", "The image has no partition for the product's boot files (%1); the SD card was not touched. Go back to the image to write it without setting up a product.",
     "L'immagine non ha una partizione per i file di avvio del prodotto (%1); la SD non è stata toccata. Torna all'immagine per scriverla senza impostare un prodotto."},
    {"Backend", "Unsupported image format: %1",
     "Formato immagine non supportato: %1"},
    {"Backend", "the file is a %1 archive; unpack it first and choose the image inside",
     "il file è un archivio %1; estrailo prima e scegli l'immagine che contiene"},
    {"Backend", "the file is compressed with %1; unpack it first and choose the image inside",
     "il file è compresso con %1; decomprimilo prima e scegli l'immagine che contiene"},
    {"Backend", "The image file is damaged: %1",
     "Il file immagine è danneggiato: %1"},
    {"Backend", "The image is empty: there is nothing to write.",
     "L'immagine è vuota: non c'è niente da scrivere."},
    {"Backend", "The SD card cannot be set up as %1 with this image: %2.",
     "Con questa immagine la SD non può essere impostata come %1: %2."},
    {"DiskPage", "The image is written as it is: the SD card will not be set up as %1.",
     "L'immagine viene scritta così com'è: la SD non verrà impostata come %1."},
    {"DiskPage", "The SD card will not be set up as %1.",
     "La SD non verrà impostata come %1."},
    {"DiskPage", "Image: %1 (%2)",
     "Immagine: %1 (%2)"},
    {"DiskPage", "Image: %1",
     "Immagine: %1"},
    {"ImagePage", "Checking the image…",
     "Controllo dell'immagine…"},
    {"ImagePage", "Write without setting up a product",
     "Scrivi senza impostare un prodotto"},
    {"Main", "A card is being written. Stop and close?",
     "È in corso la scrittura di una scheda. Interrompere e chiudere?"},
    {"Main", "Stop and close",
     "Interrompi e chiudi"},
    {"Main", "Keep writing",
     "Continua a scrivere"},
    {"ProductPage", "Trying again to load the image catalog…",
     "Nuovo tentativo di caricare il catalogo immagini…"},
    {"ProductPage", "Tried again: it failed again (attempt %1).",
     "Nuovo tentativo: non è riuscito di nuovo (tentativo %1)."},
    {"ResultPage", "Download failed",
     "Download non riuscito"},
    {"ResultPage", "Image",
     "Immagine"},
    {"ResultPage", "SD card",
     "SD"},
    {"ResultPage", "Time",
     "Tempo"},
    {"ResultPage", "Check",
     "Controllo"},
    {"ResultPage", "verified",
     "verificata"},
    {"ResultPage", "not verified",
     "non verificata"},
    {"ResultPage", "Eject",
     "Espelli"},
    {"ResultPage", "Retry",
     "Riprova"},
};

QSet<Message> expectedMessages()
{
    QSet<Message> messages;
    for (const Expected &e : ItalianCatalog)
        messages.insert({QString::fromUtf8(e.context), QString::fromUtf8(e.source), QString::fromUtf8(e.italian)});
    return messages;
}

// Reader of the compiled (.qm) catalog, enough to list what lrelease put in
// it: QTranslator itself can only look messages up, not enumerate them.
namespace Qm {
const QByteArray Magic = QByteArray::fromHex("3cb86418caef9c95cd211cbf60a1bddd");
constexpr int BlockHeaderSize = 5;   // tag byte, 32-bit big-endian length
constexpr quint8 MessagesBlock = 0x69;
constexpr quint8 LanguageBlock = 0xa7;

// Field tags inside one message record of the messages block.
constexpr quint8 End = 1;
constexpr quint8 SourceText16 = 2;
constexpr quint8 Translation = 3;    // UTF-16 big-endian
constexpr quint8 Context16 = 4;
constexpr quint8 Obsolete1 = 5;      // 32-bit value, no length
constexpr quint8 SourceText = 6;     // UTF-8
constexpr quint8 Context = 7;        // UTF-8
constexpr quint8 Comment = 8;
constexpr quint8 Obsolete2 = 9;
constexpr quint32 NullString = 0xffffffff;
}

struct CompiledCatalog
{
    QString language;
    QList<Message> messages;
    QString error;   // empty when the whole file was read
};

bool readField(const QByteArray &data, qint64 &pos, QByteArray *field)
{
    if (pos + 4 > data.size())
        return false;
    const quint32 length = qFromBigEndian<quint32>(data.constData() + pos);
    pos += 4;
    if (length == Qm::NullString) {
        *field = QByteArray();
        return true;
    }
    if (pos + qint64(length) > data.size())
        return false;
    *field = data.mid(pos, length);
    pos += length;
    return true;
}

QString fromUtf16BigEndian(const QByteArray &bytes)
{
    QString text;
    for (qint64 i = 0; i + 1 < bytes.size(); i += 2)
        text.append(QChar(qFromBigEndian<quint16>(bytes.constData() + i)));
    return text;
}

QString readMessages(const QByteArray &block, QList<Message> *messages)
{
    qint64 pos = 0;
    Message current;
    int translations = 0;
    bool hasSource = false;
    bool hasContext = false;
    while (pos < block.size()) {
        const quint8 tag = quint8(block.at(pos++));
        QByteArray field;
        switch (tag) {
        case Qm::End:
            if (!hasSource || !hasContext)
                return QStringLiteral("message without its context or source text at byte %1").arg(pos);
            messages->append(current);
            current = Message();
            translations = 0;
            hasSource = hasContext = false;
            break;
        case Qm::Obsolete1:
            if (pos + 4 > block.size())
                return QStringLiteral("truncated record at byte %1").arg(pos);
            pos += 4;
            break;
        case Qm::Translation:
        case Qm::SourceText:
        case Qm::Context:
        case Qm::Comment:
        case Qm::SourceText16:
        case Qm::Context16:
        case Qm::Obsolete2:
            if (!readField(block, pos, &field))
                return QStringLiteral("truncated field at byte %1").arg(pos);
            if (tag == Qm::Translation) {
                if (++translations > 1)
                    return QStringLiteral("message with plural forms at byte %1").arg(pos);
                current.translation = fromUtf16BigEndian(field);
            } else if (tag == Qm::SourceText) {
                current.source = QString::fromUtf8(field);
                hasSource = true;
            } else if (tag == Qm::Context) {
                current.context = QString::fromUtf8(field);
                hasContext = true;
            } else if (tag == Qm::Comment && !field.isEmpty()) {
                return QStringLiteral("comment \"%1\" on \"%2\"").arg(QString::fromUtf8(field), current.source);
            }
            break;
        default:
            return QStringLiteral("unknown field tag %1 at byte %2").arg(tag).arg(pos - 1);
        }
    }
    if (hasSource || hasContext || translations > 0)
        return QStringLiteral("last message not terminated");
    return QString();
}

CompiledCatalog readCompiledCatalog(const QString &path)
{
    CompiledCatalog catalog;
    const QByteArray data = readFile(path);
    if (data.isNull()) {
        catalog.error = QStringLiteral("cannot read %1").arg(path);
        return catalog;
    }
    if (!data.startsWith(Qm::Magic)) {
        catalog.error = QStringLiteral("not a compiled translation catalog");
        return catalog;
    }
    qint64 pos = Qm::Magic.size();
    while (pos < data.size()) {
        if (pos + Qm::BlockHeaderSize > data.size()) {
            catalog.error = QStringLiteral("truncated block header at byte %1").arg(pos);
            return catalog;
        }
        const quint8 tag = quint8(data.at(pos));
        const quint32 length = qFromBigEndian<quint32>(data.constData() + pos + 1);
        pos += Qm::BlockHeaderSize;
        if (pos + qint64(length) > data.size()) {
            catalog.error = QStringLiteral("block 0x%1 runs past the end").arg(tag, 2, 16, QLatin1Char('0'));
            return catalog;
        }
        const QByteArray block = data.mid(pos, length);
        pos += length;
        if (tag == Qm::LanguageBlock)
            catalog.language = QString::fromUtf8(block);
        else if (tag == Qm::MessagesBlock)
            catalog.error = readMessages(block, &catalog.messages);
        if (!catalog.error.isEmpty())
            return catalog;
    }
    return catalog;
}

struct SourceCatalog
{
    QString language;
    QList<Message> messages;
    QStringList faults;   // unfinished, obsolete, plural or commented messages
    QString error;
};

// Reads a translation source (.ts) the way lupdate writes it.
SourceCatalog readSourceCatalog(const QString &path)
{
    SourceCatalog catalog;
    const QByteArray data = readFile(path);
    if (data.isNull()) {
        catalog.error = QStringLiteral("cannot read %1").arg(path);
        return catalog;
    }
    QXmlStreamReader xml(data);
    QString context;
    Message message;
    while (!xml.atEnd()) {
        xml.readNext();
        if (xml.isEndElement() && xml.name() == QLatin1String("message")) {
            catalog.messages.append(message);
            continue;
        }
        if (!xml.isStartElement())
            continue;
        const auto name = xml.name();
        if (name == QLatin1String("TS")) {
            catalog.language = xml.attributes().value(QLatin1String("language")).toString();
        } else if (name == QLatin1String("name")) {
            context = xml.readElementText();
        } else if (name == QLatin1String("message")) {
            message = Message{context, QString(), QString()};
            if (xml.attributes().value(QLatin1String("numerus")) == QLatin1String("yes"))
                catalog.faults << QStringLiteral("plural forms in %1").arg(context);
        } else if (name == QLatin1String("source")) {
            message.source = xml.readElementText();
        } else if (name == QLatin1String("comment") || name == QLatin1String("extracomment")) {
            catalog.faults << QStringLiteral("comment on %1 | %2").arg(context, message.source);
            xml.skipCurrentElement();
        } else if (name == QLatin1String("translation")) {
            const QString type = xml.attributes().value(QLatin1String("type")).toString();
            message.translation = xml.readElementText(QXmlStreamReader::IncludeChildElements);
            if (!type.isEmpty())
                catalog.faults << QStringLiteral("%1 message %2 | %3").arg(type, context, message.source);
        } else if (name != QLatin1String("context") && name != QLatin1String("location")) {
            catalog.faults << QStringLiteral("unexpected element %1").arg(name);
            xml.skipCurrentElement();
        }
    }
    if (xml.hasError())
        catalog.error = QStringLiteral("%1 at line %2").arg(xml.errorString()).arg(xml.lineNumber());
    return catalog;
}

QStringList describeAll(QSet<Message> messages)
{
    QStringList lines;
    for (const Message &m : messages)
        lines << m.describe();
    lines.sort();
    return lines;
}

QStringList placeholders(const QString &text)
{
    static const QRegularExpression marker(QStringLiteral("%\\d"));
    QStringList found;
    for (auto it = marker.globalMatch(text); it.hasNext();)
        found << it.next().captured();
    found.sort();
    return found;
}

} // namespace

class TestTranslations : public QObject
{
    Q_OBJECT

private:
    QTranslator m_italian;
    CompiledCatalog m_compiled;

    static QString sourceFile(const QString &name)
    {
        return qEnvironmentVariable("TESSARO_SOURCE_DIR") + QStringLiteral("/i18n/") + name;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(QFile::exists(QStringLiteral(":/i18n/tessaro_it.qm")));
        QVERIFY(m_italian.load(QStringLiteral(":/i18n/tessaro_it.qm")));
        m_compiled = readCompiledCatalog(QStringLiteral(":/i18n/tessaro_it.qm"));
        QVERIFY2(m_compiled.error.isEmpty(), qPrintable(m_compiled.error));
    }

    void italianText_data()
    {
        QTest::addColumn<QByteArray>("context");
        QTest::addColumn<QByteArray>("source");
        QTest::addColumn<QString>("italian");
        for (const Expected &e : ItalianCatalog)
            QTest::addRow("%s: %s", e.context, e.source)
                << QByteArray(e.context) << QByteArray(e.source) << QString::fromUtf8(e.italian);
    }
    void italianText()
    {
        QFETCH(QByteArray, context);
        QFETCH(QByteArray, source);
        QFETCH(QString, italian);
        // translate() answers a null string for a text the catalog does not
        // hold, so texts that read the same in both languages count too.
        const QString shown = m_italian.translate(context.constData(), source.constData());
        QVERIFY2(!shown.isNull(), "not in the Italian catalog");
        QCOMPARE(shown, italian);
    }

    void compiledCatalogHoldsNothingElse()
    {
        QCOMPARE(m_compiled.language, QStringLiteral("it"));
        const QSet<Message> compiled(m_compiled.messages.cbegin(), m_compiled.messages.cend());
        QCOMPARE(m_compiled.messages.size(), compiled.size());   // no duplicates
        const QSet<Message> expected = expectedMessages();
        const QStringList extra = describeAll(compiled - expected);
        QVERIFY2(extra.isEmpty(), qPrintable(QStringLiteral("unexpected:\n") + extra.join(QLatin1Char('\n'))));
        const QStringList missing = describeAll(expected - compiled);
        QVERIFY2(missing.isEmpty(), qPrintable(QStringLiteral("missing:\n") + missing.join(QLatin1Char('\n'))));
    }

    void messagesPerContext_data()
    {
        QTest::addColumn<QString>("context");
        QTest::addColumn<int>("count");
        QTest::newRow("AppHeader") << QStringLiteral("AppHeader") << 1;
        QTest::newRow("ProductPage") << QStringLiteral("ProductPage") << 9;
        QTest::newRow("DevicePage") << QStringLiteral("DevicePage") << 2;
        QTest::newRow("ImagePage") << QStringLiteral("ImagePage") << 16;
        QTest::newRow("DiskPage") << QStringLiteral("DiskPage") << 14;
        QTest::newRow("WritingPage") << QStringLiteral("WritingPage") << 4;
        QTest::newRow("ResultPage") << QStringLiteral("ResultPage") << 15;
        QTest::newRow("Backend") << QStringLiteral("Backend") << 56;
        QTest::newRow("Main") << QStringLiteral("Main") << 3;
        QTest::newRow("all contexts") << QString() << 120;
    }
    void messagesPerContext()
    {
        QFETCH(QString, context);
        QFETCH(int, count);
        const auto inContext = [&](const Message &m) { return context.isNull() || m.context == context; };
        QCOMPARE(int(std::count_if(m_compiled.messages.cbegin(), m_compiled.messages.cend(), inContext)), count);
    }

    void sourceCatalogs()
    {
        const SourceCatalog italian = readSourceCatalog(sourceFile(QStringLiteral("tessaro_it.ts")));
        QVERIFY2(italian.error.isEmpty(), qPrintable(italian.error));
        QCOMPARE(italian.language, QStringLiteral("it"));
        QVERIFY2(italian.faults.isEmpty(), qPrintable(italian.faults.join(QLatin1Char('\n'))));
        const QSet<Message> messages(italian.messages.cbegin(), italian.messages.cend());
        QCOMPARE(italian.messages.size(), messages.size());
        const QSet<Message> expected = expectedMessages();
        const QStringList extra = describeAll(messages - expected);
        QVERIFY2(extra.isEmpty(), qPrintable(QStringLiteral("unexpected:\n") + extra.join(QLatin1Char('\n'))));
        const QStringList missing = describeAll(expected - messages);
        QVERIFY2(missing.isEmpty(), qPrintable(QStringLiteral("missing:\n") + missing.join(QLatin1Char('\n'))));
        for (const Message &m : italian.messages)
            QVERIFY2(placeholders(m.source) == placeholders(m.translation), qPrintable(m.describe()));

        const SourceCatalog english = readSourceCatalog(sourceFile(QStringLiteral("tessaro_en.ts")));
        QVERIFY2(english.error.isEmpty(), qPrintable(english.error));
        QCOMPARE(english.language, QStringLiteral("en"));
        QCOMPARE(english.messages.size(), 0);
    }

    void catalogForSystemLanguage_data()
    {
        QTest::addColumn<QString>("locale");
        QTest::addColumn<bool>("loads");
        QTest::addColumn<QString>("language");
        QTest::addColumn<QString>("productTitle");   // empty: no message at all
        QTest::newRow("Italian system") << "it_IT" << true << "it" << "Scegli il prodotto";
        QTest::newRow("Italian in Switzerland") << "it_CH" << true << "it" << "Scegli il prodotto";
        QTest::newRow("English system loads the empty catalog") << "en_US" << true << "en" << QString();
        QTest::newRow("British English") << "en_GB" << true << "en" << QString();
        QTest::newRow("German system: no translator") << "de_DE" << false << QString() << QString();
        QTest::newRow("French system: no translator") << "fr_FR" << false << QString() << QString();
    }
    void catalogForSystemLanguage()
    {
        QFETCH(QString, locale);
        QFETCH(bool, loads);
        QFETCH(QString, language);
        QFETCH(QString, productTitle);
        QTranslator translator;
        QCOMPARE(translator.load(QLocale(locale), QStringLiteral("tessaro"), QStringLiteral("_"),
                                 QStringLiteral(":/i18n")),
                 loads);
        if (!loads)
            return;
        QCOMPARE(translator.language(), language);
        QCOMPARE(translator.isEmpty(), productTitle.isEmpty());
        QCOMPARE(translator.translate("ProductPage", "Choose the product"), productTitle);
    }
};

QTEST_APPLESS_MAIN(TestTranslations)
#include "tst_translations.moc"
