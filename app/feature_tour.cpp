#include "app/feature_tour.h"

#include <QLabel>
#include <QPropertyAnimation>
#include <QScrollBar>
#include <QString>

#include <cmath>
#include <string>

#include "app/images.h"
#include "platform/defaults.h"

namespace vandrel::app {

namespace {

constexpr Qt::WindowFlags kTitleBarButtons =
    Qt::WindowCloseButtonHint | Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint;

// The title bar itself goes while the tour shows. X11 window managers get
// the buttons only as the Motif hints' functions, which several (openbox
// among them) ignore for the buttons they draw; every one of them honours
// a request for no title bar, and with it no buttons.
constexpr Qt::WindowFlags kTitleBar = Qt::WindowTitleHint | Qt::WindowSystemMenuHint;
constexpr Qt::WindowFlags kTitleBarHints = Qt::CustomizeWindowHint | kTitleBar;

constexpr int kArrowButtonSize = 36;
constexpr int kConfirmWidth = 140;
constexpr int kConfirmHeight = 36;
constexpr int kConfirmBottomMargin = 24;
constexpr int kSideMargin = 12;

QPushButton* makeButton(const QString& title, QWidget* parent) {
  auto* button = new QPushButton(title, parent);
  button->setCursor(Qt::PointingHandCursor);
  button->setFocusPolicy(Qt::NoFocus);
  return button;
}

}  // namespace

FeatureView::FeatureView(QWidget* parent, platform::Scheduler& scheduler)
    : QWidget(parent), scheduler_(scheduler) {
  setAutoFillBackground(true);
  scrollView_ = new QScrollArea(this);
  scrollView_->setFrameShape(QFrame::NoFrame);
  scrollView_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  scrollView_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  scrollView_->setWidgetResizable(false);
  buildPages();

  previousButton_ = makeButton(QStringLiteral("‹"), this);
  nextButton_ = makeButton(QStringLiteral("›"), this);
  confirmButton_ = makeButton(QStringLiteral("Get Started"), this);
  connect(previousButton_, &QPushButton::clicked, this, &FeatureView::onPreButtonClick);
  connect(nextButton_, &QPushButton::clicked, this, &FeatureView::onNextButtonClick);
  connect(confirmButton_, &QPushButton::clicked, this, &FeatureView::onConfirmClick);

  scrollAnimation_ = new QPropertyAnimation(scrollView_->horizontalScrollBar(), "value", this);
  scrollAnimation_->setDuration(static_cast<int>(kScrollDuration.count()));
}

FeatureView::~FeatureView() { stopTimer(); }

FeatureView* FeatureView::showIfFirstRun(QWidget* mainView, platform::Defaults& defaults,
                                         platform::Scheduler& scheduler) {
  if (defaults.getBool(kStaticHadShowFeatureKey).value_or(false)) return nullptr;
  auto* tour = new FeatureView(mainView, scheduler);
  tour->hideTitleBarButtons();
  tour->setGeometry(mainView->rect());
  tour->raise();
  tour->show();
  defaults.set(kStaticHadShowFeatureKey, true);
  return tour;
}

void FeatureView::buildPages() {
  pages_ = new QWidget;
  for (int i = 0; i < kPageCount; ++i) {
    auto* page = new QLabel(pages_);
    const std::string name = "fearture-" + std::to_string(i + 1);
    page->setPixmap(appImage(name));
    page->setScaledContents(true);
  }
  scrollView_->setWidget(pages_);
}

void FeatureView::layoutPages() {
  const int w = width();
  const int h = height();
  scrollView_->setGeometry(rect());
  pages_->resize(kPageCount * w, h);
  const auto labels = pages_->findChildren<QLabel*>(QString(), Qt::FindDirectChildrenOnly);
  for (int i = 0; i < labels.size(); ++i) labels[i]->setGeometry(w * i, 0, w, h);

  const int arrowY = (h - kArrowButtonSize) / 2;
  previousButton_->setGeometry(kSideMargin, arrowY, kArrowButtonSize, kArrowButtonSize);
  nextButton_->setGeometry(w - kSideMargin - kArrowButtonSize, arrowY, kArrowButtonSize,
                           kArrowButtonSize);
  confirmButton_->setGeometry((w - kConfirmWidth) / 2, h - kConfirmBottomMargin - kConfirmHeight,
                              kConfirmWidth, kConfirmHeight);
}

void FeatureView::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  layoutPages();
  // A new size keeps the page shown: the pages moved under the view.
  scrollAnimation_->stop();
  scrollView_->horizontalScrollBar()->setValue(scrollTarget());
}

void FeatureView::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (!isTimerRunning()) startTimer();
}

int FeatureView::scrollTarget() const {
  // The width is truncated to whole points, as the pages are laid out.
  return currentIndex_ * static_cast<int>(std::trunc(static_cast<double>(scrollView_->width())));
}

void FeatureView::startTimer() {
  stopTimer();
  if (closed_) return;
  QPointer<FeatureView> self(this);
  timer_ = std::make_unique<platform::TimerSource>(
      platform::mainQueue(), kAdvanceInterval,
      [self] {
        if (self) self->advance();
      },
      scheduler_);
  timer_->start();
}

void FeatureView::stopTimer() {
  if (timer_) timer_->cancel();
  timer_.reset();
}

void FeatureView::advance() {
  currentIndex_ = (currentIndex_ + 1) % kPageCount;
  scrollToCurrentPage();
}

void FeatureView::nextPage() {
  stopTimer();
  advance();
}

void FeatureView::previousPage() {
  stopTimer();
  currentIndex_ = (currentIndex_ + kPageCount - 1) % kPageCount;
  scrollToCurrentPage();
}

void FeatureView::scrollToCurrentPage() {
  scrollAnimation_->stop();
  scrollAnimation_->setStartValue(scrollView_->horizontalScrollBar()->value());
  scrollAnimation_->setEndValue(scrollTarget());
  scrollAnimation_->start();
  // Each check is on its own: the earliest one finding no timer starts it.
  QPointer<FeatureView> self(this);
  scheduler_.schedule(kScrollDuration + kAdvanceInterval, platform::mainQueue(), [self] {
    if (self && !self->isTimerRunning()) self->startTimer();
  });
}

void FeatureView::hideTitleBarButtons() {
  QWidget* window = this->window();
  if (window == this) return;
  titleBarWindow_ = window;
  savedWindowFlags_ = window->windowFlags();
  const bool shown = window->isVisible();
  window->setWindowFlags((window->windowFlags() | Qt::CustomizeWindowHint) &
                        ~(kTitleBarButtons | kTitleBar));
  // New flags take the window off the screen.
  if (shown) window->show();
}

void FeatureView::closeTour() {
  if (titleBarWindow_ && savedWindowFlags_) {
    const bool shown = titleBarWindow_->isVisible();
    // Only the title-bar hints go back: other flags may have changed since.
    const Qt::WindowFlags hints = kTitleBarButtons | kTitleBarHints;
    titleBarWindow_->setWindowFlags((titleBarWindow_->windowFlags() & ~hints) |
                                    (*savedWindowFlags_ & hints));
    if (shown) titleBarWindow_->show();
  }
  savedWindowFlags_.reset();
  closed_ = true;
  stopTimer();
  hide();
  setParent(nullptr);
  deleteLater();
}

void FeatureView::onPreButtonClick() { previousPage(); }
void FeatureView::onNextButtonClick() { nextPage(); }
void FeatureView::onConfirmClick() { closeTour(); }

}  // namespace vandrel::app
