#include "tests/app/contrast.h"

#include <QAbstractButton>
#include <QCoreApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QTextDocument>

#include <algorithm>
#include <cmath>
#include <map>
#include <optional>
#include <sstream>

namespace vandrel::test_support {
namespace {

double channel(double value) {
  return value <= 0.04045 ? value / 12.92 : std::pow((value + 0.055) / 1.055, 2.4);
}

// A colour with some transparency as it shows over `behind`.
QColor over(const QColor& color, const QColor& behind) {
  const double a = color.alphaF();
  auto mix = [a](double top, double bottom) { return top * a + bottom * (1.0 - a); };
  return QColor::fromRgbF(static_cast<float>(mix(color.redF(), behind.redF())),
                          static_cast<float>(mix(color.greenF(), behind.greenF())),
                          static_cast<float>(mix(color.blueF(), behind.blueF())));
}

std::string describe(const QWidget& widget, const QString& text) {
  std::ostringstream out;
  out << widget.metaObject()->className();
  if (!widget.objectName().isEmpty()) out << " " << widget.objectName().toStdString();
  if (!text.isEmpty()) out << " \"" << text.toStdString() << "\"";
  return out.str();
}

std::string hex(const QColor& color) { return color.name().toStdString(); }

// What the widget shows: its text and the role it paints it with, or its
// picture. Nothing for widgets that show neither.
struct Shown {
  QString text;
  QPalette::ColorRole role = QPalette::NoRole;
  bool icon = false;
};

std::optional<Shown> shownBy(const QWidget& widget) {
  if (const auto* label = qobject_cast<const QLabel*>(&widget)) {
    if (!label->pixmap().isNull()) return Shown{{}, QPalette::NoRole, true};
    if (label->text().isEmpty()) return std::nullopt;
    const bool rich = label->textFormat() == Qt::RichText ||
                      (label->textFormat() == Qt::AutoText && Qt::mightBeRichText(label->text()));
    if (rich) return std::nullopt;
    return Shown{label->text(), label->foregroundRole(), false};
  }
  if (const auto* button = qobject_cast<const QAbstractButton*>(&widget)) {
    if (button->text().isEmpty()) {
      if (button->icon().isNull()) return std::nullopt;
      return Shown{{}, QPalette::NoRole, true};
    }
    // Check boxes and radio buttons write their title on the window, push
    // and tool buttons on their face.
    const bool onWindow = qobject_cast<const QCheckBox*>(button) != nullptr ||
                          qobject_cast<const QRadioButton*>(button) != nullptr;
    return Shown{button->text(), onWindow ? QPalette::WindowText : QPalette::ButtonText, false};
  }
  if (const auto* field = qobject_cast<const QLineEdit*>(&widget)) {
    if (field->text().isEmpty()) return std::nullopt;
    return Shown{field->text(), QPalette::Text, false};
  }
  return std::nullopt;
}

}  // namespace

double relativeLuminance(const QColor& color) {
  return 0.2126 * channel(color.redF()) + 0.7152 * channel(color.greenF()) +
         0.0722 * channel(color.blueF());
}

double contrastRatio(const QColor& a, const QColor& b) {
  const double la = relativeLuminance(a);
  const double lb = relativeLuminance(b);
  return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

QColor mostCommonColor(const QImage& image) {
  // Pixels are counted in coarse bins, 16 steps a channel: a face painted
  // as a gentle gradient is one colour to the eye, and must be one here
  // rather than lose to its outline. A bin reads as the mean of its pixels.
  struct Bin {
    long count = 0;
    long red = 0, green = 0, blue = 0;
  };
  const QImage pixels = image.convertToFormat(QImage::Format_RGB32);
  std::map<int, Bin> bins;
  for (int y = 0; y < pixels.height(); ++y) {
    const auto* line = reinterpret_cast<const QRgb*>(pixels.constScanLine(y));
    for (int x = 0; x < pixels.width(); ++x) {
      const QRgb rgb = line[x];
      Bin& bin = bins[(qRed(rgb) >> 4) << 8 | (qGreen(rgb) >> 4) << 4 | (qBlue(rgb) >> 4)];
      ++bin.count;
      bin.red += qRed(rgb);
      bin.green += qGreen(rgb);
      bin.blue += qBlue(rgb);
    }
  }
  QColor best;
  long bestCount = 0;
  for (const auto& [key, bin] : bins) {
    const QColor mean(static_cast<int>(bin.red / bin.count), static_cast<int>(bin.green / bin.count),
                      static_cast<int>(bin.blue / bin.count));
    if (bin.count > bestCount) {
      best = mean;
      bestCount = bin.count;
    }
  }
  return best;
}

QColor inkColor(const QImage& image, const QColor& background) {
  const QImage pixels = image.convertToFormat(QImage::Format_RGB32);
  std::vector<std::pair<double, QRgb>> ink;
  for (int y = 0; y < pixels.height(); ++y) {
    const auto* line = reinterpret_cast<const QRgb*>(pixels.constScanLine(y));
    for (int x = 0; x < pixels.width(); ++x) {
      const double ratio = contrastRatio(QColor(line[x]), background);
      if (ratio > 1.1) ink.emplace_back(ratio, line[x]);
    }
  }
  if (ink.empty()) return background;
  // Three quarters in: past the soft edges of thin strokes, short of a few
  // odd pixels.
  const auto at = ink.begin() + static_cast<std::ptrdiff_t>(ink.size() * 3 / 4);
  std::nth_element(ink.begin(), at, ink.end());
  return QColor(at->second);
}

std::vector<ContrastReading> readContrast(QWidget& root, const QStringList& exempt) {
  // Children added to a shown window show once its layout has run.
  QCoreApplication::processEvents();
  root.ensurePolished();
  // What stands behind a widget is what the window paints there: the
  // parent's face as much as the widget's own.
  const QImage window = root.grab().toImage();
  const qreal scale = window.devicePixelRatio();
  QList<QWidget*> widgets = root.findChildren<QWidget*>();
  widgets.prepend(&root);
  std::vector<ContrastReading> readings;
  for (QWidget* widget : widgets) {
    if (!widget->isVisible() || widget->width() <= 0 || widget->height() <= 0) continue;
    if (exempt.contains(widget->objectName())) continue;
    widget->ensurePolished();
    const std::optional<Shown> shown = shownBy(*widget);
    if (!shown) continue;
    const QPoint at = widget->mapTo(&root, QPoint(0, 0));
    const QRect area = QRect(at * scale, widget->size() * scale).intersected(window.rect());
    if (area.isEmpty()) continue;
    const QImage image = window.copy(area);

    ContrastReading reading;
    reading.widget = describe(*widget, shown->text);
    reading.icon = shown->icon;
    reading.background = mostCommonColor(image);
    if (shown->icon) {
      reading.foreground = inkColor(image, reading.background);
    } else {
      reading.foreground = over(widget->palette().color(shown->role), reading.background);
    }
    reading.ratio = contrastRatio(reading.foreground, reading.background);
    readings.push_back(reading);
  }
  return readings;
}

::testing::AssertionResult everythingReadable(QWidget& root, const QStringList& exempt) {
  const std::vector<ContrastReading> readings = readContrast(root, exempt);
  std::ostringstream failures;
  int failed = 0;
  for (const ContrastReading& r : readings) {
    const double bar = r.icon ? kIconContrast : kTextContrast;
    if (r.ratio >= bar) continue;
    ++failed;
    failures << "\n  " << (r.icon ? "icon " : "text ") << r.widget << ": " << hex(r.foreground)
             << " on " << hex(r.background) << " is " << r.ratio << ":1, needs " << bar << ":1";
  }
  if (readings.empty()) return ::testing::AssertionFailure() << "nothing to read in the window";
  if (failed == 0) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << failed << " of " << readings.size()
                                       << " cannot be read well enough:" << failures.str();
}

}  // namespace vandrel::test_support
