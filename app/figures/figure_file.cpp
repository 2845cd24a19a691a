#include "app/figures/figure_file.hpp"

#include <QApplication>
#include <QBuffer>
#include <QFile>
#include <QPainter>
#include <QSvgGenerator>

#include "common/checked_file.hpp"

void lay_out_figure(QWidget* figure, QSize size)
{
    figure->setAttribute(Qt::WA_DontShowOnScreen, true);
    figure->resize(size);
    figure->show();
    QApplication::processEvents();
    figure->resize(size);
    QApplication::processEvents();
}

QImage figure_image(QWidget* figure, QSize size)
{
    lay_out_figure(figure, size);
    QImage image(size, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    figure->render(&painter);
    return image;
}

bool save_bytes(const QString& path, const QByteArray& bytes, QString& why)
{
    const std::string name = QFile::encodeName(path).toStdString();
    std::string failure;
    // Refused before anything is written: a link (QSaveFile would follow it
    // out of the folder), a FIFO, a device.
    if (check_destination(name, failure, link_rule::refuse)) {
        checked_file out;
        if (out.open(name, checked_file::placement::replacing)) {
            out.write(bytes.constData(), static_cast<std::size_t>(bytes.size()));
            out.close();
        }
        failure = out.error();
    }
    if (failure.empty()) return true;
    why = QString::fromStdString(failure);
    return false;
}

bool save_figure(QWidget* figure, QSize size, const QString& base, QString& why)
{
    const QImage image = figure_image(figure, size);
    QByteArray png;
    QBuffer png_buffer(&png);
    if (!png_buffer.open(QIODevice::WriteOnly) || !image.save(&png_buffer, "PNG")) {
        why = QString("cannot write %1.png: the image could not be encoded").arg(base);
        return false;
    }
    if (!save_bytes(base + ".png", png, why)) return false;
    QByteArray svg;
    QBuffer svg_buffer(&svg);
    svg_buffer.open(QIODevice::WriteOnly);
    {
        QSvgGenerator generator;
        generator.setOutputDevice(&svg_buffer);
        generator.setSize(size);
        generator.setViewBox(QRect(QPoint(0, 0), size));
        generator.setTitle(base.section('/', -1));
        QPainter painter(&generator);
        figure->render(&painter);
    }
    return save_bytes(base + ".svg", svg, why);
}
