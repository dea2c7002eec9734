#include "jobrun.h"
#include "options.h"
#include "plantreport.h"
#include "results.h"
#include "portlist.h"
#include "run.h"
#include "serve.h"
#include "shiftreport.h"
#include "shipper.h"
#include "station.h"

#include <QCoreApplication>
#include <QTextStream>

#include <csignal>
#include <cstdio>

namespace {

int runPlantCommand(const flash::Options &o)
{
    QTextStream out(stdout);
    QTextStream err(stderr);
    if (o.command == flash::Options::Command::InitDb)
        return flash::runInitDb(o.plant.target, out, err);
    if (!o.plant.target.isEmpty())
        return flash::runDatabaseReport(o.plant.target, o.plant.filter, o.json, out, err);
    return flash::runReport(o.reportFiles, o.json, out, err, o.plant.filter);
}

} // namespace

int main(int argc, char *argv[])
{
#ifdef SIGPIPE
    // A supervisor that stops reading our output must not kill us before the records are out.
    std::signal(SIGPIPE, SIG_IGN);
#endif
#ifdef SIGXFSZ
    // Over a file-size limit the record's write must fail and be undone, not kill us mid-line.
    std::signal(SIGXFSZ, SIG_IGN);
#endif
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("pelmar-flash"));
    QCoreApplication::setApplicationVersion(QStringLiteral(PELMAR_VERSION));

    const flash::ParsedOptions parsed = flash::parseOptions(QCoreApplication::arguments());
    if (!parsed.error.isEmpty()) {
        std::fprintf(stderr, "pelmar-flash: %s\nTry 'pelmar-flash --help'.\n",
                     parsed.error.toLocal8Bit().constData());
        return flash::kUsageStatus;
    }
    switch (parsed.options.command) {
    case flash::Options::Command::Help:
        std::fputs(flash::helpText().toLocal8Bit().constData(), stdout);
        return 0;
    case flash::Options::Command::Version:
        std::printf("pelmar-flash %s\n", PELMAR_VERSION);
        return 0;
    case flash::Options::Command::List:
        return flash::listPorts(parsed.options);
    case flash::Options::Command::Report:
    case flash::Options::Command::InitDb:
        return runPlantCommand(parsed.options);
    case flash::Options::Command::Ship:
        return flash::runShip({parsed.options.plant.shipFiles, parsed.options.plant.target,
                               parsed.options.plant.stationName, parsed.options.json});
    case flash::Options::Command::Serve:
        return flash::runServe(parsed.options.serve);
    case flash::Options::Command::Job:
        return flash::runJob(parsed.options);
    case flash::Options::Command::WriteJob:
        return flash::runWriteJob(parsed.options);
    case flash::Options::Command::Identify:
    case flash::Options::Command::Update:
        break;
    }
    if (parsed.options.station)
        return flash::runStation(parsed.options);
    return flash::runDevices(parsed.options);
}
