#pragma once

// Whether what a window shows can be read: every text against what stands
// behind it at least 4.5:1, every icon at least 3:1 (relative luminance as
// the web's accessibility guidelines define it).
//
// A widget's text colour is the one its palette (a style sheet's colour
// included, once polished) paints its text with; what stands behind it is
// the most common pixel of the widget's own place in the window's grab. An
// icon's colour is its ink: of the pixels that stand out from the
// background, the one three quarters of the way up in contrast.

#include <gtest/gtest.h>

#include <QColor>
#include <QImage>
#include <QString>
#include <QStringList>
#include <QWidget>

#include <string>
#include <vector>

namespace vandrel::test_support {

inline constexpr double kTextContrast = 4.5;
inline constexpr double kIconContrast = 3.0;

double relativeLuminance(const QColor& color);
double contrastRatio(const QColor& a, const QColor& b);
// The most common colour, pixels counted in coarse bins.
QColor mostCommonColor(const QImage& image);
QColor inkColor(const QImage& image, const QColor& background);

struct ContrastReading {
  std::string widget;  // class, object name and text
  bool icon = false;
  QColor foreground;
  QColor background;
  double ratio = 0;
};

// Every visible text- or icon-bearing widget under `root` (root included):
// labels, buttons and line edits with text, labels with a picture, buttons
// with an icon and no text. Widgets whose object name is in `exempt` are
// left out (colours a design fixes elsewhere), as are labels in rich text
// (their colours are per run, not the palette's) and empty line edits.
std::vector<ContrastReading> readContrast(QWidget& root, const QStringList& exempt = {});

// Succeeds when every reading meets its bar; otherwise names every one that
// does not, with both colours.
::testing::AssertionResult everythingReadable(QWidget& root, const QStringList& exempt = {});

}  // namespace vandrel::test_support
