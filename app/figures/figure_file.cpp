#include "app/figures/figure_file.hpp"

#include <QApplication>
#include <QFile>
#include <QPainter>
#include <QSaveFile>
#include <QSvgGenerator>

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

bool save_figure(QWidget* figure, QSize size, const QString& base, QString& why)
{
    const QImage image = figure_image(figure, size);
    QSaveFile png(base + ".png");
    if (!png.open(QIODevice::WriteOnly) || !image.save(&png, "PNG") || !png.commit()) {
        why = QString("cannot write %1.png: %2").arg(base, png.errorString());
        return false;
    }
    QSaveFile svg(base + ".svg");
    if (!svg.open(QIODevice::WriteOnly)) {
        why = QString("cannot write %1.svg: %2").arg(base, svg.errorString());
        return false;
    }
    {
        QSvgGenerator generator;
        generator.setOutputDevice(&svg);
        generator.setSize(size);
        generator.setViewBox(QRect(QPoint(0, 0), size));
        generator.setTitle(base.section('/', -1));
        QPainter painter(&generator);
        figure->render(&painter);
    }
    if (!svg.commit()) {
        why = QString("cannot write %1.svg: %2").arg(base, svg.errorString());
        return false;
    }
    return true;
}
