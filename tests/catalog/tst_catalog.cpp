#include "catalog/catalog.h"

#include <QFile>
#include <QTest>

namespace {

const QVersionNumber AppVersion(0, 1, 0);

// The parser takes digests as written; any 64 hexadecimal digits will do.
const QByteArray Digest =
    "\"ebaf1c75577c367aae11643ef56d686b190588f1d32d238e611b23b5bc05f431\"";

QByteArray withSchema(const QByteArray &members)
{
    return "{\"schemaVersion\": 1, " + members + "}";
}

// A build for the given devices (a JSON array text), otherwise complete.
QByteArray image(const QByteArray &id, const QByteArray &devices, const QByteArray &more = {})
{
    return "{\"id\": \"" + id + "\", \"name\": \"Build " + id
        + "\", \"version\": \"1.0\", \"url\": \"" + id + ".zip\", \"size\": 10, \"sha256\": "
        + Digest + ", \"devices\": " + devices + more + "}";
}

// One member of a JSON object as written: the name and the raw value text.
using Members = QList<QPair<QByteArray, QByteArray>>;

// A null value removes the member, so that a row can make it absent.
void setMember(Members *members, const QByteArray &key, const QByteArray &value)
{
    for (qsizetype i = 0; i < members->size(); ++i) {
        if (members->at(i).first == key) {
            if (value.isNull())
                members->removeAt(i);
            else
                (*members)[i].second = value;
            return;
        }
    }
    if (!value.isNull())
        members->append({key, value});
}

QByteArray objectText(const Members &members)
{
    QByteArrayList parts;
    for (const auto &member : members)
        parts.append("\"" + member.first + "\": " + member.second);
    return "{" + parts.join(", ") + "}";
}

// A catalog with devices d1 and d2 and product p1 holding builds i1 and i2
// for d1, where one member of d2, p1 or i1 is replaced, added or removed.
// i2 keeps p1 alive when i1 is refused, so each refusal gives one message.
QByteArray catalogWithMember(const QString &entry, const QByteArray &key, const QByteArray &value)
{
    Members device = {{"id", "\"d2\""}, {"name", "\"Board Two\""}};
    Members build = {{"id", "\"i1\""},     {"name", "\"Build One\""}, {"version", "\"1.0\""},
                     {"url", "\"i1.zip\""}, {"size", "10"},            {"sha256", Digest},
                     {"devices", "[\"d1\"]"}};
    if (entry == QLatin1String("device"))
        setMember(&device, key, value);
    if (entry == QLatin1String("image"))
        setMember(&build, key, value);
    Members product = {{"id", "\"p1\""},
                       {"name", "\"Product One\""},
                       {"images", "[" + objectText(build) + ", " + image("i2", "[\"d1\"]") + "]"}};
    if (entry == QLatin1String("product"))
        setMember(&product, key, value);
    return withSchema("\"devices\": [{\"id\": \"d1\", \"name\": \"Board One\"}, "
                      + objectText(device) + "], \"products\": [" + objectText(product) + "]");
}

QString bootFilesText(const std::optional<QMap<QString, QByteArray>> &files)
{
    if (!files)
        return QStringLiteral("absent");
    return QLatin1Char('{') + files->keys().join(QLatin1Char(',')) + QLatin1Char('}');
}

// The value a field was given, as text, for the entry catalogWithMember changed.
QString storedField(const Catalog &catalog, const QString &entry, const QByteArray &key)
{
    if (entry == QLatin1String("device")) {
        const CatalogDevice device = catalog.devices().value(1);
        return key == "name" ? device.name : device.id;
    }
    const CatalogProduct product = catalog.products().value(0);
    if (entry == QLatin1String("product")) {
        if (key == "icon")
            return product.icon;
        if (key == "bootFiles")
            return bootFilesText(product.bootFiles);
        if (key == "id")
            return product.id;
        return product.name;
    }
    const CatalogImage image = product.images.value(0);
    if (key == "description")
        return image.description;
    if (key == "size")
        return QString::number(image.size);
    if (key == "sha256")
        return image.sha256;
    if (key == "extractSize")
        return QString::number(image.extractSize);
    if (key == "extractSha256")
        return image.extractSha256;
    if (key == "bootFiles")
        return bootFilesText(image.bootFiles);
    if (key == "devices")
        return image.devices.join(QLatin1Char(','));
    return image.id;
}

template <typename Entry>
QStringList ids(const QList<Entry> &list)
{
    QStringList result;
    for (const Entry &entry : list)
        result.append(entry.id);
    return result;
}

using BootFiles = QMap<QString, QByteArray>;

QStringList entries(const BootFiles &files)
{
    QStringList result;
    for (auto file = files.cbegin(); file != files.cend(); ++file)
        result.append(file.key() + QLatin1Char('=') + QString::fromUtf8(file.value()));
    return result;
}

// The catalog the query tests ask: devices d1, d2, d3; product p1 with
// boot files of its own and builds that keep, hide and replace them; product
// p2 without boot files, reusing the build id i1.
const QByteArray QueryCatalog = withSchema(
    "\"devices\": [{\"id\": \"d1\", \"name\": \"One\"}, {\"id\": \"d2\", \"name\": \"Two\"},"
    "              {\"id\": \"d3\", \"name\": \"Three\"}],"
    "\"products\": ["
    "  {\"id\": \"p1\", \"name\": \"Product One\", \"bootFiles\": {\"A.TXT\": \"product\"},"
    "   \"images\": ["
    + image("i1", "[\"d2\", \"d1\"]") + ", " + image("i2", "[\"d2\"]", ", \"bootFiles\": {}") + ", "
    + image("i3", "[\"d2\"]", ", \"bootFiles\": {\"B.TXT\": \"image\"}")
    + "]},"
      "  {\"id\": \"p2\", \"name\": \"Product Two\", \"images\": ["
    + image("i1", "[\"d3\"]") + ", " + image("only2", "[\"d3\"]") + "]}]");

} // namespace

class TestCatalog : public QObject
{
    Q_OBJECT

private slots:
    void documentErrors_data()
    {
        const QByteArray entries = "\"devices\": [{\"id\": \"d1\", \"name\": \"One\"}, 7], "
                                   "\"products\": [{\"id\": \"p1\"}]";
        QTest::addColumn<QByteArray>("document");
        QTest::addColumn<QString>("error");

        QTest::newRow("empty input") << QByteArray() << "Malformed JSON: illegal value";
        QTest::newRow("truncated document")
            << QByteArray("{\"schemaVersion\": 1, \"devices\": [")
            << "Malformed JSON: unterminated array";
        QTest::newRow("missing comma") << QByteArray("{\"schemaVersion\": 1 \"devices\": []}")
                                       << "Malformed JSON: unterminated object";
        QTest::newRow("invalid UTF-8 in a string")
            << withSchema("\"devices\": [{\"id\": \"d\xff\", \"name\": \"x\"}]")
            << "Malformed JSON: invalid UTF8 string";
        QTest::newRow("number beyond double range")
            << withSchema("\"x\": 1e400") << "Malformed JSON: illegal number";
        QTest::newRow("nesting deeper than the parser allows")
            << withSchema("\"x\": " + QByteArray(2000, '[') + QByteArray(2000, ']'))
            << "Malformed JSON: too deeply nested document";
        QTest::newRow("top level is an array")
            << QByteArray("[{\"schemaVersion\": 1}]") << "The manifest is not a JSON object";
        QTest::newRow("top level is a bare number")
            << QByteArray("1") << "Malformed JSON: illegal value";

        QTest::newRow("schemaVersion missing")
            << ("{" + entries + "}") << "Unsupported schemaVersion null";
        QTest::newRow("schemaVersion null")
            << QByteArray("{\"schemaVersion\": null}") << "Unsupported schemaVersion null";
        QTest::newRow("schemaVersion as the string \"1\"")
            << QByteArray("{\"schemaVersion\": \"1\"}") << "Unsupported schemaVersion \"1\"";
        QTest::newRow("schemaVersion 2")
            << QByteArray("{\"schemaVersion\": 2, " + entries + "}") << "Unsupported schemaVersion 2";
        QTest::newRow("schemaVersion 1.5")
            << QByteArray("{\"schemaVersion\": 1.5}") << "Unsupported schemaVersion 1.5";
        QTest::newRow("schemaVersion 0") << QByteArray("{\"schemaVersion\": 0}")
                                         << "Unsupported schemaVersion 0";
        QTest::newRow("schemaVersion true")
            << QByteArray("{\"schemaVersion\": true}") << "Unsupported schemaVersion true";
        QTest::newRow("schemaVersion 2^32 + 1 does not wrap to 1")
            << QByteArray("{\"schemaVersion\": 4294967297}")
            << "Unsupported schemaVersion 4294967297";
        QTest::newRow("schemaVersion as an array")
            << QByteArray("{\"schemaVersion\": [1]}") << "Unsupported schemaVersion [1]";

        const auto minimum = [&entries](const QByteArray &value) {
            return withSchema("\"minTessaroVersion\": " + value + ", " + entries);
        };
        QTest::newRow("minTessaroVersion empty")
            << minimum("\"\"") << "Invalid minTessaroVersion \"\"";
        QTest::newRow("minTessaroVersion with a suffix")
            << minimum("\"1.2-beta\"") << "Invalid minTessaroVersion \"1.2-beta\"";
        QTest::newRow("minTessaroVersion as a number")
            << minimum("1.2") << "Invalid minTessaroVersion 1.2";
        QTest::newRow("minTessaroVersion null")
            << minimum("null") << "Invalid minTessaroVersion null";
        QTest::newRow("minTessaroVersion with a trailing point")
            << minimum("\"1.2.\"") << "Invalid minTessaroVersion \"1.2.\"";
        QTest::newRow("minTessaroVersion with two points in a row")
            << minimum("\"1..2\"") << "Invalid minTessaroVersion \"1..2\"";
        QTest::newRow("minTessaroVersion starting with a point")
            << minimum("\".1\"") << "Invalid minTessaroVersion \".1\"";
        QTest::newRow("minTessaroVersion with a leading blank")
            << minimum("\" 1.2\"") << "Invalid minTessaroVersion \" 1.2\"";
        QTest::newRow("minTessaroVersion with a plus sign")
            << minimum("\"+1\"") << "Invalid minTessaroVersion \"+1\"";
        QTest::newRow("minTessaroVersion with a v prefix")
            << minimum("\"v1.2\"") << "Invalid minTessaroVersion \"v1.2\"";
        QTest::newRow("minTessaroVersion part beyond int range")
            << minimum("\"1.2147483648\"") << "Invalid minTessaroVersion \"1.2147483648\"";
        QTest::newRow("schemaVersion is checked before minTessaroVersion")
            << QByteArray("{\"schemaVersion\": 3, \"minTessaroVersion\": \"x\"}")
            << "Unsupported schemaVersion 3";
    }

    void documentErrors()
    {
        QFETCH(QByteArray, document);
        QFETCH(QString, error);

        const Catalog catalog = Catalog::parse(document, AppVersion);
        QCOMPARE(catalog.error(), error);
        QVERIFY(!catalog.isValid());
        QCOMPARE(catalog.validationErrors(), QStringList());
        QVERIFY(catalog.devices().isEmpty());
        QVERIFY(catalog.products().isEmpty());
        QVERIFY(!catalog.requiresNewerTessaro());
        QVERIFY(catalog.minTessaroVersion().isNull());
    }

    void minimumVersion_data()
    {
        QTest::addColumn<QByteArray>("minimum"); // JSON text; null when absent
        QTest::addColumn<QString>("app");
        QTest::addColumn<bool>("requiresNewer");
        QTest::addColumn<QString>("kept");

        QTest::newRow("absent") << QByteArray() << "0.1.0" << false << QString();
        QTest::newRow("2.0 against 2") << QByteArray("\"2.0\"") << "2" << false << "2.0";
        QTest::newRow("2 against 2.0") << QByteArray("\"2\"") << "2.0" << false << "2";
        QTest::newRow("0.2 against 0.1.0") << QByteArray("\"0.2\"") << "0.1.0" << true << "0.2";
        QTest::newRow("0.1.0.0 against 0.1") << QByteArray("\"0.1.0.0\"") << "0.1" << false
                                             << "0.1.0.0";
        QTest::newRow("0.1.0.1 against 0.1.0") << QByteArray("\"0.1.0.1\"") << "0.1.0" << true
                                               << "0.1.0.1";
        QTest::newRow("1.2.3 against 1.2.10") << QByteArray("\"1.2.3\"") << "1.2.10" << false
                                              << "1.2.3";
        QTest::newRow("1.2.10 against 1.2.3") << QByteArray("\"1.2.10\"") << "1.2.3" << true
                                              << "1.2.10";
        QTest::newRow("1.10 against 1.9") << QByteArray("\"1.10\"") << "1.9" << true << "1.10";
        QTest::newRow("3 against 2.9.9") << QByteArray("\"3\"") << "2.9.9" << true << "3";
        QTest::newRow("0 against 0.1.0") << QByteArray("\"0\"") << "0.1.0" << false << "0";
        QTest::newRow("leading zeros are numbers") << QByteArray("\"00.01\"") << "0.1" << false
                                                   << "0.1";
    }

    void minimumVersion()
    {
        QFETCH(QByteArray, minimum);
        QFETCH(QString, app);
        QFETCH(bool, requiresNewer);
        QFETCH(QString, kept);

        const QByteArray document =
            minimum.isNull() ? withSchema("\"x\": 0") : withSchema("\"minTessaroVersion\": " + minimum);
        const Catalog catalog = Catalog::parse(document, QVersionNumber::fromString(app));
        QVERIFY2(catalog.isValid(), qPrintable(catalog.error()));
        QCOMPARE(catalog.requiresNewerTessaro(), requiresNewer);
        QCOMPARE(catalog.minTessaroVersion().toString(), kept);
        QCOMPARE(catalog.minTessaroVersion().isNull(), kept.isEmpty());
    }

    void catalogThatRequiresANewerVersionIsStillComplete()
    {
        const Catalog catalog = Catalog::parse(
            withSchema("\"minTessaroVersion\": \"9.0\", "
                       "\"devices\": [{\"id\": \"d1\", \"name\": \"One\"}], \"products\": "
                       "[{\"id\": \"p1\", \"name\": \"P\", \"images\": ["
                       + image("i1", "[\"d1\"]") + "]}]"),
            AppVersion);
        QVERIFY(catalog.isValid());
        QVERIFY(catalog.requiresNewerTessaro());
        QCOMPARE(ids(catalog.products()), QStringList{"p1"});
        QCOMPARE(ids(catalog.devicesFor("p1")), QStringList{"d1"});
    }

    void schemaVersionOneWrittenAsDecimalIsAccepted()
    {
        const Catalog catalog = Catalog::parse("{\"schemaVersion\": 1.0}", AppVersion);
        QVERIFY2(catalog.isValid(), qPrintable(catalog.error()));
        QCOMPARE(catalog.error(), QString());
    }

    void documentWithOnlyTheSchemaIsAValidEmptyCatalog_data()
    {
        QTest::addColumn<QByteArray>("document");
        QTest::newRow("only schemaVersion") << QByteArray("{\"schemaVersion\": 1}");
        QTest::newRow("lists that are not arrays")
            << withSchema("\"devices\": {\"id\": \"d1\", \"name\": \"One\"}, \"products\": \"p1\"");
        QTest::newRow("empty lists") << withSchema("\"devices\": [], \"products\": []");
        QTest::newRow("lists that are null") << withSchema("\"devices\": null, \"products\": null");
    }

    void documentWithOnlyTheSchemaIsAValidEmptyCatalog()
    {
        QFETCH(QByteArray, document);
        const Catalog catalog = Catalog::parse(document, AppVersion);
        QVERIFY(catalog.isValid());
        QCOMPARE(catalog.error(), QString());
        QCOMPARE(catalog.validationErrors(), QStringList());
        QVERIFY(catalog.devices().isEmpty());
        QVERIFY(catalog.products().isEmpty());
        QVERIFY(!catalog.requiresNewerTessaro());
        QVERIFY(catalog.minTessaroVersion().isNull());
    }

    // One member of one entry is changed; the row gives the exact messages,
    // and for an accepted entry the value it keeps.
    void entryFields_data()
    {
        QTest::addColumn<QString>("entry");
        QTest::addColumn<QByteArray>("key");
        QTest::addColumn<QByteArray>("value"); // JSON text; null means absent
        QTest::addColumn<QStringList>("messages");
        QTest::addColumn<QString>("stored");

        const QByteArray absent;
        const auto row = [](const char *name, const char *entry, const char *key,
                            const QByteArray &value, const QString &message,
                            const QString &stored = {}) {
            QTest::newRow(name) << QString::fromLatin1(entry) << QByteArray(key) << value
                                << (message.isEmpty() ? QStringList() : QStringList{message})
                                << stored;
        };
        const QString device = QStringLiteral("devices[1]: ");
        const QString product = QStringLiteral("products[0]: ");
        const QString build = QStringLiteral("products[0] (p1).images[0]: ");

        row("device id absent", "device", "id", absent, device + "missing \"id\"");
        row("device id null", "device", "id", "null", device + "missing \"id\"");
        row("device id empty", "device", "id", "\"\"", device + "missing \"id\"");
        row("device id a number", "device", "id", "2", device + "missing \"id\"");
        row("device name absent", "device", "name", absent, device + "missing \"name\"");
        row("device name an object", "device", "name", "{}", device + "missing \"name\"");
        row("device id taken", "device", "id", "\"d1\"", device + "duplicate id \"d1\"");
        row("device id differing in case only is another id", "device", "id", "\"D1\"", {}, "D1");
        row("device unknown member ignored", "device", "colour", "[1, {}]", {}, "d2");

        row("product id absent", "product", "id", absent, product + "missing \"id\"");
        row("product name null", "product", "name", "null", product + "missing \"name\"");
        row("product name empty", "product", "name", "\"\"", product + "missing \"name\"");
        row("product icon null", "product", "icon", "null", product + "\"icon\" is not a string");
        row("product icon a number", "product", "icon", "3", product + "\"icon\" is not a string");
        row("product icon empty", "product", "icon", "\"\"", {}, "");
        row("product icon kept as written", "product", "icon", "\"../icons/p 1.png\"", {},
            "../icons/p 1.png");
        row("product icon absent", "product", "icon", absent, {}, "");
        row("product images absent", "product", "images", absent, product + "no usable images");
        row("product images empty", "product", "images", "[]", product + "no usable images");
        row("product images not an array", "product", "images",
            "{\"0\": " + image("i1", "[\"d1\"]") + "}", product + "no usable images");

        row("product bootFiles null", "product", "bootFiles", "null",
            product + "\"bootFiles\" is not an object");
        row("product bootFiles an array", "product", "bootFiles", "[\"CONFIG.TXT\"]",
            product + "\"bootFiles\" is not an object");
        row("product bootFiles a string", "product", "bootFiles", "\"CONFIG.TXT\"",
            product + "\"bootFiles\" is not an object");
        row("boot file a number", "product", "bootFiles", "{\"CONFIG.TXT\": 1}",
            product + "boot file \"CONFIG.TXT\" is not text");
        row("boot file null", "product", "bootFiles", "{\"CONFIG.TXT\": null}",
            product + "boot file \"CONFIG.TXT\" is not text");
        row("boot file name too long", "product", "bootFiles", "{\"CONFIG.TEXT\": \"\"}",
            product + "boot file \"CONFIG.TEXT\" is not an 8.3 name");
        row("boot file name of mixed case", "product", "bootFiles", "{\"Config.txt\": \"\"}",
            product + "boot file \"Config.txt\" is not an 8.3 name");
        row("boot file name with a folder", "product", "bootFiles", "{\"BOOT/A.TXT\": \"\"}",
            product + "boot file \"BOOT/A.TXT\" is not an 8.3 name");
        row("boot file name empty", "product", "bootFiles", "{\"\": \"\"}",
            product + "boot file \"\" is not an 8.3 name");
        row("boot file names differing in case only", "product", "bootFiles",
            "{\"config.txt\": \"b\", \"CONFIG.TXT\": \"a\"}",
            product + "boot files \"CONFIG.TXT\" and \"config.txt\" are the same file");
        row("boot file names differing in case only, first by key order", "product", "bootFiles",
            "{\"config.TXT\": \"a\", \"CONFIG.txt\": \"b\"}",
            product + "boot files \"CONFIG.txt\" and \"config.TXT\" are the same file");
        row("boot file names holding percent signs", "product", "bootFiles",
            "{\"A%2.TXT\": \"\", \"a%2.txt\": \"\", \"%1\": \"\"}",
            product + "boot files \"A%2.TXT\" and \"a%2.txt\" are the same file");
        row("boot files checked in key order, not document order", "product", "bootFiles",
            "{\"a b\": \"x\", \"Z.TXT\": 1}", product + "boot file \"Z.TXT\" is not text");
        row("boot files empty", "product", "bootFiles", "{}", {}, "{}");
        row("boot files of both cases and no extension", "product", "bootFiles",
            "{\"cmdline.txt\": \"x\", \"README\": \"y\", \"A-1_~.$$$\": \"z\"}", {},
            "{A-1_~.$$$,README,cmdline.txt}");

        row("image id absent", "image", "id", absent, build + "missing \"id\"");
        row("image id null", "image", "id", "null", build + "missing \"id\"");
        row("image id a number", "image", "id", "1", build + "missing \"id\"");
        row("image name empty", "image", "name", "\"\"", build + "missing \"name\"");
        row("image version absent", "image", "version", absent, build + "missing \"version\"");
        row("image url empty", "image", "url", "\"\"", build + "missing \"url\"");
        row("image sha256 absent", "image", "sha256", absent, build + "missing \"sha256\"");
        row("image sha256 kept as written", "image", "sha256", "\"ABCdef\"", {}, "ABCdef");
        row("description null", "image", "description", "null",
            build + "\"description\" is not a string");
        row("description a number", "image", "description", "1",
            build + "\"description\" is not a string");
        row("description empty", "image", "description", "\"\"", {}, "");
        row("description absent", "image", "description", absent, {}, "");
        row("description kept", "image", "description", "\"Line\\none \\u00e8\"", {},
            QStringLiteral("Line\none \u00e8"));
        row("extractSha256 null", "image", "extractSha256", "null",
            build + "\"extractSha256\" is not a string");
        row("extractSha256 empty", "image", "extractSha256", "\"\"", {}, "");
        row("extractSha256 absent", "image", "extractSha256", absent, {}, "");

        const QString notSize = build + "\"size\" is not a size in bytes";
        row("size absent", "image", "size", absent, notSize);
        row("size null", "image", "size", "null", notSize);
        row("size -1", "image", "size", "-1", notSize);
        row("size 1.5", "image", "size", "1.5", notSize);
        row("size as a string of digits", "image", "size", "\"10\"", notSize);
        row("size true", "image", "size", "true", notSize);
        row("size 2^53 + 1", "image", "size", "9007199254740993", notSize);
        row("size 2^63", "image", "size", "9223372036854775808", notSize);
        row("size 1e300", "image", "size", "1e300", notSize);
        row("size 0", "image", "size", "0", {}, "0");
        row("size 2^53", "image", "size", "9007199254740992", {}, "9007199254740992");
        row("size written with a fraction of zero", "image", "size", "10.0", {}, "10");
        row("size written with an exponent", "image", "size", "4e9", {}, "4000000000");
        row("size negative zero", "image", "size", "-0", {}, "0");

        const QString notExtractSize = build + "\"extractSize\" is not a size in bytes";
        row("extractSize absent", "image", "extractSize", absent, {}, "0");
        row("extractSize null", "image", "extractSize", "null", notExtractSize);
        row("extractSize -1", "image", "extractSize", "-1", notExtractSize);
        row("extractSize 1.5", "image", "extractSize", "1.5", notExtractSize);
        row("extractSize as a string", "image", "extractSize", "\"1024\"", notExtractSize);
        row("extractSize 2^53 + 1", "image", "extractSize", "9007199254740993", notExtractSize);
        row("extractSize 0", "image", "extractSize", "0", {}, "0");
        row("extractSize 2^53", "image", "extractSize", "9007199254740992", {},
            "9007199254740992");

        row("image bootFiles absent", "image", "bootFiles", absent, {}, "absent");
        row("image bootFiles empty", "image", "bootFiles", "{}", {}, "{}");
        row("image bootFiles null", "image", "bootFiles", "null",
            build + "\"bootFiles\" is not an object");
        row("image boot file names differing in case only", "image", "bootFiles",
            "{\"CONFIG.TXT\": \"a\", \"config.txt\": \"b\"}",
            build + "boot files \"CONFIG.TXT\" and \"config.txt\" are the same file");
        row("image boot file not 8.3", "image", "bootFiles", "{\"cmdline.text\": \"\"}",
            build + "boot file \"cmdline.text\" is not an 8.3 name");

        const QString noDevices = build + "no \"devices\"";
        row("devices absent", "image", "devices", absent, noDevices);
        row("devices empty", "image", "devices", "[]", noDevices);
        row("devices a string", "image", "devices", "\"d1\"", noDevices);
        row("devices null", "image", "devices", "null", noDevices);
        row("devices naming a declared id and then 5", "image", "devices", "[\"d1\", 5]",
            build + "undeclared device 5");
        row("devices naming an id of another case", "image", "devices", "[\"D1\"]",
            build + "undeclared device \"D1\"");
        row("devices stop at the first undeclared", "image", "devices",
            "[\"d1\", \"nope\", \"d3\"]", build + "undeclared device \"nope\"");
        row("devices naming null", "image", "devices", "[null]", build + "undeclared device null");
        row("devices naming the empty id", "image", "devices", "[\"\"]",
            build + "undeclared device \"\"");
        row("devices naming an array", "image", "devices", "[[\"d1\"]]",
            build + "undeclared device [\"d1\"]");
        row("devices naming an id with a quote", "image", "devices", "[\"d\\\"1\"]",
            build + "undeclared device \"d\\\"1\"");
        row("devices kept in document order", "image", "devices", "[\"d2\", \"d1\"]", {},
            "d2,d1");
        row("image unknown member ignored", "image", "checksum", "\"md5\"", {}, "i1");
    }

    void entryFields()
    {
        QFETCH(QString, entry);
        QFETCH(QByteArray, key);
        QFETCH(QByteArray, value);
        QFETCH(QStringList, messages);
        QFETCH(QString, stored);

        const Catalog catalog = Catalog::parse(catalogWithMember(entry, key, value), AppVersion);
        QVERIFY2(catalog.isValid(), qPrintable(catalog.error()));
        QCOMPARE(catalog.validationErrors(), messages);
        if (!messages.isEmpty())
            return;
        QCOMPARE(catalog.devices().size(), 2);
        QCOMPARE(catalog.products().size(), 1);
        QCOMPARE(catalog.products().at(0).images.size(), 2);
        QCOMPARE(storedField(catalog, entry, key), stored);
    }

    // Whole documents whose entries break several rules: which message each
    // entry gives, and in which order.
    void entryMessages_data()
    {
        QTest::addColumn<QByteArray>("document");
        QTest::addColumn<QStringList>("messages");
        QTest::addColumn<QStringList>("products");

        const QByteArray d1 = "{\"id\": \"d1\", \"name\": \"One\"}";
        const QByteArray devices = "\"devices\": [" + d1 + "], ";
        const auto productOf = [](const QByteArray &id, const QByteArray &images,
                                  const QByteArray &more = {}) {
            return "{\"id\": \"" + id + "\", \"name\": \"P\"" + more + ", \"images\": [" + images
                + "]}";
        };

        QTest::newRow("device entries that are not objects")
            << withSchema("\"devices\": [\"d1\", 5, null, []]")
            << QStringList{"devices[0]: missing \"id\"", "devices[1]: missing \"id\"",
                           "devices[2]: missing \"id\"", "devices[3]: missing \"id\""}
            << QStringList();
        QTest::newRow("device missing both id and name gives one message")
            << withSchema("\"devices\": [{}]") << QStringList{"devices[0]: missing \"id\""}
            << QStringList();
        QTest::newRow("device declared twice, third time without name")
            << withSchema("\"devices\": [" + d1 + ", {\"id\": \"d1\", \"name\": \"Again\"}, "
                          "{\"id\": \"d1\"}]")
            << QStringList{"devices[1]: duplicate id \"d1\"", "devices[2]: missing \"name\""}
            << QStringList();
        QTest::newRow("product entries that are not objects")
            << withSchema(devices + "\"products\": [\"p1\", null, {\"0\": 1}]")
            << QStringList{"products[0]: missing \"id\"", "products[1]: missing \"id\"",
                           "products[2]: missing \"id\""}
            << QStringList();
        QTest::newRow("only image names an undeclared device")
            << withSchema(devices + "\"products\": [" + productOf("board-a", image("i1", "[\"d9\"]"))
                          + "]")
            << QStringList{"products[0] (board-a).images[0]: undeclared device \"d9\"",
                           "products[0]: no usable images"}
            << QStringList();
        QTest::newRow("image messages in index order, then the product's")
            << withSchema(devices + "\"products\": [" + productOf("p1", image("i1", "[]") + ", 7, "
                          + image("i3", "[\"d1\"]", ", \"size\": -1")) + "]")
            << QStringList{"products[0] (p1).images[0]: no \"devices\"",
                           "products[0] (p1).images[1]: missing \"id\"",
                           "products[0] (p1).images[2]: \"size\" is not a size in bytes",
                           "products[0]: no usable images"}
            << QStringList();
        QTest::newRow("the fourth image of the first product")
            << withSchema(devices + "\"products\": [" + productOf("board-a", image("i0", "[\"d1\"]")
                          + ", " + image("i1", "[\"d1\"]") + ", " + image("i2", "[\"d1\"]") + ", "
                          + image("i3", "[\"d1\"]", ", \"bootFiles\": 1")) + "]")
            << QStringList{"products[0] (board-a).images[3]: \"bootFiles\" is not an object"}
            << QStringList{"board-a"};
        QTest::newRow("device messages come before product messages")
            << withSchema("\"products\": [" + productOf("p1", image("i1", "[\"d2\"]"))
                          + "], \"devices\": [" + d1 + ", {\"id\": \"d2\"}]")
            << QStringList{"devices[1]: missing \"name\"",
                           "products[0] (p1).images[0]: undeclared device \"d2\"",
                           "products[0]: no usable images"}
            << QStringList();
        QTest::newRow("devices written after products are declared for them")
            << withSchema("\"products\": [" + productOf("p1", image("i1", "[\"d1\"]"))
                          + "], \"devices\": [" + d1 + "]")
            << QStringList() << QStringList{"p1"};
        QTest::newRow("image checks: the earliest failing field wins")
            << withSchema(devices + "\"products\": [" + productOf("p1",
                          "{\"id\": \"i1\", \"size\": -1, \"devices\": []}, "
                          "{\"id\": \"i2\", \"name\": \"N\", \"version\": \"1\", \"url\": \"u\", "
                          "\"description\": 5, \"size\": -1}, "
                          + image("i3", "[\"d9\"]", ", \"extractSize\": -1") + ", "
                          + image("i4", "[\"d9\"]", ", \"bootFiles\": []") + ", "
                          + image("ok", "[\"d1\"]")) + "]")
            << QStringList{"products[0] (p1).images[0]: missing \"name\"",
                           "products[0] (p1).images[1]: \"description\" is not a string",
                           "products[0] (p1).images[2]: \"extractSize\" is not a size in bytes",
                           "products[0] (p1).images[3]: \"bootFiles\" is not an object"}
            << QStringList{"p1"};
        QTest::newRow("product checks: the earliest failing field wins")
            << withSchema(devices + "\"products\": [" + productOf("p1", image("i1", "[\"d1\"]"))
                          + ", {\"id\": \"p2\", \"icon\": 1, \"bootFiles\": 1}, "
                          + productOf("p3", "", ", \"icon\": 1, \"bootFiles\": 1") + ", "
                          + productOf("p1", image("i1", "[\"d1\"]"), ", \"bootFiles\": 1") + "]")
            << QStringList{"products[1]: missing \"name\"",
                           "products[2]: \"icon\" is not a string",
                           "products[3]: \"bootFiles\" is not an object"}
            << QStringList{"p1"};
        QTest::newRow("images of a refused product are not read")
            << withSchema(devices + "\"products\": [" + productOf("p1", image("i1", "[\"d1\"]"))
                          + ", " + productOf("p1", image("i1", "[\"d9\"]") + ", 5") + "]")
            << QStringList{"products[1]: duplicate id \"p1\""} << QStringList{"p1"};
        QTest::newRow("a refused product does not reserve its id")
            << withSchema(devices + "\"products\": [" + productOf("p1", image("i1", "[\"d9\"]"))
                          + ", " + productOf("p1", image("i1", "[\"d1\"]")) + ", "
                          + productOf("p1", image("i1", "[\"d1\"]")) + "]")
            << QStringList{"products[0] (p1).images[0]: undeclared device \"d9\"",
                           "products[0]: no usable images", "products[2]: duplicate id \"p1\""}
            << QStringList{"p1"};
        QTest::newRow("duplicate image within a product keeps the first")
            << withSchema(devices + "\"products\": [" + productOf("p1", image("i1", "[\"d1\"]")
                          + ", " + image("i1", "[\"d1\"]") + ", " + image("i2", "[\"d1\"]")) + "]")
            << QStringList{"products[0] (p1).images[1]: duplicate id \"i1\""}
            << QStringList{"p1"};
        QTest::newRow("a refused image does not reserve its id")
            << withSchema(devices + "\"products\": [" + productOf("p1", image("i1", "[\"d9\"]")
                          + ", " + image("i1", "[\"d1\"]")) + "]")
            << QStringList{"products[0] (p1).images[0]: undeclared device \"d9\""}
            << QStringList{"p1"};
        QTest::newRow("messages follow product order")
            << withSchema(devices + "\"products\": [" + productOf("p1", image("i1", "[\"d1\"]")
                          + ", " + image("i1", "[\"d1\"]")) + ", " + productOf("p2",
                          image("i1", "[\"d9\"]")) + "]")
            << QStringList{"products[0] (p1).images[1]: duplicate id \"i1\"",
                           "products[1] (p2).images[0]: undeclared device \"d9\"",
                           "products[1]: no usable images"}
            << QStringList{"p1"};
        QTest::newRow("the same image id in two products")
            << withSchema(devices + "\"products\": [" + productOf("p1", image("i1", "[\"d1\"]"))
                          + ", " + productOf("p2", image("i1", "[\"d1\"]")) + "]")
            << QStringList() << QStringList{"p1", "p2"};
        QTest::newRow("ids holding percent signs are shown as written")
            << withSchema(devices + "\"products\": [" + productOf("p%1%2", image("%3", "[\"d9\"]"))
                          + "]")
            << QStringList{"products[0] (p%1%2).images[0]: undeclared device \"d9\"",
                           "products[0]: no usable images"}
            << QStringList();
        QTest::newRow("an image may name the same device twice")
            << withSchema(devices + "\"products\": [" + productOf("p1", image("i1",
                          "[\"d1\", \"d1\"]")) + "]")
            << QStringList() << QStringList{"p1"};
    }

    void entryMessages()
    {
        QFETCH(QByteArray, document);
        QFETCH(QStringList, messages);
        QFETCH(QStringList, products);

        const Catalog catalog = Catalog::parse(document, AppVersion);
        QVERIFY2(catalog.isValid(), qPrintable(catalog.error()));
        QCOMPARE(catalog.validationErrors(), messages);
        QCOMPARE(ids(catalog.products()), products);
    }

    void duplicatesKeepTheFirstEntry()
    {
        const Catalog catalog = Catalog::parse(
            withSchema("\"devices\": [{\"id\": \"d1\", \"name\": \"First\"}, "
                       "{\"id\": \"d1\", \"name\": \"Second\"}], \"products\": ["
                       "{\"id\": \"p1\", \"name\": \"First\", \"images\": ["
                       + image("i1", "[\"d1\"]", ", \"version\": \"first\"") + ", "
                       + image("i1", "[\"d1\"]", ", \"version\": \"second\"") + "]}, "
                       "{\"id\": \"p1\", \"name\": \"Second\", \"images\": ["
                       + image("i1", "[\"d1\"]") + "]}]"),
            AppVersion);
        QCOMPARE(catalog.devices().size(), 1);
        QCOMPARE(catalog.devices().at(0).name, QStringLiteral("First"));
        QCOMPARE(catalog.products().size(), 1);
        QCOMPARE(catalog.products().at(0).name, QStringLiteral("First"));
        QCOMPARE(catalog.products().at(0).images.size(), 1);
        QCOMPARE(catalog.products().at(0).images.at(0).version, QStringLiteral("first"));
    }

    void acceptedEntriesKeepEveryField()
    {
        const Catalog catalog = Catalog::parse(
            withSchema("\"devices\": [{\"id\": \"vega-3\", \"name\": \"Vega 3 board\"},"
                       "            {\"id\": \"orion\", \"name\": \"Orion\"}],"
                       "\"products\": [{\"id\": \"kiosk\", \"name\": \"Kiosk\","
                       "  \"icon\": \"icons/kiosk.png\", \"bootFiles\": {\"ROLE.TXT\": \"kiosk\"},"
                       "  \"images\": [{\"id\": \"k1\", \"name\": \"Kiosk 1\","
                       "    \"description\": \"First\", \"version\": \"1.0-rc2\","
                       "    \"url\": \"https://example.com/k1.zip\", \"size\": 123456789012,"
                       "    \"sha256\": \"AB12\", \"extractSize\": 4294967296,"
                       "    \"extractSha256\": \"cd34\", \"bootFiles\": {\"CONFIG.TXT\": \"x=1\"},"
                       "    \"devices\": [\"orion\", \"vega-3\"]}]}]"),
            AppVersion);
        QCOMPARE(catalog.validationErrors(), QStringList());
        QCOMPARE(catalog.devices().size(), 2);
        QCOMPARE(catalog.devices().at(0).id, QStringLiteral("vega-3"));
        QCOMPARE(catalog.devices().at(0).name, QStringLiteral("Vega 3 board"));
        QCOMPARE(catalog.devices().at(1).id, QStringLiteral("orion"));

        QCOMPARE(catalog.products().size(), 1);
        const CatalogProduct product = catalog.products().at(0);
        QCOMPARE(product.id, QStringLiteral("kiosk"));
        QCOMPARE(product.name, QStringLiteral("Kiosk"));
        QCOMPARE(product.icon, QStringLiteral("icons/kiosk.png"));
        QCOMPARE(product.bootFiles, (BootFiles{{"ROLE.TXT", "kiosk"}}));
        QCOMPARE(product.images.size(), 1);

        const CatalogImage build = product.images.at(0);
        QCOMPARE(build.id, QStringLiteral("k1"));
        QCOMPARE(build.name, QStringLiteral("Kiosk 1"));
        QCOMPARE(build.description, QStringLiteral("First"));
        QCOMPARE(build.version, QStringLiteral("1.0-rc2"));
        QCOMPARE(build.devices, (QStringList{"orion", "vega-3"}));
        QCOMPARE(build.url, QStringLiteral("https://example.com/k1.zip"));
        QCOMPARE(build.size, Q_INT64_C(123456789012));
        QCOMPARE(build.sha256, QStringLiteral("AB12"));
        QCOMPARE(build.extractSize, Q_INT64_C(4294967296));
        QCOMPARE(build.extractSha256, QStringLiteral("cd34"));
        QVERIFY(build.bootFiles.has_value());
        QCOMPARE(*build.bootFiles, (BootFiles{{"CONFIG.TXT", "x=1"}}));
    }

    void bootFileBytesAreTheUtf8OfTheText()
    {
        const Catalog catalog = Catalog::parse(
            withSchema("\"devices\": [{\"id\": \"d1\", \"name\": \"One\"}], \"products\": ["
                       "{\"id\": \"p1\", \"name\": \"P\", \"bootFiles\": {"
                       "  \"CRLF.TXT\": \"a=1\\r\\nb=2\\r\\n\", \"EMPTY\": \"\","
                       "  \"UTF8.TXT\": \"\\u00e8 \xe2\x82\xac \\ud83d\\ude00\", \"NUL.BIN\": \"a\\u0000b\"},"
                       "\"images\": [" + image("i1", "[\"d1\"]") + "]}]"),
            AppVersion);
        QCOMPARE(catalog.validationErrors(), QStringList());
        const BootFiles files = catalog.localBootFiles("p1");
        QCOMPARE(files.keys(), (QStringList{"CRLF.TXT", "EMPTY", "NUL.BIN", "UTF8.TXT"}));
        QCOMPARE(files.value("CRLF.TXT"), QByteArray("a=1\r\nb=2\r\n"));
        QCOMPARE(files.value("EMPTY"), QByteArray(""));
        QCOMPARE(files.value("UTF8.TXT"), QByteArray("\xc3\xa8 \xe2\x82\xac \xf0\x9f\x98\x80"));
        QCOMPARE(files.value("NUL.BIN"), QByteArray("a\0b", 3));
    }

    void unknownMembersChangeNothing()
    {
        const QByteArray plain = withSchema(
            "\"devices\": [{\"id\": \"d1\", \"name\": \"One\"}], \"products\": ["
            "{\"id\": \"p1\", \"name\": \"P\", \"images\": [" + image("i1", "[\"d1\"]") + "]}]");
        const QByteArray decorated = withSchema(
            "\"comment\": \"x\", \"catalogs\": [1], \"devices\": [{\"id\": \"d1\", \"name\": "
            "\"One\", \"vendor\": {\"a\": null}}], \"products\": [{\"id\": \"p1\", \"name\": "
            "\"P\", \"Icon\": 5, \"bootfiles\": 1, \"images\": [" + image("i1", "[\"d1\"]",
            ", \"Size\": \"x\", \"released\": null") + "]}]");
        const Catalog a = Catalog::parse(plain, AppVersion);
        const Catalog b = Catalog::parse(decorated, AppVersion);
        QCOMPARE(b.validationErrors(), QStringList());
        QCOMPARE(ids(b.devices()), ids(a.devices()));
        QCOMPARE(ids(b.products()), ids(a.products()));
        const CatalogProduct pa = a.products().at(0);
        const CatalogProduct pb = b.products().at(0);
        QCOMPARE(pb.icon, pa.icon);
        QCOMPARE(pb.bootFiles, pa.bootFiles);
        QCOMPARE(pb.images.at(0).size, pa.images.at(0).size);
        QCOMPARE(pb.images.at(0).devices, pa.images.at(0).devices);
        QVERIFY(!pb.images.at(0).bootFiles.has_value());
    }

    // The queries of the shared catalog; the answers as ids, boot files as
    // NAME=content.
    void queries_data()
    {
        QTest::addColumn<QString>("query");
        QTest::addColumn<QString>("product");
        QTest::addColumn<QString>("other"); // the device or build named besides the product
        QTest::addColumn<QStringList>("answer");

        QTest::newRow("devicesFor: top-level order, not the order images name them")
            << "devicesFor" << "p1" << "" << QStringList{"d1", "d2"};
        QTest::newRow("devicesFor: each device once") << "devicesFor" << "p2" << "" << QStringList{"d3"};
        QTest::newRow("devicesFor: unknown product") << "devicesFor" << "p9" << "" << QStringList();
        QTest::newRow("devicesFor: product id of another case") << "devicesFor" << "P1" << "" << QStringList();
        QTest::newRow("devicesFor: empty product id") << "devicesFor" << "" << "" << QStringList();

        QTest::newRow("imagesFor: all builds for a device, product order")
            << "imagesFor" << "p1" << "d2" << QStringList{"i1", "i2", "i3"};
        QTest::newRow("imagesFor: a device named second by a build")
            << "imagesFor" << "p1" << "d1" << QStringList{"i1"};
        QTest::newRow("imagesFor: same build id in another product")
            << "imagesFor" << "p2" << "d3" << QStringList{"i1", "only2"};
        QTest::newRow("imagesFor: device without builds of this product")
            << "imagesFor" << "p1" << "d3" << QStringList();
        QTest::newRow("imagesFor: device id of another case") << "imagesFor" << "p1" << "D2" << QStringList();
        QTest::newRow("imagesFor: empty device id") << "imagesFor" << "p1" << "" << QStringList();
        QTest::newRow("imagesFor: unknown device") << "imagesFor" << "p1" << "d9" << QStringList();
        QTest::newRow("imagesFor: unknown product") << "imagesFor" << "p9" << "d1" << QStringList();

        const QStringList productFiles{"A.TXT=product"};
        QTest::newRow("bootFilesFor: build without boot files takes the product's")
            << "bootFilesFor" << "p1" << "i1" << productFiles;
        QTest::newRow("bootFilesFor: empty boot files of a build hide the product's")
            << "bootFilesFor" << "p1" << "i2" << QStringList();
        QTest::newRow("bootFilesFor: boot files of a build replace the product's whole")
            << "bootFilesFor" << "p1" << "i3" << QStringList{"B.TXT=image"};
        QTest::newRow("bootFilesFor: build id of another product")
            << "bootFilesFor" << "p1" << "only2" << QStringList();
        QTest::newRow("bootFilesFor: same build id, product without boot files")
            << "bootFilesFor" << "p2" << "i1" << QStringList();
        QTest::newRow("bootFilesFor: unknown build") << "bootFilesFor" << "p1" << "i9" << QStringList();
        QTest::newRow("bootFilesFor: empty build id") << "bootFilesFor" << "p1" << "" << QStringList();
        QTest::newRow("bootFilesFor: unknown product") << "bootFilesFor" << "p9" << "i1" << QStringList();
        QTest::newRow("bootFilesFor: build id of another case") << "bootFilesFor" << "p1" << "I1" << QStringList();

        // The product's own, whatever its builds say.
        QTest::newRow("localBootFiles: product whose builds have their own")
            << "localBootFiles" << "p1" << "" << productFiles;
        QTest::newRow("localBootFiles: product without boot files")
            << "localBootFiles" << "p2" << "" << QStringList();
        QTest::newRow("localBootFiles: unknown product") << "localBootFiles" << "p9" << "" << QStringList();
    }

    void queries()
    {
        QFETCH(QString, query);
        QFETCH(QString, product);
        QFETCH(QString, other);
        QFETCH(QStringList, answer);
        const Catalog catalog = Catalog::parse(QueryCatalog, AppVersion);
        QCOMPARE(catalog.validationErrors(), QStringList());
        if (query == QLatin1String("devicesFor"))
            QCOMPARE(ids(catalog.devicesFor(product)), answer);
        else if (query == QLatin1String("imagesFor"))
            QCOMPARE(ids(catalog.imagesFor(product, other)), answer);
        else if (query == QLatin1String("bootFilesFor"))
            QCOMPARE(entries(catalog.bootFilesFor(product, other)), answer);
        else if (query == QLatin1String("localBootFiles"))
            QCOMPARE(entries(catalog.localBootFiles(product)), answer);
        else
            QFAIL(qPrintable(QStringLiteral("no query named %1").arg(query)));
    }

    void devicesForHandsOutTheDeviceRecords()
    {
        const Catalog catalog = Catalog::parse(QueryCatalog, AppVersion);
        const QList<CatalogDevice> devices = catalog.devicesFor("p1");
        QCOMPARE(devices.size(), 2);
        QCOMPARE(devices.at(1).name, QStringLiteral("Two"));
    }

    void productLookup()
    {
        const Catalog catalog = Catalog::parse(QueryCatalog, AppVersion);
        const CatalogProduct *found = catalog.product("p2");
        QVERIFY(found);
        QCOMPARE(found->name, QStringLiteral("Product Two"));
        QCOMPARE(found->images.size(), 2);
        QCOMPARE(catalog.product("p2"), found);
        QVERIFY(!catalog.product("P2"));
        QVERIFY(!catalog.product(""));
        QCOMPARE(ids(catalog.products()), (QStringList{"p1", "p2"}));
    }

    void invalidCatalogAnswersEverythingEmpty_data()
    {
        QTest::addColumn<QByteArray>("document"); // null for a default-constructed catalog
        QTest::newRow("default-constructed") << QByteArray();
        QTest::newRow("malformed") << QByteArray("{\"schemaVersion\": 1, ");
        QTest::newRow("unsupported schema")
            << QByteArray(QueryCatalog).replace("\"schemaVersion\": 1", "\"schemaVersion\": 2");
    }

    void invalidCatalogAnswersEverythingEmpty()
    {
        QFETCH(QByteArray, document);
        const Catalog catalog = document.isNull() ? Catalog() : Catalog::parse(document, AppVersion);
        QVERIFY(!catalog.isValid());
        QCOMPARE(catalog.error().isEmpty(), document.isNull());
        QCOMPARE(catalog.validationErrors(), QStringList());
        QVERIFY(!catalog.requiresNewerTessaro());
        QVERIFY(catalog.minTessaroVersion().isNull());
        QVERIFY(catalog.devices().isEmpty());
        QVERIFY(catalog.products().isEmpty());
        QVERIFY(!catalog.product("p1"));
        QVERIFY(catalog.devicesFor("p1").isEmpty());
        QVERIFY(catalog.imagesFor("p1", "d2").isEmpty());
        QVERIFY(catalog.bootFilesFor("p1", "i1").isEmpty());
        QVERIFY(catalog.localBootFiles("p1").isEmpty());
    }

    // The catalog shipped as the example of the format must stay clean and
    // show what it claims to show.
    void exampleCatalog()
    {
        QFile file(qEnvironmentVariable("TESSARO_SOURCE_DIR")
                   + QStringLiteral("/tests/data/example-catalog.json"));
        QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(file.errorString()));
        const Catalog catalog = Catalog::parse(file.readAll(), AppVersion);

        QVERIFY2(catalog.isValid(), qPrintable(catalog.error()));
        QCOMPARE(catalog.validationErrors(), QStringList());
        QCOMPARE(catalog.minTessaroVersion(), QVersionNumber(0, 1));
        QVERIFY(!catalog.requiresNewerTessaro());
        QCOMPARE(ids(catalog.devices()), (QStringList{"vega-2", "vega-3", "orion-mini"}));
        QCOMPARE(ids(catalog.products()), (QStringList{"signage", "kiosk"}));

        QCOMPARE(ids(catalog.devicesFor("signage")), (QStringList{"vega-2", "vega-3"}));
        QCOMPARE(ids(catalog.devicesFor("kiosk")), (QStringList{"vega-3", "orion-mini"}));
        QCOMPARE(ids(catalog.imagesFor("signage", "vega-3")),
                 (QStringList{"signage-2.4", "signage-2.5-rc1"}));
        QCOMPARE(ids(catalog.imagesFor("kiosk", "orion-mini")),
                 (QStringList{"kiosk-1.8", "kiosk-1.7", "kiosk-1.8-service"}));

        const CatalogImage current = catalog.imagesFor("signage", "vega-2").at(0);
        QCOMPARE(current.size, Q_INT64_C(612345678));
        QCOMPARE(current.extractSize, Q_INT64_C(2147483648));
        QCOMPARE(current.sha256.size(), 64);
        QCOMPARE(catalog.imagesFor("signage", "vega-3").at(1).size, Q_INT64_C(0));

        QCOMPARE(catalog.bootFilesFor("signage", "signage-2.4").value("CONFIG.TXT"),
                 QByteArray("display=hdmi\nrotate=0\nplaylist=/media/playlist.m3u\n"));
        QCOMPARE(catalog.bootFilesFor("signage", "signage-2.5-rc1").value("CONFIG.TXT"),
                 QByteArray("display=hdmi\nrotate=90\nplaylist=/media/playlist.m3u\n"));
        QCOMPARE(catalog.bootFilesFor("kiosk", "kiosk-1.8").keys(),
                 (QStringList{"WELCOME.TXT", "kiosk.ini"}));
        QCOMPARE(catalog.bootFilesFor("kiosk", "kiosk-1.8").value("kiosk.ini"),
                 QByteArray("[kiosk]\r\nstart=https://shop.example.com/\r\nidle=120\r\n"));
        QCOMPARE(catalog.bootFilesFor("kiosk", "kiosk-1.8-service"), BootFiles());
        QCOMPARE(catalog.localBootFiles("kiosk").size(), 2);
    }
};

QTEST_GUILESS_MAIN(TestCatalog)
#include "tst_catalog.moc"
