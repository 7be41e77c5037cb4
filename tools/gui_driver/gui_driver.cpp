// gui_driver: a Qt plugin that lets tests and the demo watch and drive the update window of a
// real update.exe process, on any platform plugin (offscreen included). Loaded with
//   QT_PLUGIN_PATH=<folder holding generic/> QT_QPA_GENERIC_PLUGINS=gui_driver
//   GUI_DRIVER_DIR=<folder>
// it polls the application every 50 ms and
//   - appends to <folder>/events.log one line per change it sees:
//       "shown", "hidden", "status <text>", "action <text> enabled|disabled",
//       "version <text>", "prompt shown", "prompt closed";
//   - carries out the lines that appear in <folder>/commands, in order, each once:
//       "click"            press the action button (waits until it is enabled),
//       "close"            press the window's close button,
//       "wait <text>"      hold the commands after it until the status label shows text,
//       "shot <name>"      save the window as <folder>/<name>.png, drawn by Qt itself,
//       "screen <name>"    save what the screen shows where the window is, as <folder>/<name>.png
//                          (a screenshot through the platform: the real window on a display),
//       "confirm"/"cancel" press a button of the stop prompt (waits until it is open).
// Test code only: it is never built into or shipped with the programs.
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QGenericPlugin>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QTextStream>
#include <QTimer>
#include <QWidget>

namespace {

constexpr int kPollMs = 50;

QWidget* TopLevel(const char* className) {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (qstrcmp(widget->metaObject()->className(), className) == 0) return widget;
    }
    return nullptr;
}

class GuiDriver : public QObject {
public:
    // No parent: the application deletes the objects of generic plugins itself.
    explicit GuiDriver(const QString& dir) : dir_(dir) {
        connect(&timer_, &QTimer::timeout, this, [this] { Poll(); });
        timer_.start(kPollMs);
    }

private:
    void Note(const QString& line) {
        QFile log(dir_ + "/events.log");
        if (log.open(QIODevice::Append)) log.write((line + "\n").toUtf8());
    }

    // Writes an event when a watched value changed since the last poll.
    void Watch(const QString& key, const QString& value) {
        if (seen_.value(key) == value && seen_.contains(key)) return;
        seen_.insert(key, value);
        Note(value.isEmpty() ? key : key + " " + value);
    }

    void Poll() {
        QWidget* window = TopLevel("MainWidget");
        if (window) {
            Watch("window", window->isVisible() ? "shown" : "hidden");
            if (auto* status = window->findChild<QLabel*>("statusLabel")) Watch("status", status->text());
            if (auto* version = window->findChild<QLabel*>("versionLabel")) Watch("version", version->text());
            if (auto* action = window->findChild<QPushButton*>("actionButton")) {
                Watch("action", action->text() + (action->isEnabled() ? " enabled" : " disabled"));
            }
        }
        QWidget* prompt = TopLevel("PromptWidget");
        Watch("prompt", prompt && prompt->isVisible() ? "shown" : "closed");
        RunCommands(window, prompt);
    }

    void RunCommands(QWidget* window, QWidget* prompt) {
        QFile file(dir_ + "/commands");
        if (!file.open(QIODevice::ReadOnly)) return;
        const QStringList lines = QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
        while (done_ < lines.size()) {
            if (!Run(lines.at(done_).trimmed(), window, prompt)) return;  // not possible yet
            ++done_;
        }
    }

    // False when the command must wait for the window to get there.
    bool Run(const QString& command, QWidget* window, QWidget* prompt) {
        if (command == "click" || command == "close") {
            const char* name = command == "click" ? "actionButton" : "closeButton";
            auto* button = window ? window->findChild<QPushButton*>(name) : nullptr;
            if (!button || !button->isEnabled() || !window->isVisible()) return false;
            Note("did " + command);
            button->click();
            return true;
        }
        if (command == "confirm" || command == "cancel") {
            const char* name = command == "confirm" ? "edit_autosend_danmu_ok" : "edit_autosend_danmu_cancel";
            auto* button = prompt ? prompt->findChild<QPushButton*>(name) : nullptr;
            if (!button) return false;
            Note("did " + command);
            button->click();
            return true;
        }
        if (command.startsWith("wait ")) {
            auto* status = window ? window->findChild<QLabel*>("statusLabel") : nullptr;
            return status && status->text() == command.mid(5);
        }
        if (command.startsWith("shot ")) {
            if (!window) return false;
            window->grab().save(dir_ + "/" + command.mid(5) + ".png");
            Note("did " + command);
            return true;
        }
        if (command.startsWith("screen ")) {
            if (!window || !window->isVisible()) return false;
            QScreen* screen = window->screen();
            const QRect frame = window->frameGeometry();
            if (!screen) return false;
            screen->grabWindow(0, frame.x(), frame.y(), frame.width(), frame.height())
                .save(dir_ + "/" + command.mid(7) + ".png");
            Note("did " + command);
            return true;
        }
        Note("unknown command " + command);
        return true;
    }

    QString dir_;
    QTimer timer_;
    QMap<QString, QString> seen_;
    int done_ = 0;
};

}  // namespace

class GuiDriverPlugin : public QGenericPlugin {
    Q_OBJECT
    Q_PLUGIN_METADATA(IID QGenericPluginFactoryInterface_iid FILE "gui_driver.json")
public:
    QObject* create(const QString& key, const QString&) override {
        const QString dir = qEnvironmentVariable("GUI_DRIVER_DIR");
        if (key != QLatin1String("gui_driver") || dir.isEmpty() || !QDir(dir).exists()) return nullptr;
        return new GuiDriver(dir);
    }
};

#include "gui_driver.moc"
