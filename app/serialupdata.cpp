#include "serialupdata.h"
#include "ui_serialupdata.h"

#include "linklog.h"

#include <QAction>
#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QMenu>
#include <QMenuBar>
#include <QSerialPortInfo>
#include <QTranslator>

Q_LOGGING_CATEGORY(lcLink, "pelmar.link", QtInfoMsg)

SerialUpdata::SerialUpdata(QWidget *parent)
    : QMainWindow(parent), ui(new Ui_SerialUpdata), optionsMenu(nullptr), languageMenu(nullptr),
      menuBar(nullptr), actionChinese(nullptr), actionEnglish(nullptr), actionJapanese(nullptr),
      actionGerman(nullptr), translator(nullptr), serial(nullptr), deviceNameReceived(false),
      portErrorFlag(false), connectAttempts(1), linkEstablished(false)
{
    ui->setupUi(this);
    translator = new QTranslator;
    setWindowFlags(windowFlags() & ~Qt::WindowMaximizeButtonHint);

    const auto ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : ports)
        ui->comboBox_COM->addItem(info.portName());

    serial = new QSerialPort(this);

    QFile style(QStringLiteral(":/style.qss"));
    if (style.open(QIODevice::ReadOnly)) {
        QByteArray sheet = style.readAll();
        const int nul = sheet.indexOf('\0');
        if (nul >= 0)
            sheet.truncate(nul);
        setStyleSheet(QString::fromLatin1(sheet));
        style.close();
    } else {
        qCDebug(lcLink) << "Open failed";
    }

    ui->pBtn_UpGrade->setEnabled(false);
    ui->pBtn_glance->setEnabled(false);

    menuBar = new QMenuBar(this);
    // Without a parent the pop-ups stay out of the window's style sheet. Their texts, like every
    // translated text, come from the language set below.
    languageMenu = new QMenu;
    optionsMenu = new QMenu;
    menuBar->addMenu(optionsMenu);
    optionsMenu->addMenu(languageMenu);
    setMenuBar(menuBar);

    actionChinese = new QAction;
    actionEnglish = new QAction;
    actionGerman = new QAction;
    actionJapanese = new QAction;
    languageMenu->addAction(actionChinese);
    languageMenu->addAction(actionEnglish);
    languageMenu->addAction(actionGerman);
    languageMenu->addAction(actionJapanese);

    connect(actionChinese, SIGNAL(triggered()), this, SLOT(setChianse()));
    connect(actionEnglish, SIGNAL(triggered()), this, SLOT(setEnglish()));
    connect(actionGerman, SIGNAL(triggered()), this, SLOT(setGermany()));
    connect(actionJapanese, SIGNAL(triggered()), this, SLOT(setJapan()));

    setEnglish();
    setWindowTitle(QStringLiteral("Pelmar Firmware Update Tool"));
}

SerialUpdata::~SerialUpdata()
{
    // A window closed while connected lets its port go here.
    adapterLatency.restore(ports::descriptorOf(*serial));
    delete ui;
    // Ports created by a connect have no parent. Their signals are cut first so that a close
    // reported while the window is half destroyed cannot reach a slot.
    for (QSerialPort *port : qAsConst(retiredPorts)) {
        port->disconnect(this);
        delete port;
    }
    if (serial->parent() != this) {
        serial->disconnect(this);
        delete serial;
    }
    delete optionsMenu;
    delete languageMenu;
    delete actionChinese;
    delete actionEnglish;
    delete actionGerman;
    delete actionJapanese;
    delete translator;
}

void SerialUpdata::setChianse()
{
    QCoreApplication::removeTranslator(translator);
    applyTranslatedTexts(QStringLiteral("Pelmar固件升级工具"),
                         {tr("简体中文"), tr("English"), tr("Deutsche"), tr("日本語")});
}

void SerialUpdata::setEnglish()
{
    installCatalogue(QStringLiteral(":/Serial_English.qm"),
                     QStringLiteral("Pelmar Firmware Update Tool"));
}

void SerialUpdata::setGermany()
{
    installCatalogue(QStringLiteral(":/Serial_Germany.qm"),
                     QStringLiteral("Pelmar Firmware Update Tool"));
}

void SerialUpdata::setJapan()
{
    installCatalogue(QStringLiteral(":/Serial_Japan.qm"),
                     QStringLiteral("Pelmarファームウェア アップデート ツール"));
}

void SerialUpdata::installCatalogue(const QString &catalogue, const QString &title)
{
    translator->load(catalogue, QString(), QString(), QString());
    QCoreApplication::installTranslator(translator);
    applyTranslatedTexts(title, {tr("China"), tr("English"), tr("Germany"), tr("Japan")});
}

void SerialUpdata::applyTranslatedTexts(const QString &title, const LanguageNames &names)
{
    ui->retranslateUi(this);
    setWindowTitle(title);
    optionsMenu->setTitle(tr("选项"));
    languageMenu->setTitle(tr("语言"));
    actionChinese->setText(names.chinese);
    actionEnglish->setText(names.english);
    actionGerman->setText(names.german);
    actionJapanese->setText(names.japanese);
}

QString SerialUpdata::timeStamp()
{
    return QDateTime::currentDateTime().toString(QStringLiteral("yyyy.MM.dd hh:mm:ss"));
}

void SerialUpdata::appendLine(const QString &stampedText)
{
    ui->txt_Message->appendPlainText(stampedText);
}

void SerialUpdata::appendArrowLine(const QString &text)
{
    appendLine(timeStamp() + QLatin1String("->") + text);
}
