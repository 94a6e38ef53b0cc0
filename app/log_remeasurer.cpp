#include "app/log_remeasurer.h"

#include <QElapsedTimer>
#include <QHeaderView>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QTableWidget>
#include <QTimer>

namespace {

// How long one event-loop turn measures rows, give or take a row.
constexpr qint64 kSliceMs = 10;

// Rows are resized with the row header's updates off and its signals blocked.
// Otherwise every resized row costs a walk over all rows (the header works out
// where the row now sits on screen) and, above the view, a repaint of the whole
// view; keepView brings the view up to date once per turn instead.
class QuietRows
{
public:
    explicit QuietRows(QHeaderView *rows) : rows_(rows), blocker_(rows)
    {
        rows_->setUpdatesEnabled(false);
    }
    ~QuietRows() { rows_->setUpdatesEnabled(true); }
    QuietRows(const QuietRows &) = delete;
    QuietRows &operator=(const QuietRows &) = delete;

private:
    QHeaderView *rows_;
    QSignalBlocker blocker_;
};

} // namespace

LogRemeasurer::LogRemeasurer(QTableWidget *log)
    : QObject(log), log_(log), timer_(new QTimer(this)),
      announced_(log->verticalScrollBar()->value())
{
    timer_->setSingleShot(true);
    timer_->setInterval(0);
    connect(timer_, &QTimer::timeout, this, &LogRemeasurer::measureSlice);
    connect(log->verticalScrollBar(), &QScrollBar::valueChanged, this, &LogRemeasurer::onScrolled);
}

void LogRemeasurer::remeasure()
{
    const int width = log_->horizontalHeader()->defaultSectionSize();
    if (width == width_ && !isBusy())
        return;
    width_ = width;
    end_ = log_->rowCount();
    const bool fromTop = !atBottom_ && topRow_ >= 0 && topRow_ < end_;
    down_ = fromTop ? topRow_ : qMax(0, end_ - 1);
    up_ = down_ - 1;
    upNext_ = true;
    measureAroundView();
    if (isBusy())
        timer_->start();
}

bool LogRemeasurer::isBusy() const
{
    return up_ >= 0 || down_ < end_;
}

// The rows in view, a screen's worth beyond them and, when the view is not at
// the bottom, a screen's worth above them.
void LogRemeasurer::measureAroundView()
{
    const int screen = log_->viewport()->height();
    {
        QuietRows quiet(log_->verticalHeader());
        // The first row measured is the one the view is kept at.
        for (int below = 0; down_ < end_ && below < topOffset_ + 2 * screen;)
            below += measureRow(down_++);
        const int wanted = atBottom_ ? 2 * screen : screen;
        for (int above = 0; up_ >= 0 && above < wanted;)
            above += measureRow(up_--);
    }
    keepView();
    repaint();
}

void LogRemeasurer::measureSlice()
{
    // The turn that paints what was just measured has enough to do already.
    if (pause_) {
        pause_ = false;
        timer_->start();
        return;
    }
    // The tool never removes entries, but rows gone are not measured.
    end_ = qMin(end_, log_->rowCount());
    up_ = qMin(up_, end_ - 1);
    const int upFrom = up_;
    const int downFrom = down_;
    QElapsedTimer clock;
    clock.start();
    {
        QuietRows quiet(log_->verticalHeader());
        while (isBusy() && clock.elapsed() < kSliceMs)
            measureNext();
    }
    keepView();
    if (touchesView(upFrom, downFrom))
        repaint();
    if (isBusy())
        timer_->start();
}

void LogRemeasurer::measureNext()
{
    const bool up = up_ >= 0 && (upNext_ || down_ >= end_);
    measureRow(up ? up_-- : down_++);
    upNext_ = !up;
}

void LogRemeasurer::repaint()
{
    log_->viewport()->update();
    pause_ = true;
}

int LogRemeasurer::measureRow(int row)
{
    log_->resizeRowToContents(row);
    return log_->rowHeight(row);
}

// Whether rows measured since upFrom and downFrom are in view, which only
// happens when the user scrolled to rows not yet measured.
bool LogRemeasurer::touchesView(int upFrom, int downFrom) const
{
    QHeaderView *rows = log_->verticalHeader();
    const int first = rows->logicalIndexAt(0);
    if (first < 0)
        return false;
    int last = rows->logicalIndexAt(log_->viewport()->height() - 1);
    if (last < 0)
        last = log_->rowCount() - 1;
    const auto inView = [first, last](int from, int to) {
        return from <= to && from <= last && to >= first;
    };
    return inView(up_ + 1, upFrom) || inView(downFrom, down_ - 1);
}

// Puts the view back where the user left it. The entries in view look as they
// did, only their distance from the top of the log changed, so the picture on
// screen is still right: the scroll area would move it by that change and
// paint it again, which costs more than measuring. The value is therefore
// moved behind the scroll area's back; the next scroll it does see starts
// from a picture it did not expect, and onScrolled has that one painted anew.
void LogRemeasurer::keepView()
{
    QScrollBar *bar = log_->verticalScrollBar();
    {
        const QSignalBlocker quiet(bar);
        // Sets the scroll range from the new row heights (a protected slot).
        QMetaObject::invokeMethod(log_, "updateGeometries");
        bar->setValue(atBottom_ ? bar->maximum() : topValue());
    }
    log_->verticalHeader()->setOffset(bar->value());
    outOfStep_ = bar->value() != announced_;
}

int LogRemeasurer::topValue()
{
    QHeaderView *rows = log_->verticalHeader();
    if (topRow_ < 0 || topRow_ >= rows->count())
        return log_->verticalScrollBar()->value();
    // A tall entry keeps the same share of itself above the view.
    const int height = rows->sectionSize(topRow_);
    if (topHeight_ > 0 && height != topHeight_)
        topOffset_ = int(qint64(topOffset_) * height / topHeight_);
    topHeight_ = height;
    return rows->sectionPosition(topRow_) + topOffset_;
}

void LogRemeasurer::onScrolled(int value)
{
    // After a quiet move the scroll area shifted the picture by the wrong
    // distance, so all of it is painted anew.
    if (outOfStep_)
        log_->viewport()->update();
    outOfStep_ = false;
    announced_ = value;
    noteView();
}

void LogRemeasurer::noteView()
{
    QScrollBar *bar = log_->verticalScrollBar();
    QHeaderView *rows = log_->verticalHeader();
    topRow_ = rows->logicalIndexAt(0);
    atBottom_ = topRow_ < 0 || bar->value() >= bar->maximum();
    topOffset_ = 0;
    topHeight_ = 0;
    if (topRow_ >= 0) {
        topOffset_ = -rows->sectionViewportPosition(topRow_);
        topHeight_ = rows->sectionSize(topRow_);
    }
}
