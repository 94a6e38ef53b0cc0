// The real window with a pseudo-terminal among its extra ports, driven as a
// user drives it: ports picked in the selector, values typed into the table,
// the log read line by line. The caller plays the device at the terminal's
// master end, or picks another port listed beside it (the simulator's).
#ifndef TESTS_SUPPORT_WINDOW_ON_PTY_H
#define TESTS_SUPPORT_WINDOW_ON_PTY_H

#include "tests/support/main_window_probe.h"
#include "tests/support/raw_pty.h"

#include <QString>
#include <QStringList>

#include <memory>

class WindowOnPty
{
public:
    enum Showing { Shown, Hidden };

    // The terminal is listed between the extra ports `before` and `after`. A
    // shown window is exposed before the constructor returns.
    explicit WindowOnPty(FailureHandler onFailure, const QStringList &before = {},
                         const QStringList &after = {}, Showing showing = Shown);
    WindowOnPty(const WindowOnPty &) = delete;
    WindowOnPty &operator=(const WindowOnPty &) = delete;

    WindowWidgets ui() const { return MainWindowProbe::ui(*window); }

    // Chooses entry `index` of the selector, whatever comes of it.
    void pick(int index) { ui().serialPortComboBox->setCurrentIndex(index); }
    // Chooses the port at `path`; false, after saying so, unless it opened.
    bool pickPort(const QString &path);
    bool pickPty() { return pickPort(pty.path()); }

    int logRows() const { return ui().logTableWidget->rowCount(); }
    QString logLine(int row) const;
    // The log lines from `first` on.
    QStringList logFrom(int first) const;
    QStringList log() const { return logFrom(0); }

    // The Value and Info cells of the configuration table.
    void setValue(const QString &rowName, const QString &text)
    {
        MainWindowProbe::valueItem(*window, rowName)->setText(text);
    }
    QString value(const QString &rowName) const
    {
        return MainWindowProbe::valueItem(*window, rowName)->text();
    }
    QString info(int row) const { return ui().tableWidget->item(row, 1)->text(); }

    RawPty pty;
    std::unique_ptr<MainWindow> window;

private:
    FailureHandler onFailure_;
};

// Gives the rows a value each that passes every check, so that Update is
// enabled once a port is chosen: the mandatory rows, and an account with its
// server and port. Rows such as the addressees stay empty, so that a test can
// give any of them any value.
void fillValidValues(MainWindow &window);

#endif // TESTS_SUPPORT_WINDOW_ON_PTY_H
