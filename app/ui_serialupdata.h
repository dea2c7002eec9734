#pragma once

#include <QComboBox>
#include <QCoreApplication>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QMenuBar>
#include <QMetaObject>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>
#include <QStringList>
#include <QWidget>

// The window's form, written by hand in the shape the form compiler produces. It is not generated
// because retranslateUi has to refill the baud-rate list (and so select "9600" again) on every
// language switch; the form compiler would only rename the existing items.
class Ui_SerialUpdata
{
public:
    QWidget *centralwidget;
    QGroupBox *groupBox_Connect;
    QComboBox *comboBox_COM;
    QLabel *label;
    QLabel *label_2;
    QComboBox *comboBox_Bps;
    QPushButton *pBtn_open;
    QGroupBox *groupBox_Upgd;
    QLabel *label_9;
    QProgressBar *pgBar;
    QPlainTextEdit *txt_Message;
    QGroupBox *groupBox_file;
    QLabel *label_3;
    QPlainTextEdit *txt_Route;
    QPushButton *pBtn_glance;
    QLabel *label_4;
    QLabel *label_5;
    QLineEdit *lineEdit_Data;
    QLineEdit *lineEdit_Reeor;
    QPushButton *pBtn_UpGrade;
    QMenuBar *menubar;
    QStatusBar *statusbar;

    void setupUi(QMainWindow *SerialUpdata)
    {
        if (SerialUpdata->objectName().isEmpty())
            SerialUpdata->setObjectName(QString::fromUtf8("SerialUpdata"));
        SerialUpdata->resize(538, 632);

        centralwidget = new QWidget(SerialUpdata);
        centralwidget->setObjectName(QString::fromUtf8("centralwidget"));

        groupBox_Connect = new QGroupBox(centralwidget);
        groupBox_Connect->setObjectName(QString::fromUtf8("groupBox_Connect"));
        groupBox_Connect->setGeometry(QRect(20, 10, 501, 81));
        comboBox_COM = new QComboBox(groupBox_Connect);
        comboBox_COM->setObjectName(QString::fromUtf8("comboBox_COM"));
        comboBox_COM->setGeometry(QRect(30, 50, 111, 20));
        label = new QLabel(groupBox_Connect);
        label->setObjectName(QString::fromUtf8("label"));
        label->setGeometry(QRect(30, 21, 181, 21));
        label_2 = new QLabel(groupBox_Connect);
        label_2->setObjectName(QString::fromUtf8("label_2"));
        label_2->setGeometry(QRect(240, 21, 161, 21));
        comboBox_Bps = new QComboBox(groupBox_Connect);
        comboBox_Bps->setObjectName(QString::fromUtf8("comboBox_Bps"));
        comboBox_Bps->setGeometry(QRect(240, 50, 111, 20));
        pBtn_open = new QPushButton(groupBox_Connect);
        pBtn_open->setObjectName(QString::fromUtf8("pBtn_open"));
        pBtn_open->setGeometry(QRect(400, 50, 75, 23));

        groupBox_Upgd = new QGroupBox(centralwidget);
        groupBox_Upgd->setObjectName(QString::fromUtf8("groupBox_Upgd"));
        groupBox_Upgd->setGeometry(QRect(20, 260, 501, 321));
        label_9 = new QLabel(groupBox_Upgd);
        label_9->setObjectName(QString::fromUtf8("label_9"));
        label_9->setGeometry(QRect(30, 15, 441, 21));
        pgBar = new QProgressBar(groupBox_Upgd);
        pgBar->setObjectName(QString::fromUtf8("pgBar"));
        pgBar->setEnabled(false);
        pgBar->setGeometry(QRect(30, 40, 451, 23));
        pgBar->setValue(0);
        pgBar->setTextVisible(true);
        txt_Message = new QPlainTextEdit(groupBox_Upgd);
        txt_Message->setObjectName(QString::fromUtf8("txt_Message"));
        txt_Message->setEnabled(true);
        txt_Message->setGeometry(QRect(30, 80, 421, 211));
        txt_Message->setReadOnly(true);

        groupBox_file = new QGroupBox(centralwidget);
        groupBox_file->setObjectName(QString::fromUtf8("groupBox_file"));
        groupBox_file->setGeometry(QRect(20, 100, 501, 151));
        label_3 = new QLabel(groupBox_file);
        label_3->setObjectName(QString::fromUtf8("label_3"));
        label_3->setGeometry(QRect(30, 20, 161, 16));
        txt_Route = new QPlainTextEdit(groupBox_file);
        txt_Route->setObjectName(QString::fromUtf8("txt_Route"));
        txt_Route->setEnabled(false);
        txt_Route->setGeometry(QRect(30, 40, 351, 51));
        txt_Route->setAcceptDrops(true);
        txt_Route->setAutoFillBackground(true);
        txt_Route->setTabChangesFocus(false);
        pBtn_glance = new QPushButton(groupBox_file);
        pBtn_glance->setObjectName(QString::fromUtf8("pBtn_glance"));
        pBtn_glance->setGeometry(QRect(400, 50, 75, 23));
        label_4 = new QLabel(groupBox_file);
        label_4->setObjectName(QString::fromUtf8("label_4"));
        label_4->setGeometry(QRect(40, 100, 131, 16));
        label_5 = new QLabel(groupBox_file);
        label_5->setObjectName(QString::fromUtf8("label_5"));
        label_5->setGeometry(QRect(230, 100, 121, 16));
        lineEdit_Data = new QLineEdit(groupBox_file);
        lineEdit_Data->setObjectName(QString::fromUtf8("lineEdit_Data"));
        lineEdit_Data->setEnabled(false);
        lineEdit_Data->setGeometry(QRect(40, 120, 113, 20));
        lineEdit_Reeor = new QLineEdit(groupBox_file);
        lineEdit_Reeor->setObjectName(QString::fromUtf8("lineEdit_Reeor"));
        lineEdit_Reeor->setEnabled(false);
        lineEdit_Reeor->setGeometry(QRect(230, 120, 113, 20));
        pBtn_UpGrade = new QPushButton(groupBox_file);
        pBtn_UpGrade->setObjectName(QString::fromUtf8("pBtn_UpGrade"));
        pBtn_UpGrade->setGeometry(QRect(394, 120, 81, 23));

        SerialUpdata->setCentralWidget(centralwidget);
        menubar = new QMenuBar(SerialUpdata);
        menubar->setObjectName(QString::fromUtf8("menubar"));
        menubar->setGeometry(QRect(0, 0, 538, 23));
        SerialUpdata->setMenuBar(menubar);
        statusbar = new QStatusBar(SerialUpdata);
        statusbar->setObjectName(QString::fromUtf8("statusbar"));
        SerialUpdata->setStatusBar(statusbar);

        retranslateUi(SerialUpdata);

        QMetaObject::connectSlotsByName(SerialUpdata);
    }

    void retranslateUi(QMainWindow *SerialUpdata)
    {
        SerialUpdata->setWindowTitle(QCoreApplication::translate("SerialUpdata", "MainWindow"));
        groupBox_Connect->setTitle(QCoreApplication::translate("SerialUpdata", "连接信息"));
        label->setText(QCoreApplication::translate("SerialUpdata", "串口名称"));
        label_2->setText(QCoreApplication::translate("SerialUpdata", "波特率"));
        comboBox_Bps->clear();
        comboBox_Bps->insertItems(0, QStringList()
                                         << QCoreApplication::translate("SerialUpdata", "9600")
                                         << QCoreApplication::translate("SerialUpdata", "115200"));
        pBtn_open->setText(QCoreApplication::translate("SerialUpdata", "连接"));
        groupBox_Upgd->setTitle(QCoreApplication::translate("SerialUpdata", "升级信息"));
        label_9->setText(
            QCoreApplication::translate("SerialUpdata", "进度（升级期间请勿断开串口线）"));
        groupBox_file->setTitle(QCoreApplication::translate("SerialUpdata", "固件信息"));
        label_3->setText(QCoreApplication::translate("SerialUpdata", "固件路径"));
        pBtn_glance->setText(QCoreApplication::translate("SerialUpdata", "浏览"));
        label_4->setText(QCoreApplication::translate("SerialUpdata", "数据包"));
        label_5->setText(QCoreApplication::translate("SerialUpdata", "错误检测"));
        pBtn_UpGrade->setText(QCoreApplication::translate("SerialUpdata", "升级"));
    }
};

namespace Ui {
class SerialUpdata : public Ui_SerialUpdata
{
};
} // namespace Ui
