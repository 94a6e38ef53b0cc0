// The device's serial line: 115200 baud, 8 data bits, no parity, one stop
// bit, no flow control. The window and kestroctl set a port up through this
// one function.
#ifndef DEVICE_SERIAL_LINE_H
#define DEVICE_SERIAL_LINE_H

#include <QSerialPort>

// The line's rate, and the bits each byte takes on it (start, 8 data, stop).
constexpr qint32 kLineBaudRate = QSerialPort::Baud115200;
constexpr qint32 kLineBitsPerByte = 10;

// Sets the device's line settings on `port`; they take effect as it opens.
inline void applyLineSettings(QSerialPort &port)
{
    port.setBaudRate(kLineBaudRate, QSerialPort::AllDirections);
    port.setDataBits(QSerialPort::Data8);
    port.setParity(QSerialPort::NoParity);
    port.setStopBits(QSerialPort::OneStop);
    port.setFlowControl(QSerialPort::NoFlowControl);
}

#endif // DEVICE_SERIAL_LINE_H
