#ifndef APP_MAINWINDOW_H
#define APP_MAINWINDOW_H

#include "device/exchange_log.h"
#include "framing/frame_codec.h"
#include "protocol/device_message.h"

#include <QHash>
#include <QList>
#include <QMainWindow>
#include <QSerialPort>
#include <QSerialPortInfo>
#include <QString>
#include <QStringList>

#include <functional>

QT_BEGIN_NAMESPACE
namespace Ui {
class MainWindow;
}
QT_END_NAMESPACE
class ConfigCellDelegate;
class LogRemeasurer;
class QAction;
class QKeySequence;
class QPushButton;
class QTimer;

// Size of each wire buffer: as many bytes as a hex dump lists.
constexpr uint16_t WIRE_BUFFER_SIZE = kMostDumpedBytes;

// Where each log entry keeps the time it was added, in ms since the epoch.
constexpr int kLogTimeRole = Qt::UserRole;

// The tool's one window. It holds the whole state of a run: the form, the
// configuration table's row lookup, the serial port and the exchange with the
// device (one message record, two codec contexts and two wire buffers).
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

protected:
    void resizeEvent(QResizeEvent *event) override;
    // Asks before values typed and not sent go with the window.
    void closeEvent(QCloseEvent *event) override;

private slots:
    // The slot table is part of the window's contract: other code may look
    // the slots up by index through the meta-object, so these eight keep
    // their order, and new behaviour is connected by pointer to plain members.
    //
    // on_readyRead and on_msgReady carry the by-name prefix, yet nothing
    // connects them by name (setupUi finds no object of theirs and says so
    // once): the port does not exist when the form is set up and each pick
    // makes a new one, so on_readyRead is connected to it explicitly; and
    // on_msgReady answers no signal, the receive path calls it with the
    // frame's length. Their names belong to the slot table, so they stay.
    void on_serialPortComboBox_currentIndexChanged(int index);
    void on_pingButton_clicked();
    void on_queryButton_clicked();
    void on_updateButton_clicked();
    void on_readyRead();
    void on_msgReady(int msgLen);
    void on_tableWidget_cellChanged(int row, int col);
    void on_uploadCertButton_clicked();

private:
    void appendLog(QString text);
    void ensureLogColumn();
    void appendHexDump(const QString &headerTemplate, const uint8_t *bytes, uint16_t count,
                       const QString &trailer = QString());

    void setUpConfigTable();
    QStringList tableValues() const;
    void buildConfig(DeviceMessage &message);
    void showConfig(const DeviceMessage &message);

    void setUpUnsentMarks();
    void markUnsentRow(int row);
    void markUnsentRows();
    bool hasUnsentValues() const;
    void takeDeviceValues(const QStringList &values);
    void showDeviceConfig(const DeviceMessage &message);

    bool diagnoseEditedRow(int row);
    void applyAddresseeRule();
    void refreshUpdateButton();
    void revalidateAllRows();
    bool portIsChosen() const;
    QString info(int row) const;
    void setInfo(int row, const QString &text);

    bool sendMessage(const MessageKind &kind, uint16_t messageLength);
    bool writeFrame();
    void setUpAnswerWatch();

    void setUpPortSelector();
    void listPorts();
    QSerialPort *newPort(int index);
    bool openPort(QString &reason);
    void handlePortError(QSerialPort::SerialPortError error);
    static bool isLineFault(QSerialPort::SerialPortError error);
    static QString lineGoneWords(const QSerialPort &port);

    void setUpKeyboard();
    void addButtonShortcut(QPushButton *button, const char *name, const QKeySequence &keys,
                           const QString &what);
    void pressButton(QPushButton *button);
    void takeValueBeingEdited();
    void setUpPasswordMask();
    void setUpKeyboardHelp();
    void showCellHelp(bool evenWithoutDiagnosis);
    void openContextMenuByKey();

    void setUpFileActions();
    QAction *addWindowAction(const char *name, const QString &text, const QKeySequence &shortcut,
                             void (MainWindow::*run)());
    void setUpContextMenus();
    void openProfile();
    void openProfileFile(const QString &path);
    void saveProfile();
    QString profileProblem() const;
    void saveLog();
    QByteArray logFileText() const;
    void copyLogSelection();

    Ui::MainWindow *ui;
    QStringList rowHeaderLabels;
    QStringList columnHeaderLabels;
    QHash<QString, int> rowIndexByName;
    QList<QSerialPortInfo> portInfoList;
    QSerialPort *serialPort;

    DeviceMessage message;
    uint8_t rxFrameBuffer[FRAME_BUFFER_SIZE];
    uint8_t txFrameBuffer[FRAME_BUFFER_SIZE];
    FrameCodec rxCodec;
    FrameCodec txCodec;
    uint8_t rxWire[WIRE_BUFFER_SIZE];
    uint8_t txWire[WIRE_BUFFER_SIZE];
    uint16_t rxWireLen;
    uint16_t txWireLen;

    // Measures the log's rows again after a resize, a few at a time.
    LogRemeasurer *logRemeasurer;

    // The technician's files: profiles in and out, and the log saved.
    QAction *openProfileAction;
    QAction *saveProfileAction;
    QAction *saveLogAction;
    // Shows the configuration table's cells: passwords masked, diagnoses whole.
    ConfigCellDelegate *cellDelegate;
    // Asks for a file name with a file dialog; empty means Cancel. Tests
    // answer in its place.
    std::function<QString(const QString &title, const QString &filter, bool forSaving)>
        fileNameAsker;

    // Says once, 2 s after a send that no complete frame answered, that
    // nothing came back; the exchange stays open for a late answer.
    QTimer *noAnswerTimer;
    // The Value column as the device last reported it (or as the table started,
    // before any Query): a row that differs is marked as not sent.
    QStringList deviceValues;
    // The Value column when the last Config Query was sent, to tell what was
    // typed while its answer was on its way.
    QStringList valuesAtQuery;

    // Tests reach the exchange state and the form through this one door.
    friend struct MainWindowProbe;
};

#endif // APP_MAINWINDOW_H
