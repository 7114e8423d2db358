#include "catalog/catalog.h"
#include "write/fatwriter.h"

#include <QFile>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QSet>
#include <QTest>

#include <limits>

// Damaged catalogs: every mutation of a good document must give either an
// invalid catalog or a valid one that keeps every promise the parser makes,
// and the queries must answer it without harm.
namespace {

const QVersionNumber AppVersion(0, 1, 0);
constexpr int Cases = 10000;
constexpr qint64 MaxSize = qint64(1) << 53;

QJsonValue deeplyNested(int depth)
{
    QJsonValue value = QStringLiteral("bottom");
    for (int i = 0; i < depth; ++i)
        value = QJsonArray{value};
    return value;
}

// Values that break one rule or another when put anywhere in a catalog.
QList<QJsonValue> replacementPool()
{
    return {
        QJsonValue(QJsonValue::Null),
        true,
        0,
        -1,
        1.5,
        MaxSize,
        MaxSize + 1,
        std::numeric_limits<qint64>::max(),
        1e300,
        -1e300,
        QString(),
        QStringLiteral("d1"),
        QStringLiteral("vega-3"),
        QStringLiteral("%1 (%2) %3"),
        QStringLiteral("CONFIG.TXT"),
        QStringLiteral("config.txt"),
        QStringLiteral("a\u0000b"),
        QString(5000, QLatin1Char('x')),
        QStringLiteral("\U0001F600 \u00e8"),
        QJsonArray(),
        QJsonObject(),
        QJsonArray{QStringLiteral("vega-3"), 5},
        QJsonObject{{QStringLiteral("A.TXT"), QStringLiteral("x")},
                    {QStringLiteral("a.txt"), QStringLiteral("y")}},
        QJsonObject{{QStringLiteral("id"), QStringLiteral("vega-2")},
                    {QStringLiteral("name"), QStringLiteral("Again")}},
        deeplyNested(600),
    };
}

// Byte sequences that break the text: syntax, invalid UTF-8, nesting beyond
// what the JSON parser accepts, numbers beyond double range.
QList<QByteArray> snippetPool()
{
    return {
        "\"", "{", "}", "[", "]", ",", ":", "null", "\\", "\\u", "\\ud800",
        "\xff", "\xfe\xff", "\xc0\x80", "\xed\xa0\x80", "\xf4\x90\x80\x80", QByteArray(1, '\0'),
        "1e999", "-", "9007199254740993", "18446744073709551616",
        QByteArray(1100, '['), QByteArray(700, '[') + QByteArray(700, ']'),
        "{\"id\": \"x\"}", "\"bootFiles\": {\"CONFIG.TXT\": \"\"},",
    };
}

class Mutator
{
public:
    Mutator(const QByteArray &original, quint32 seed)
        : m_original(original), m_tree(QJsonDocument::fromJson(original).object()), m_random(seed)
    {
    }

    // Changes of the structure (types swapped, members removed, renamed or
    // duplicated), of the text (truncations, stray bytes), or both.
    QByteArray mutate()
    {
        const int kind = int(m_random.bounded(3));
        QByteArray text = m_original;
        if (kind != 1) {
            QJsonValue root = m_tree;
            for (int round = 1 + pick(3); round > 0 && root.isObject(); --round)
                root = mutateValue(root, 0);
            // The root may now be any value; a document holds only arrays and
            // objects, so write it inside an array and drop the brackets.
            text = QJsonDocument(QJsonArray{root}).toJson(QJsonDocument::Compact);
            text = text.mid(1, text.size() - 2);
        }
        if (kind != 0) {
            for (int round = 1 + pick(2); round > 0; --round)
                text = mutateText(text);
        }
        return text;
    }

private:
    int pick(qsizetype count) { return int(m_random.bounded(quint32(count))); }

    QByteArray mutateText(QByteArray text)
    {
        if (text.isEmpty())
            return m_snippets.at(pick(m_snippets.size()));
        const int at = pick(text.size());
        switch (m_random.bounded(5)) {
        case 0: // truncation
            return text.left(at);
        case 1:
            text[at] = char(m_random.bounded(256));
            return text;
        case 2:
            return text.insert(at, m_snippets.at(pick(m_snippets.size())));
        case 3:
            return text.remove(at, 1 + pick(64));
        default:
            return text.insert(at, text.mid(pick(text.size()), 1 + pick(200)));
        }
    }

    // Walks down a random path and changes the value where it stops. An
    // undefined result asks the caller to remove the member or element.
    QJsonValue mutateValue(const QJsonValue &value, int depth)
    {
        const bool descend = (value.isObject() && !value.toObject().isEmpty())
            || (value.isArray() && !value.toArray().isEmpty());
        if (descend && (depth == 0 || m_random.bounded(4) != 0)) {
            if (value.isObject()) {
                QJsonObject object = value.toObject();
                const QString key = object.keys().at(pick(object.size()));
                const int action = int(m_random.bounded(10));
                if (action == 0) { // the same member under a name of another case
                    const QJsonValue member = object.take(key);
                    object.insert(key == key.toUpper() ? key.toLower() : key.toUpper(), member);
                    return object;
                }
                if (action == 1) {
                    object.insert(QStringLiteral("unknownMember"), m_pool.at(pick(m_pool.size())));
                    return object;
                }
                // An undefined value removes the member.
                object.insert(key, mutateValue(object.value(key), depth + 1));
                return object;
            }
            QJsonArray array = value.toArray();
            const int index = pick(array.size());
            const int action = int(m_random.bounded(10));
            if (action == 0) { // a second copy of an element: duplicate ids
                array.insert(pick(array.size() + 1), array.at(index));
                return array;
            }
            const QJsonValue changed = mutateValue(array.at(index), depth + 1);
            if (changed.isUndefined())
                array.removeAt(index);
            else
                array.replace(index, changed);
            return array;
        }
        switch (m_random.bounded(6)) {
        case 0:
            return QJsonValue(QJsonValue::Undefined);
        case 1:
            if (value.isString())
                return value.toString().toUpper() == value.toString() ? value.toString().toLower()
                                                                       : value.toString().toUpper();
            if (value.isDouble())
                return -value.toDouble() - 0.5;
            Q_FALLTHROUGH();
        default:
            return m_pool.at(pick(m_pool.size()));
        }
    }

    const QByteArray m_original;
    const QJsonObject m_tree;
    QRandomGenerator m_random;
    const QList<QJsonValue> m_pool = replacementPool();
    const QList<QByteArray> m_snippets = snippetPool();
};

QString bootFilesProblem(const QMap<QString, QByteArray> &files)
{
    QSet<QString> folded;
    for (auto it = files.constBegin(); it != files.constEnd(); ++it) {
        if (!isFatShortName(it.key()))
            return QStringLiteral("boot file %1 is not an 8.3 name").arg(it.key());
        if (folded.contains(it.key().toUpper()))
            return QStringLiteral("boot file %1 is there twice").arg(it.key());
        folded.insert(it.key().toUpper());
    }
    return {};
}

// The first promise of the parser that the catalog breaks, or nothing.
QString problem(const Catalog &catalog)
{
    if (!catalog.isValid()) {
        if (catalog.error().isEmpty())
            return QStringLiteral("invalid without an error");
        if (!catalog.validationErrors().isEmpty() || !catalog.devices().isEmpty()
            || !catalog.products().isEmpty() || catalog.requiresNewerTessaro()
            || !catalog.minTessaroVersion().isNull())
            return QStringLiteral("invalid but not empty");
        return {};
    }
    if (!catalog.error().isEmpty())
        return QStringLiteral("valid with an error");
    for (const QString &message : catalog.validationErrors()) {
        if (!message.startsWith(QLatin1String("devices[")) && !message.startsWith(QLatin1String("products[")))
            return QStringLiteral("message without context: ") + message;
    }

    QSet<QString> deviceIds;
    QHash<QString, qsizetype> devicePositions;
    for (const CatalogDevice &device : catalog.devices()) {
        if (device.id.isEmpty() || device.name.isEmpty() || deviceIds.contains(device.id))
            return QStringLiteral("bad device %1").arg(device.id);
        deviceIds.insert(device.id);
        devicePositions.insert(device.id, devicePositions.size());
    }

    QSet<QString> productIds;
    for (const CatalogProduct &product : catalog.products()) {
        if (product.id.isEmpty() || product.name.isEmpty() || productIds.contains(product.id))
            return QStringLiteral("bad product %1").arg(product.id);
        productIds.insert(product.id);
        if (product.images.isEmpty())
            return QStringLiteral("product %1 without images").arg(product.id);
        if (const QString files = bootFilesProblem(product.bootFiles); !files.isEmpty())
            return files;
        if (catalog.product(product.id) == nullptr
            || catalog.product(product.id)->name != product.name)
            return QStringLiteral("product %1 not found").arg(product.id);

        QSet<QString> imageIds;
        for (const CatalogImage &image : product.images) {
            if (image.id.isEmpty() || image.name.isEmpty() || image.version.isEmpty()
                || image.url.isEmpty() || image.sha256.isEmpty() || imageIds.contains(image.id))
                return QStringLiteral("bad image %1").arg(image.id);
            imageIds.insert(image.id);
            if (image.size < 0 || image.size > MaxSize || image.extractSize < 0
                || image.extractSize > MaxSize)
                return QStringLiteral("image %1 with a bad size").arg(image.id);
            if (image.devices.isEmpty())
                return QStringLiteral("image %1 without devices").arg(image.id);
            for (const QString &id : image.devices) {
                if (!deviceIds.contains(id))
                    return QStringLiteral("image %1 names undeclared %2").arg(image.id, id);
            }
            if (image.bootFiles) {
                if (const QString files = bootFilesProblem(*image.bootFiles); !files.isEmpty())
                    return files;
            }
            const QMap<QString, QByteArray> expected =
                image.bootFiles ? *image.bootFiles : product.bootFiles;
            if (catalog.bootFilesFor(product.id, image.id) != expected)
                return QStringLiteral("wrong boot files for %1").arg(image.id);
        }

        qsizetype lastPosition = -1;
        for (const CatalogDevice &device : catalog.devicesFor(product.id)) {
            const qsizetype position = devicePositions.value(device.id, -1);
            if (position <= lastPosition)
                return QStringLiteral("devicesFor(%1) out of order").arg(product.id);
            lastPosition = position;
            if (catalog.imagesFor(product.id, device.id).isEmpty())
                return QStringLiteral("device %1 listed without images").arg(device.id);
        }
        if (catalog.localBootFiles(product.id) != product.bootFiles)
            return QStringLiteral("wrong local boot files for %1").arg(product.id);
    }
    return {};
}

} // namespace

class TestCatalogMutation : public QObject
{
    Q_OBJECT

private slots:
    void damagedCatalogsGiveValidOrInvalidCatalogs()
    {
        QFile file(qEnvironmentVariable("TESSARO_SOURCE_DIR")
                   + QStringLiteral("/tests/data/example-catalog.json"));
        QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(file.errorString()));
        const QByteArray original = file.readAll();
        QVERIFY(Catalog::parse(original, AppVersion).validationErrors().isEmpty());

        Mutator mutator(original, 20240607);
        int valid = 0;
        int withMessages = 0;
        for (int i = 0; i < Cases; ++i) {
            const QByteArray document = mutator.mutate();
            const Catalog catalog = Catalog::parse(document, AppVersion);
            const QString broken = problem(catalog);
            if (!broken.isEmpty()) {
                qWarning("case %d: %s", i, qPrintable(broken));
                qWarning("%s", document.left(4000).constData());
            }
            QVERIFY2(broken.isEmpty(), qPrintable(broken));
            if (catalog.isValid())
                ++valid;
            if (!catalog.validationErrors().isEmpty())
                ++withMessages;
        }
        // Both outcomes, and refused entries, must be common for the cases to
        // reach past the document checks.
        QVERIFY2(valid > Cases / 10, qPrintable(QString::number(valid)));
        QVERIFY2(Cases - valid > Cases / 10, qPrintable(QString::number(valid)));
        QVERIFY2(withMessages > Cases / 20, qPrintable(QString::number(withMessages)));
    }
};

QTEST_GUILESS_MAIN(TestCatalogMutation)
#include "tst_catalogmutation.moc"
