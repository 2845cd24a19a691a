#pragma once

#include <QImage>
#include <QSize>
#include <QString>
#include <QWidget>

// Lays `figure` out at `size` without showing it on a screen, so that it
// can be grabbed or rendered.
void lay_out_figure(QWidget* figure, QSize size);

// The figure as an image of `size` pixels.
QImage figure_image(QWidget* figure, QSize size);

// Writes the figure as BASE.png and BASE.svg (each through a temporary file
// renamed into place); false with `why` when either could not be written.
bool save_figure(QWidget* figure, QSize size, const QString& base, QString& why);
