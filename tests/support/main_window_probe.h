// Test access to MainWindow's private state. MainWindow befriends this struct,
// so tests read the form and the exchange state and call the private
// operations through it instead of widening the class's interface.
#ifndef TESTS_SUPPORT_MAIN_WINDOW_PROBE_H
#define TESTS_SUPPORT_MAIN_WINDOW_PROBE_H

#include "app/mainwindow.h"

#include <QComboBox>
#include <QPushButton>
#include <QTableWidget>

#include <functional>
#include <utility>

// The window's widgets that tests drive, found by their object names in the
// form, as a user-level test sees them.
struct WindowWidgets {
    QTableWidget *tableWidget;
    QTableWidget *logTableWidget;
    QComboBox *serialPortComboBox;
    QPushButton *pingButton;
    QPushButton *queryButton;
    QPushButton *updateButton;
    QPushButton *uploadCertButton;
};

template <typename Widget> Widget *formWidget(const MainWindow &w, const char *name)
{
    auto *widget = w.findChild<Widget *>(QLatin1String(name));
    if (!widget)
        qFatal("the form has no widget %s", name);
    return widget;
}

struct MainWindowProbe {
    static WindowWidgets ui(const MainWindow &w)
    {
        return {formWidget<QTableWidget>(w, "tableWidget"),
                formWidget<QTableWidget>(w, "logTableWidget"),
                formWidget<QComboBox>(w, "serialPortComboBox"),
                formWidget<QPushButton>(w, "pingButton"),
                formWidget<QPushButton>(w, "queryButton"),
                formWidget<QPushButton>(w, "updateButton"),
                formWidget<QPushButton>(w, "uploadCertButton")};
    }

    static const QHash<QString, int> &rowIndexByName(MainWindow &w) { return w.rowIndexByName; }
    // The Value cell of the configuration row labelled `rowName`.
    static QTableWidgetItem *valueItem(MainWindow &w, const QString &rowName)
    {
        return ui(w).tableWidget->item(w.rowIndexByName.value(rowName, -1), 0);
    }
    static const QList<QSerialPortInfo> &portInfoList(MainWindow &w) { return w.portInfoList; }
    static QSerialPort *serialPort(MainWindow &w) { return w.serialPort; }

    static DeviceMessage &message(MainWindow &w) { return w.message; }
    static uint8_t *rxFrameBuffer(MainWindow &w) { return w.rxFrameBuffer; }
    static uint8_t *txFrameBuffer(MainWindow &w) { return w.txFrameBuffer; }
    static FrameCodec &rxCodec(MainWindow &w) { return w.rxCodec; }
    static FrameCodec &txCodec(MainWindow &w) { return w.txCodec; }
    static uint8_t *rxWire(MainWindow &w) { return w.rxWire; }
    static uint8_t *txWire(MainWindow &w) { return w.txWire; }
    static uint16_t &rxWireLen(MainWindow &w) { return w.rxWireLen; }
    static uint16_t &txWireLen(MainWindow &w) { return w.txWireLen; }

    static void appendLog(MainWindow &w, const QString &text) { w.appendLog(text); }
    static void appendHexDump(MainWindow &w, const QString &headerTemplate, const uint8_t *bytes,
                              uint16_t count, const QString &trailer = QString())
    {
        w.appendHexDump(headerTemplate, bytes, count, trailer);
    }
    static void buildConfig(MainWindow &w, DeviceMessage &message) { w.buildConfig(message); }
    static void showConfig(MainWindow &w, const DeviceMessage &message) { w.showConfig(message); }

    // Direct calls of the slots, as the port selection and the receive path make them.
    static void cellChanged(MainWindow &w, int row, int col)
    {
        w.on_tableWidget_cellChanged(row, col);
    }
    static void selectPort(MainWindow &w, int index)
    {
        w.on_serialPortComboBox_currentIndexChanged(index);
    }
    static void readyRead(MainWindow &w) { w.on_readyRead(); }

    // Answers the window's file dialogs in their place.
    static void answerFileDialogs(
        MainWindow &w,
        std::function<QString(const QString &title, const QString &filter, bool forSaving)> answer)
    {
        w.fileNameAsker = std::move(answer);
    }
};

using Probe = MainWindowProbe;

#endif // TESTS_SUPPORT_MAIN_WINDOW_PROBE_H
