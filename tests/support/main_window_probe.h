// Test access to MainWindow's private state. MainWindow befriends this struct,
// so tests read the form and the exchange state and call the private
// operations through it instead of widening the class's interface.
#ifndef TESTS_SUPPORT_MAIN_WINDOW_PROBE_H
#define TESTS_SUPPORT_MAIN_WINDOW_PROBE_H

#include "app/mainwindow.h"
#include "ui_mainwindow.h"

struct MainWindowProbe {
    static Ui::MainWindow &ui(MainWindow &w) { return *w.ui; }

    static const QStringList &rowHeaderLabels(MainWindow &w) { return w.rowHeaderLabels; }
    static const QStringList &columnHeaderLabels(MainWindow &w) { return w.columnHeaderLabels; }
    static const QHash<QString, int> &rowIndexByName(MainWindow &w) { return w.rowIndexByName; }
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
    static QString checkEmailAddress(MainWindow &w, const QString &address)
    {
        return w.checkEmailAddress(address);
    }
    static QString checkServerName(MainWindow &w, const QString &name)
    {
        return w.checkServerName(name);
    }

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
    static void msgReady(MainWindow &w, int msgLen) { w.on_msgReady(msgLen); }
};

#endif // TESTS_SUPPORT_MAIN_WINDOW_PROBE_H
