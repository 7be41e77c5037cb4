// Command-line options of the benchmark programs, on QCommandLineParser: every program takes
// --help and --rounds; usage errors print the help and end the program with status 2.
#pragma once

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>
#include <cstdlib>

namespace bench {

// Parses app's arguments for --help, --rounds N (timed rounds after one untimed warm-up, by
// default `rounds`) and the given options, whose help shows their defaults. Also makes standard
// output line-buffered, so that progress shows when it is piped.
inline void ParseOptions(QCommandLineParser& parser, const QCoreApplication& app, const QString& about,
                         unsigned rounds, QList<QCommandLineOption> options) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    parser.setApplicationDescription(about);
    parser.addHelpOption();
    options.prepend({"rounds", "Timed rounds after one untimed warm-up.", "N", QString::number(rounds)});
    for (QCommandLineOption& option : options) {
        if (!option.defaultValues().isEmpty()) {
            option.setDescription(option.description() + " Default: " + option.defaultValues().first() + ".");
        }
    }
    parser.addOptions(options);
    if (!parser.parse(app.arguments()) || !parser.positionalArguments().isEmpty()) {
        const QString error = parser.errorText().isEmpty() ? QStringLiteral("stray arguments") : parser.errorText();
        std::fprintf(stderr, "%s\n\n%s", qPrintable(error), qPrintable(parser.helpText()));
        std::exit(2);
    }
    if (parser.isSet(QStringLiteral("help"))) parser.showHelp(0);
}

// The value of a whole-number option, which must lie within [lo, hi].
inline unsigned Number(const QCommandLineParser& parser, const QString& name, unsigned lo, unsigned hi) {
    bool ok = false;
    const unsigned value = parser.value(name).toUInt(&ok);
    if (ok && value >= lo && value <= hi) return value;
    std::fprintf(stderr, "--%s takes a whole number from %u to %u\n", qPrintable(name), lo, hi);
    std::exit(2);
}

}  // namespace bench
