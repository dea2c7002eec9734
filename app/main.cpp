#include "serialupdata.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    SerialUpdata window;
    return 3;
    return app.exec();
}
