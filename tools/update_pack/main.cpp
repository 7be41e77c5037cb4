// update-pack: the publisher's command line. Reads the options into a PackRequest and runs it, or
// makes a key pair ("update-pack keygen").
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDate>
#include <QFile>

#include <cstdio>

#include "release_keys.h"
#include "update_pack.h"

namespace {

constexpr char kDateFormat[] = "yyyy.MM.dd";
constexpr char kKeygenCommand[] = "keygen";

int Usage(const QString& text) {
    std::fputs(QStringLiteral("update-pack: error: %1 (see --help)\n").arg(text).toLocal8Bit().constData(), stderr);
    return 1;
}

// update-pack keygen --output DIR
int Keygen(const QCoreApplication& app) {
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Makes the publisher's key pair for signed releases: DIR/release.key, the secret key (readable\n"
        "by its owner only; keep it off the download server and out of version control), and\n"
        "DIR/release.pub, the public key to build the updater with. Never overwrites a key."));
    parser.addHelpOption();
    const QCommandLineOption output(QStringLiteral("output"), QStringLiteral("Folder for the key pair (required)."),
                                    QStringLiteral("DIR"));
    parser.addOption(output);
    parser.addPositionalArgument(QStringLiteral("keygen"), QStringLiteral("Make a key pair."));
    parser.process(app);
    if (parser.positionalArguments().size() != 1) return Usage(QStringLiteral("keygen takes no other argument"));
    if (parser.value(output).isEmpty()) return Usage(QStringLiteral("--output is required"));
    return RunKeygen(parser.value(output));
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("update-pack"));
    if (argc > 1 && qstrcmp(argv[1], kKeygenCommand) == 0) return Keygen(app);

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Packs the install tree of a new version for the updater: one zip archive per file at\n"
        "<output>/<path>.zip and the manifest <output>/update.json naming each archive, the MD5 of\n"
        "its file and its download URL (base URL + path). Serve the output folder at the base URL.\n"
        "\n"
        "The updater installs only files whose name contains a dot and that are neither hidden nor\n"
        "inside a hidden folder. Such files, symbolic links and other special files are listed and\n"
        "the run is refused, with nothing written, unless --skip-unsupported leaves them out of the\n"
        "release. Symbolic links are never followed.\n"
        "\n"
        "Everything is built in a hidden folder beside the output and moved into place at the end.\n"
        "\n"
        "With --sign-key, update.json.sig beside update.json holds the signature of update.json, and\n"
        "an updater built with the matching public key installs the release; see \"update-pack keygen\n"
        "--help\" for making the key pair."));
    parser.addHelpOption();
    const QCommandLineOption version(QStringLiteral("version"), QStringLiteral("Version of the release (required)."),
                                     QStringLiteral("V"));
    const QCommandLineOption description(QStringLiteral("description"),
                                         QStringLiteral("Change log shown by the updater; simple HTML such as <br>."),
                                         QStringLiteral("TEXT"));
    const QCommandLineOption descriptionFile(QStringLiteral("description-file"),
                                             QStringLiteral("Read the change log from a UTF-8 file instead."),
                                             QStringLiteral("PATH"));
    const QCommandLineOption date(QStringLiteral("date"),
                                  QStringLiteral("Release date, yyyy.MM.dd (default: today)."), QStringLiteral("D"));
    const QCommandLineOption baseUrl(QStringLiteral("base-url"),
                                     QStringLiteral("http:// or https:// URL the output folder is served from (required)."),
                                     QStringLiteral("URL"));
    const QCommandLineOption output(QStringLiteral("output"),
                                    QStringLiteral("Folder to create with the release (required)."), QStringLiteral("DIR"));
    const QCommandLineOption replace(QStringLiteral("replace"),
                                     QStringLiteral("Replace a non-empty output folder, once the new release is complete."));
    const QCommandLineOption serviceAnswer(
        QStringLiteral("service-answer"),
        QStringLiteral("Also write the version-check service's answer announcing this release."), QStringLiteral("PATH"));
    const QCommandLineOption force(QStringLiteral("force"),
                                   QStringLiteral("In the service answer, make the update forced."));
    const QCommandLineOption skipUnsupported(
        QStringLiteral("skip-unsupported"),
        QStringLiteral("Leave out files the updater cannot install (and symbolic links) instead of refusing."));
    const QCommandLineOption signKey(QStringLiteral("sign-key"),
                                     QStringLiteral("Sign update.json with this secret key (release.key of keygen)."),
                                     QStringLiteral("FILE"));
    const QCommandLineOption patchFrom(
        QStringLiteral("patch-from"),
        QStringLiteral("Install root of an older version (repeatable): each changed file gets a patch against it "
                       "beside its archive, listed in update.json when under 60 % of the archive."),
        QStringLiteral("TREE"));
    const QCommandLineOption quiet(QStringLiteral("quiet"), QStringLiteral("No progress and no summary."));
    parser.addOptions({version, description, descriptionFile, date, baseUrl, output, replace, serviceAnswer, force,
                       skipUnsupported, signKey, patchFrom, quiet});
    parser.addPositionalArgument(QStringLiteral("tree"), QStringLiteral("Install root of the new version."));
    parser.process(app);

    PackRequest request;
    const QStringList positional = parser.positionalArguments();
    if (positional.size() != 1) return Usage(QStringLiteral("give exactly one release tree"));
    request.tree = positional.first();
    for (const QCommandLineOption* required : {&version, &baseUrl, &output}) {
        if (parser.value(*required).isEmpty()) {
            return Usage(QStringLiteral("--%1 is required").arg(required->names().first()));
        }
    }
    request.version = parser.value(version);
    request.baseUrl = parser.value(baseUrl);
    request.output = parser.value(output);

    if (parser.isSet(description) && parser.isSet(descriptionFile)) {
        return Usage(QStringLiteral("give --description or --description-file, not both"));
    }
    if (parser.isSet(descriptionFile)) {
        QFile file(parser.value(descriptionFile));
        if (!file.open(QIODevice::ReadOnly)) {
            return Usage(QStringLiteral("cannot read %1: %2").arg(file.fileName(), file.errorString()));
        }
        // Editors end files with a line break that is no part of the change log.
        request.description = QString::fromUtf8(file.readAll());
        while (request.description.endsWith(QLatin1Char('\n')) || request.description.endsWith(QLatin1Char('\r'))) {
            request.description.chop(1);
        }
    } else {
        request.description = parser.value(description);
    }

    request.date = parser.isSet(date) ? parser.value(date) : QDate::currentDate().toString(kDateFormat);
    if (!QDate::fromString(request.date, kDateFormat).isValid()) {
        return Usage(QStringLiteral("the date \"%1\" is not a date in the form yyyy.MM.dd").arg(request.date));
    }

    request.serviceAnswer = parser.value(serviceAnswer);
    request.force = parser.isSet(force);
    request.skipUnsupported = parser.isSet(skipUnsupported);
    request.replace = parser.isSet(replace);
    request.signKey = parser.value(signKey);
    request.patchFrom = parser.values(patchFrom);
    request.quiet = parser.isSet(quiet);
    return RunPack(request);
}
