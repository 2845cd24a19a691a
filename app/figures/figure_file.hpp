#pragma once

#include <QByteArray>
#include <QImage>
#include <QSize>
#include <QString>
#include <QWidget>

// Lays `figure` out at `size` without showing it on a screen, so that it
// can be grabbed or rendered.
void lay_out_figure(QWidget* figure, QSize size);

// The figure as an image of `size` pixels.
QImage figure_image(QWidget* figure, QSize size);

// Writes `bytes` to `path` through a temporary file renamed into place, as
// every file of the programs is written (common/checked_file.hpp); a
// symbolic link or anything but a regular file at `path` is refused, never
// written through. False with `why`.
bool save_bytes(const QString& path, const QByteArray& bytes, QString& why);

// Writes the figure as BASE.png and BASE.svg (each by save_bytes); false
// with `why` when either could not be written.
bool save_figure(QWidget* figure, QSize size, const QString& base, QString& why);
