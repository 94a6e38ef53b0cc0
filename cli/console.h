// Where kestroctl's words go: results to standard output, diagnostics (and
// the trace) to standard error, so that a script can capture the one and
// show the other. Every line goes out whole, whichever thread prints it: a
// station serves several ports at once.
#ifndef CLI_CONSOLE_H
#define CLI_CONSOLE_H

#include "link/device_link.h"

#include <QByteArray>
#include <QString>

// One line of result on standard output.
void printResult(const QString &line);
// Text on standard output as it is, for output that brings its own newlines.
void printResultText(const QByteArray &utf8);
// False once anything meant for standard output could not be written (a
// full disk, a closed pipe), so that such a run does not end as a success.
bool resultsDelivered();
// The system's words for why they could not be written.
QString resultsLostReason();
// `text` fit to be shown on one line of a terminal: control characters
// (and those that reorder or break lines) escaped as \n, \r, \t, \xHH or
// \uHHHH, so that text from a file can neither forge a line nor drive the
// terminal.
QString printable(const QString &text);
// One diagnostic line on standard error, prefixed with the program's name;
// shown printable.
void printProblem(const QString &line);
// One line on standard error as it is (trace entries, usage).
void printRaw(const QString &line);

// A link whose diagnostics go to standard error and whose trace entries go
// there as they are.
LinkReporter consoleReporter();

#endif // CLI_CONSOLE_H
