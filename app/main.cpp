#include "serialupdata.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    SerialUpdata window;
    window.show();
    return app.exec();
}
