// make-icons: turns the 32x32 logo into the PNG sizes a desktop menu asks the icon theme for.
//   make-icons LOGO.xpm OUTDIR SIZE...   writes OUTDIR/SIZE.png for each SIZE
// Runs at build time, so the icons never drift from the logo the About box shows.
#include <QCoreApplication>
#include <QDir>
#include <QImage>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 4) {
        std::fprintf(stderr, "usage: make-icons LOGO.xpm OUTDIR SIZE...\n");
        return 2;
    }
    const QImage logo(args.at(1));
    if (logo.isNull()) {
        std::fprintf(stderr, "make-icons: cannot read %s\n", qPrintable(args.at(1)));
        return 1;
    }
    const QDir out(args.at(2));
    if (!out.mkpath(QStringLiteral("."))) {
        std::fprintf(stderr, "make-icons: cannot create %s\n", qPrintable(args.at(2)));
        return 1;
    }
    for (qsizetype i = 3; i < args.size(); ++i) {
        bool ok = false;
        const int size = args.at(i).toInt(&ok);
        if (!ok || size <= 0) {
            std::fprintf(stderr, "make-icons: bad size %s\n", qPrintable(args.at(i)));
            return 2;
        }
        // The logo is pixel art: whole multiples keep its edges sharp, while smaller sizes
        // need the averaging of a smooth scale to stay legible.
        const Qt::TransformationMode mode
            = size % logo.width() == 0 ? Qt::FastTransformation : Qt::SmoothTransformation;
        const QImage icon = logo.convertToFormat(QImage::Format_ARGB32)
                                .scaled(size, size, Qt::IgnoreAspectRatio, mode);
        const QString path = out.filePath(QStringLiteral("%1.png").arg(size));
        if (!icon.save(path, "PNG")) {
            std::fprintf(stderr, "make-icons: cannot write %s\n", qPrintable(path));
            return 1;
        }
    }
    return 0;
}
