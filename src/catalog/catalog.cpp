#include "catalog/catalog.h"

#include "write/fatwriter.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QJsonValue>

#include <algorithm>

namespace {

// The member names of the catalog document.
namespace Key {
constexpr QLatin1String SchemaVersion("schemaVersion");
constexpr QLatin1String MinTessaroVersion("minTessaroVersion");
constexpr QLatin1String Devices("devices");
constexpr QLatin1String Products("products");
constexpr QLatin1String Id("id");
constexpr QLatin1String Name("name");
constexpr QLatin1String Icon("icon");
constexpr QLatin1String BootFiles("bootFiles");
constexpr QLatin1String Images("images");
constexpr QLatin1String Description("description");
constexpr QLatin1String Version("version");
constexpr QLatin1String Url("url");
constexpr QLatin1String Size("size");
constexpr QLatin1String Sha256("sha256");
constexpr QLatin1String ExtractSize("extractSize");
constexpr QLatin1String ExtractSha256("extractSha256");
}

constexpr int SupportedSchema = 1;

// Sizes stay within the integers a double holds exactly, so that a catalog
// written by any JSON tool means the same number everywhere.
constexpr qint64 MaxSize = qint64(1) << 53;

// The value as the JSON writer shows it: a string with its quotes and
// escapes, a number as the writer formats it.
QString jsonText(const QJsonValue &value)
{
    const QString array = QString::fromUtf8(
        QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact));
    return array.mid(1, array.size() - 2);
}

QString duplicateId(const QString &id)
{
    return QStringLiteral("duplicate id \"%1\"").arg(id);
}

// Null counts as present: a key written as null is refused, not defaulted.
bool requireString(const QJsonObject &object, QLatin1String key, QString *out, QString *error)
{
    const QJsonValue value = object.value(key);
    if (!value.isString() || value.toString().isEmpty()) {
        *error = QStringLiteral("missing \"%1\"").arg(key);
        return false;
    }
    *out = value.toString();
    return true;
}

bool optionalString(const QJsonObject &object, QLatin1String key, QString *out, QString *error)
{
    const QJsonValue value = object.value(key);
    if (value.isUndefined())
        return true;
    if (!value.isString()) {
        *error = QStringLiteral("\"%1\" is not a string").arg(key);
        return false;
    }
    *out = value.toString();
    return true;
}

// A whole number from 0 to 2^53. Integers in the document are read exactly,
// so 2^53 + 1 is refused rather than rounded down to 2^53.
bool sizeField(const QJsonObject &object, QLatin1String key, bool required, qint64 *out,
               QString *error)
{
    const QJsonValue value = object.value(key);
    if (value.isUndefined() && !required)
        return true;
    const qint64 size = value.isDouble() ? value.toInteger(-1) : -1;
    if (size < 0 || size > MaxSize) {
        *error = QStringLiteral("\"%1\" is not a size in bytes").arg(key);
        return false;
    }
    *out = size;
    return true;
}

// The members come in the order the JSON object keeps, ascending by name, so
// of two names that differ only in case the one sorting first is "taken".
bool parseBootFiles(const QJsonValue &value, QMap<QString, QByteArray> *out, QString *error)
{
    if (!value.isObject()) {
        *error = QStringLiteral("\"bootFiles\" is not an object");
        return false;
    }
    const QJsonObject object = value.toObject();
    QMap<QString, QByteArray> files;
    QMap<QString, QString> takenByFoldedName; // FAT names ignore case
    for (auto it = object.constBegin(); it != object.constEnd(); ++it) {
        const QString name = it.key();
        if (!it.value().isString()) {
            *error = QStringLiteral("boot file \"%1\" is not text").arg(name);
            return false;
        }
        if (!isFatShortName(name)) {
            *error = QStringLiteral("boot file \"%1\" is not an 8.3 name").arg(name);
            return false;
        }
        const QString folded = name.toUpper();
        const auto taken = takenByFoldedName.constFind(folded);
        if (taken != takenByFoldedName.constEnd()) {
            // One arg() call: a name may hold '%' and must not be read as a marker.
            *error = QStringLiteral("boot files \"%1\" and \"%2\" are the same file")
                         .arg(taken.value(), name);
            return false;
        }
        takenByFoldedName.insert(folded, name);
        files.insert(name, it.value().toString().toUtf8());
    }
    *out = files;
    return true;
}

// Plain dotted decimal only. QVersionNumber alone would also take a leading
// blank or plus sign.
std::optional<QVersionNumber> dottedVersion(const QString &text)
{
    const bool plain = std::all_of(text.cbegin(), text.cend(), [](QChar c) {
        return (c >= QLatin1Char('0') && c <= QLatin1Char('9')) || c == QLatin1Char('.');
    });
    qsizetype suffix = 0;
    const QVersionNumber version = QVersionNumber::fromString(text, &suffix);
    if (!plain || version.isNull() || suffix != text.size())
        return std::nullopt;
    return version;
}

template<typename Record>
const Record *findId(const QList<Record> &records, const QString &id)
{
    for (const Record &record : records) {
        if (record.id == id)
            return &record;
    }
    return nullptr;
}

} // namespace

Catalog Catalog::parse(const QByteArray &data, const QVersionNumber &appVersion)
{
    Catalog catalog;

    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(data, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        catalog.m_error = QStringLiteral("Malformed JSON: %1").arg(parseError.errorString());
        return catalog;
    }

    if (!document.isObject()) {
        catalog.m_error = QStringLiteral("The manifest is not a JSON object");
        return catalog;
    }
    const QJsonObject root = document.object();

    // toInt() falls back for anything but a whole number in int range, so
    // 1.0 is 1 while "1", true and 2^32 + 1 are not.
    const QJsonValue schema = root.value(Key::SchemaVersion);
    if (schema.toInt(-1) != SupportedSchema) {
        catalog.m_error = QStringLiteral("Unsupported schemaVersion %1").arg(jsonText(schema));
        return catalog;
    }

    if (root.contains(Key::MinTessaroVersion)) {
        const QJsonValue minimum = root.value(Key::MinTessaroVersion);
        const std::optional<QVersionNumber> version = dottedVersion(minimum.toString());
        if (!version) {
            catalog.m_error = QStringLiteral("Invalid minTessaroVersion %1").arg(jsonText(minimum));
            return catalog;
        }
        catalog.m_minTessaroVersion = *version;
        // Trailing zeros carry no meaning: 2.0 asks for nothing newer than 2.
        catalog.m_requiresNewerTessaro = version->normalized() > appVersion.normalized();
    }

    // Devices first, so that every image is checked against all of them.
    const QJsonArray devices = root.value(Key::Devices).toArray();
    for (qsizetype i = 0; i < devices.size(); ++i) {
        const QString context = QStringLiteral("devices[%1]").arg(i);
        if (std::optional<CatalogDevice> device = catalog.parseDevice(devices.at(i), context))
            catalog.m_devices.append(*device);
    }

    const QJsonArray products = root.value(Key::Products).toArray();
    for (qsizetype i = 0; i < products.size(); ++i) {
        const QString context = QStringLiteral("products[%1]").arg(i);
        if (std::optional<CatalogProduct> product = catalog.parseProduct(products.at(i), context))
            catalog.m_products.append(*product);
    }

    catalog.m_valid = true;
    return catalog;
}

// An element that is not an object reads as an empty one, so it is refused
// for its missing id.
std::optional<CatalogDevice> Catalog::parseDevice(const QJsonValue &value, const QString &context)
{
    const QJsonObject object = value.toObject();
    CatalogDevice device;
    QString reason;
    if (!requireString(object, Key::Id, &device.id, &reason)
        || !requireString(object, Key::Name, &device.name, &reason))
        return refuse(context, reason);

    if (findId(m_devices, device.id))
        return refuse(context, duplicateId(device.id));

    return device;
}

std::optional<CatalogProduct> Catalog::parseProduct(const QJsonValue &value, const QString &context)
{
    const QJsonObject object = value.toObject();
    CatalogProduct product;
    QString reason;
    if (!requireString(object, Key::Id, &product.id, &reason)
        || !requireString(object, Key::Name, &product.name, &reason)
        || !optionalString(object, Key::Icon, &product.icon, &reason))
        return refuse(context, reason);

    if (object.contains(Key::BootFiles)
        && !parseBootFiles(object.value(Key::BootFiles), &product.bootFiles, &reason))
        return refuse(context, reason);

    // Only accepted products hold an id: a refused one leaves it free.
    if (findId(m_products, product.id))
        return refuse(context, duplicateId(product.id));

    // The images of a refused product are not read, so they give no messages;
    // those of an accepted one come before its own "no usable images".
    const QJsonArray images = object.value(Key::Images).toArray();
    for (qsizetype j = 0; j < images.size(); ++j) {
        // One arg() call: the product id may hold '%' and must not be read as a marker.
        const QString imageContext =
            QStringLiteral("%1 (%2).images[%3]").arg(context, product.id, QString::number(j));
        std::optional<CatalogImage> image = parseImage(images.at(j), imageContext);
        if (!image)
            continue;
        if (findId(product.images, image->id)) {
            refuse(imageContext, duplicateId(image->id));
            continue;
        }
        product.images.append(*image);
    }
    if (product.images.isEmpty())
        return refuse(context, QStringLiteral("no usable images"));

    return product;
}

std::optional<CatalogImage> Catalog::parseImage(const QJsonValue &value, const QString &context)
{
    const QJsonObject object = value.toObject();
    CatalogImage image;
    QString reason;
    if (!requireString(object, Key::Id, &image.id, &reason)
        || !requireString(object, Key::Name, &image.name, &reason)
        || !optionalString(object, Key::Description, &image.description, &reason)
        || !requireString(object, Key::Version, &image.version, &reason)
        || !requireString(object, Key::Url, &image.url, &reason)
        || !sizeField(object, Key::Size, true, &image.size, &reason)
        || !requireString(object, Key::Sha256, &image.sha256, &reason)
        || !sizeField(object, Key::ExtractSize, false, &image.extractSize, &reason)
        || !optionalString(object, Key::ExtractSha256, &image.extractSha256, &reason))
        return refuse(context, reason);

    if (object.contains(Key::BootFiles)) {
        QMap<QString, QByteArray> files;
        if (!parseBootFiles(object.value(Key::BootFiles), &files, &reason))
            return refuse(context, reason);
        image.bootFiles = files;
    }

    const QJsonArray devices = object.value(Key::Devices).toArray();
    if (devices.isEmpty())
        return refuse(context, QStringLiteral("no \"devices\""));
    for (const QJsonValue &device : devices) {
        // A non-string reads as the empty text, which no device has as id.
        const QString id = device.toString();
        if (!findId(m_devices, id))
            return refuse(context, QStringLiteral("undeclared device %1").arg(jsonText(device)));
        image.devices.append(id);
    }

    return image;
}

std::nullopt_t Catalog::refuse(const QString &context, const QString &reason)
{
    m_validationErrors.append(context + QStringLiteral(": ") + reason);
    return std::nullopt;
}

bool Catalog::isValid() const
{
    return m_valid;
}

QString Catalog::error() const
{
    return m_error;
}

QStringList Catalog::validationErrors() const
{
    return m_validationErrors;
}

bool Catalog::requiresNewerTessaro() const
{
    return m_requiresNewerTessaro;
}

QVersionNumber Catalog::minTessaroVersion() const
{
    return m_minTessaroVersion;
}

QList<CatalogDevice> Catalog::devices() const
{
    return m_devices;
}

QList<CatalogProduct> Catalog::products() const
{
    return m_products;
}

const CatalogProduct *Catalog::product(const QString &productId) const
{
    return findId(m_products, productId);
}

QList<CatalogDevice> Catalog::devicesFor(const QString &productId) const
{
    const CatalogProduct *entry = product(productId);
    if (!entry)
        return {};
    QList<CatalogDevice> result;
    for (const CatalogDevice &device : m_devices) {
        const bool used = std::any_of(entry->images.cbegin(), entry->images.cend(),
                                      [&device](const CatalogImage &image) {
                                          return image.devices.contains(device.id);
                                      });
        if (used)
            result.append(device);
    }
    return result;
}

QList<CatalogImage> Catalog::imagesFor(const QString &productId, const QString &deviceId) const
{
    const CatalogProduct *entry = product(productId);
    if (!entry)
        return {};
    QList<CatalogImage> result;
    for (const CatalogImage &image : entry->images) {
        if (image.devices.contains(deviceId))
            result.append(image);
    }
    return result;
}

QMap<QString, QByteArray> Catalog::bootFilesFor(const QString &productId,
                                                const QString &imageId) const
{
    const CatalogProduct *entry = product(productId);
    if (!entry)
        return {};
    const CatalogImage *image = findId(entry->images, imageId);
    if (!image)
        return {};
    return image->bootFiles ? *image->bootFiles : entry->bootFiles;
}

QMap<QString, QByteArray> Catalog::localBootFiles(const QString &productId) const
{
    const CatalogProduct *entry = product(productId);
    return entry ? entry->bootFiles : QMap<QString, QByteArray>();
}
