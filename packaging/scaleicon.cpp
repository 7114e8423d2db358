// Scales the 512 px logo to the sizes of the hicolor icon theme at build time:
//     tessaro_scaleicon SOURCE.png SIZE OUTPUT.png
// One bilinear step from 512 to 16 px would sample only a few source pixels
// per icon pixel and alias the tile edges, so the image is halved until it is
// at most twice the wanted size and only the last step is arbitrary.

#include <QImage>
#include <QTextStream>

int main(int argc, char *argv[])
{
    QTextStream err(stderr);
    if (argc != 4) {
        err << "usage: tessaro_scaleicon SOURCE.png SIZE OUTPUT.png\n";
        return 2;
    }
    bool ok = false;
    const int size = QByteArray(argv[2]).toInt(&ok);
    QImage image(QString::fromLocal8Bit(argv[1]));
    if (image.isNull()) {
        err << "Cannot read " << argv[1] << "\n";
        return 1;
    }
    if (!ok || size < 1 || size > image.width() || image.width() != image.height()) {
        err << "Cannot scale a " << image.width() << "x" << image.height() << " image to " << argv[2] << " px\n";
        return 1;
    }
    image = image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    while (image.width() > 2 * size)
        image = image.scaled(image.width() / 2, image.height() / 2, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    image = image.scaled(size, size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    if (!image.convertToFormat(QImage::Format_ARGB32).save(QString::fromLocal8Bit(argv[3]), "PNG")) {
        err << "Cannot write " << argv[3] << "\n";
        return 1;
    }
    return 0;
}
