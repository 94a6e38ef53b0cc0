#include "app/mainwindow.h"

#include <QApplication>
#include <QGuiApplication>

int main(int argc, char **argv)
{
    // Both high-DPI settings only take effect before the application object exists.
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling, true);
    QGuiApplication::setHighDpiScaleFactorRoundingPolicy(
        Qt::HighDpiScaleFactorRoundingPolicy::PassThrough);

    QApplication application(argc, argv);
    MainWindow window;
    window.show();
    const int status = application.exec();
    return status;
}
