// The desktop agent on a StatusNotifier host, read over D-Bus: lxqt-panel on a
// virtual screen, in a private session bus, started after the agent as at a
// login with autostart. Skipped (and reported so) when a tool is missing.

#include "Platform/Curl/CurlHttp.h"

#include "Support/DevRelayProcess.h"
#include "Support/SpinEventLoop.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <map>
#include <memory>

using namespace tavrelin;
using tavrelin::testing::spinUntil;

namespace {

// Label → id of every entry of an exported menu, and the first entry's label.
struct Menu {
    std::map<std::string, int> ids;
    std::string headline;
};

void parse(const QDBusArgument& argument, Menu& menu) {
    int id = 0;
    QVariantMap properties;
    argument.beginStructure();
    argument >> id >> properties;
    const std::string label = properties.value("label").toString().toStdString();
    if (id != 0 && properties.value("visible", true).toBool() && !label.empty())
        menu.ids[label] = id;
    if (menu.headline.empty())
        menu.headline = label;
    argument.beginArray();
    while (!argument.atEnd()) {
        QDBusVariant child;
        argument >> child;
        parse(child.variant().value<QDBusArgument>(), menu);
    }
    argument.endArray();
    argument.endStructure();
}

class StatusNotifier : public ::testing::Test {
protected:
    void SetUp() override {
        tavrelin::testing::application<QGuiApplication>();
        for (const char* tool : {"Xvfb", "lxqt-panel", "dbus-run-session"}) {
            if (QStandardPaths::findExecutable(tool).isEmpty())
                GTEST_SKIP() << tool << " is not installed (scripts/setup installs it)";
        }
        build_ = qEnvironmentVariable("TAVRELIN_BUILD_DIR");
        ASSERT_TRUE(QFile::exists(build_ + "/Tavrelin.app/Contents/MacOS/tavrelin-agent"));
        ASSERT_TRUE(home_.isValid());

        // A private session bus for as long as its `cat` reads our pipe.
        session_.start("dbus-run-session", {"--", "sh", "-c", "echo \"$DBUS_SESSION_BUS_ADDRESS\"; exec cat"});
        ASSERT_TRUE(spinUntil([&] { return session_.canReadLine(); }, 10000)) << "no session bus";
        const QString address = QString::fromUtf8(session_.readLine()).trimmed();
        bus_ = std::make_unique<QDBusConnection>(QDBusConnection::connectToBus(address, "sni-test"));
        ASSERT_TRUE(bus_->isConnected());

        int display = 95;
        while (QFile::exists(QString("/tmp/.X11-unix/X%1").arg(display)) ||
               QFile::exists(QString("/tmp/.X%1-lock").arg(display)))
            ++display;
        xvfb_.start("Xvfb", {QString(":%1").arg(display), "-screen", "0", "480x200x24", "-nolisten", "tcp"});
        ASSERT_TRUE(spinUntil([&] { return QFile::exists(QString("/tmp/.X11-unix/X%1").arg(display)); }, 10000));

        environment_ = QProcessEnvironment::systemEnvironment();
        environment_.remove("QT_QPA_PLATFORM");
        environment_.remove("WAYLAND_DISPLAY");
        environment_.insert("DISPLAY", QString(":%1").arg(display));
        environment_.insert("DBUS_SESSION_BUS_ADDRESS", address);
        for (const char* sub : {"data/Tavrelin", "config/Tavrelin", "cache", "run", "calendars/reminders", "panel/lxqt"})
            QDir(home_.path()).mkpath(sub);
    }

    void TearDown() override {
        for (QProcess* process : {&agent_, &panel_, &xvfb_}) {
            process->terminate();
            if (process->state() != QProcess::NotRunning && !process->waitForFinished(5000))
                process->kill();
            process->waitForFinished(2000);
        }
        if (bus_)
            QDBusConnection::disconnectFromBus("sni-test");
        session_.closeWriteChannel();
        session_.waitForFinished(5000);
    }

    void startAgent(const std::string& api, const std::string& token) {
        QDir root(home_.path());
        QFile::setPermissions(root.filePath("run"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        write("calendars/reminders/displayname", "Reminders");
        write("data/Tavrelin/pairing.json",
              QString::fromStdString(R"({"apiBase":")" + api + R"(","token":")" + token + R"(","pairedAt":0})"));
        write("config/Tavrelin/Tavrelin.ini", "[General]\ncom.tavrelin.mac.declinedMoveToApplications=true\n"
                                              "com.tavrelin.mac.hasShownWelcome=true\n");
        QProcessEnvironment environment = environment_;
        environment.insert("XDG_DATA_HOME", root.filePath("data"));
        environment.insert("XDG_CONFIG_HOME", root.filePath("config"));
        environment.insert("XDG_CACHE_HOME", root.filePath("cache"));
        environment.insert("XDG_RUNTIME_DIR", root.filePath("run"));
        environment.insert("TAVRELIN_REMINDERS_DIR", root.filePath("calendars"));
        agent_.setProcessEnvironment(environment);
        agent_.setStandardErrorFile(root.filePath("agent.log"));
        agent_.start(build_ + "/Tavrelin.app/Contents/MacOS/tavrelin-agent", {});
        ASSERT_TRUE(spinUntil([&] { return log().find(" started") != std::string::npos; }, 30000)) << log();
    }

    void startPanel() {
        write("panel/lxqt/panel.conf", "[General]\n__userfile__=true\npanels=panel1\n\n[panel1]\nplugins=statusnotifier\n"
                                       "position=Top\n\n[statusnotifier]\ntype=statusnotifier\n");
        QProcessEnvironment environment = environment_;
        environment.insert("XDG_CONFIG_HOME", QDir(home_.path()).filePath("panel"));
        panel_.setProcessEnvironment(environment);
        panel_.setStandardOutputFile(QProcess::nullDevice());
        panel_.setStandardErrorFile(QProcess::nullDevice());
        panel_.start("lxqt-panel", {});
        ASSERT_TRUE(panel_.waitForStarted(10000));
    }

    // The agent's item as "service/path", once the panel's watcher lists it;
    // remembers where its menu is.
    QString registeredItem() {
        QString item;
        spinUntil(
            [&] {
                const QString watcher = "org.kde.StatusNotifierWatcher";
                QDBusMessage get = QDBusMessage::createMethodCall(watcher, "/StatusNotifierWatcher",
                                                                  "org.freedesktop.DBus.Properties", "Get");
                get << watcher << QStringLiteral("RegisteredStatusNotifierItems");
                const QStringList items = bus_->call(get, QDBus::Block, 1000)
                                              .arguments()
                                              .value(0)
                                              .value<QDBusVariant>()
                                              .variant()
                                              .toStringList();
                item = items.value(0);
                return !item.isEmpty();
            },
            30000);
        menuService_ = item.section('/', 0, 0);
        QDBusMessage get = QDBusMessage::createMethodCall(menuService_, item.mid(menuService_.size()),
                                                          "org.freedesktop.DBus.Properties", "Get");
        get << QStringLiteral("org.kde.StatusNotifierItem") << QStringLiteral("Menu");
        QDBusMessage reply = bus_->call(get, QDBus::Block, 5000);
        menuPath_ = reply.arguments().value(0).value<QDBusVariant>().variant().value<QDBusObjectPath>().path();
        return item;
    }

    QDBusMessage menuCall(const QString& method, const QList<QVariant>& arguments) {
        QDBusMessage call = QDBusMessage::createMethodCall(menuService_, menuPath_, "com.canonical.dbusmenu", method);
        call.setArguments(arguments);
        return bus_->call(call, QDBus::Block, 5000);
    }

    Menu layout() {
        Menu menu;
        QDBusMessage reply = menuCall("GetLayout", {0, -1, QStringList{}});
        if (reply.arguments().size() == 2)
            parse(reply.arguments().at(1).value<QDBusArgument>(), menu);
        return menu;
    }

    void click(int id) {
        QDBusMessage reply =
            menuCall("Event", {id, QStringLiteral("clicked"), QVariant::fromValue(QDBusVariant(QString())), 0u});
        EXPECT_EQ(reply.type(), QDBusMessage::ReplyMessage) << reply.errorMessage().toStdString();
    }

    std::string log() {
        QFile file(QDir(home_.path()).filePath("agent.log"));
        return file.open(QIODevice::ReadOnly) ? file.readAll().toStdString() : std::string();
    }

    void write(const QString& relative, const QString& text) {
        QFile file(QDir(home_.path()).filePath(relative));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(text.toUtf8());
    }

    QTemporaryDir home_;
    QString build_, menuService_, menuPath_;
    QProcessEnvironment environment_;
    QProcess session_, xvfb_, agent_, panel_;
    std::unique_ptr<QDBusConnection> bus_;
};

} // namespace

TEST_F(StatusNotifier, ATrayThatAppearsLaterGetsTheItemAndAMenuUpdatedInPlace) {
    curl::CurlHttp http;
    tavrelin::testing::DevRelayProcess relay(build_.toStdString() + "/tools/dev-relay", "rk_sni_test_token", http, true);
    startAgent(relay.api(), "rk_sni_test_token");
    auto requests = [&] { return relay.get("/dev/stats")["requestCount"].get<int>(); };
    ASSERT_TRUE(spinUntil([&] { return requests() > 0; }, 30000));
    ASSERT_EQ(log().find("system tray appeared"), std::string::npos); // no tray yet

    // The panel comes later, as it often does at login.
    startPanel();
    ASSERT_FALSE(registeredItem().isEmpty()) << "the agent never registered its item\n" << log();
    EXPECT_TRUE(spinUntil([&] { return log().find("a system tray appeared") != std::string::npos; }, 5000));
    const Menu before = layout();
    ASSERT_TRUE(before.ids.count("Check now")) << before.headline;

    // Every show request is answered at once and changes nothing.
    for (int i = 0; i < 20; ++i)
        ASSERT_EQ(menuCall("AboutToShow", {0}).type(), QDBusMessage::ReplyMessage);
    EXPECT_EQ(layout().ids, before.ids);

    // A failed poll changes the entries' texts in place, not their ids.
    relay.post("/dev/fault", {{"status", 503}, {"count", 1}});
    const int asked = requests();
    click(before.ids.at("Check now"));
    ASSERT_TRUE(spinUntil([&] { return requests() > asked; }, 10000));
    ASSERT_TRUE(spinUntil([&] { return layout().headline != before.headline; }, 10000)) << before.headline;
    Menu changed = layout();
    for (const char* label : {"Check now", "Unpair this Mac…", "Quit Tavrelin"})
        EXPECT_EQ(changed.ids.at(label), before.ids.at(label)) << label;

    // A tray host that restarts gets the item again; quitting from its menu ends the agent.
    panel_.terminate();
    ASSERT_TRUE(panel_.waitForFinished(10000));
    startPanel();
    ASSERT_FALSE(registeredItem().isEmpty()) << "not registered again with the new panel";
    click(layout().ids.at("Quit Tavrelin"));
    ASSERT_TRUE(agent_.waitForFinished(15000)) << log();
    EXPECT_EQ(agent_.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(agent_.exitCode(), 0) << log();
}
