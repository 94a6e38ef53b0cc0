#ifndef APP_LOG_REMEASURER_H
#define APP_LOG_REMEASURER_H

#include <QObject>

QT_BEGIN_NAMESPACE
class QTableWidget;
class QTimer;
QT_END_NAMESPACE

// Measures the activity log's rows again after its column changed width,
// without freezing the window: the rows in view and a screen's worth around
// them at once, the others in slices of about 10 ms on later event-loop turns,
// nearest the view first. While it works the view keeps its place: at the
// bottom if it was there, otherwise with the same entry at its top.
class LogRemeasurer : public QObject
{
    Q_OBJECT

public:
    // Lives as a child of the log it measures.
    explicit LogRemeasurer(QTableWidget *log);

    // Measures every row again for the log's current column width, dropping
    // the work still pending for an earlier width. Row heights depend only on
    // that width, so with the same width and nothing pending it does nothing.
    void remeasure();
    // True while rows remain to be measured.
    bool isBusy() const;

private:
    void measureAroundView();
    void measureSlice();
    void measureNext();
    void repaint();
    int measureRow(int row);
    bool touchesView(int upFrom, int downFrom) const;
    void keepView();
    int topValue();
    void onScrolled(int value);
    void noteView();

    QTableWidget *log_;
    QTimer *timer_;

    // The column width the rows are measured, or being measured, for.
    int width_ = -1;
    // Rows from end_ on were added after the work began and were measured as
    // they came. The work goes from up_ towards row 0 and from down_ towards
    // end_, one row on each side in turn.
    int end_ = 0;
    int up_ = -1;
    int down_ = 0;
    bool upNext_ = false;
    // Whether the next turn paints the log and is left to that.
    bool pause_ = false;

    // Where the user left the view: at the bottom, or with topOffset_ pixels
    // of topRow_ (then topHeight_ tall) scrolled out above it.
    bool atBottom_ = true;
    int topRow_ = -1;
    int topOffset_ = 0;
    int topHeight_ = 0;
    // The scroll value the scroll area last heard of, and whether the value
    // was moved since without telling it (see keepView).
    int announced_ = 0;
    bool outOfStep_ = false;
};

#endif // APP_LOG_REMEASURER_H
