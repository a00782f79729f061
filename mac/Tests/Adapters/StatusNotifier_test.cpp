// The desktop agent on a StatusNotifier host, read over D-Bus: lxqt-panel on a
// virtual screen, in a private session bus, started after the agent as at a
// login with autostart. Skipped (and reported so) when a tool is missing.

#include "Platform/Curl/CurlHttp.h"

#include "Support/DevRelayProcess.h"
#include "Support/SpinEventLoop.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusInterface>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

using namespace tavrelin;
using tavrelin::testing::spinUntil;

namespace {

QGuiApplication& application() {
    static int argc = 1;
    static char name[] = "StatusNotifier_test";
    static char* argv[] = {name, nullptr};
    static auto* app = new QGuiApplication(argc, argv);
    return *app;
}

const QString watcherService = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString menuInterface = QStringLiteral("com.canonical.dbusmenu");

// One entry of an exported menu.
struct Node {
    int id = 0;
    QVariantMap properties;
    std::vector<Node> children;

    bool visible() const { return properties.value("visible", true).toBool(); }
    bool separator() const { return properties.value("type").toString() == "separator"; }
    std::string label() const { return properties.value("label").toString().toStdString(); }
};

Node parse(const QDBusArgument& argument) {
    Node node;
    argument.beginStructure();
    argument >> node.id >> node.properties;
    argument.beginArray();
    while (!argument.atEnd()) {
        QDBusVariant child;
        argument >> child;
        node.children.push_back(parse(child.variant().value<QDBusArgument>()));
    }
    argument.endArray();
    argument.endStructure();
    return node;
}

// The visible entries, one line each: "-" for a separator, "!" before a
// disabled label, submenu entries indented.
std::vector<std::string> describe(const Node& menu, const std::string& indent = "") {
    std::vector<std::string> lines;
    for (const Node& child : menu.children) {
        if (!child.visible())
            continue;
        if (child.separator()) {
            lines.push_back(indent + "-");
            continue;
        }
        const bool enabled = child.properties.value("enabled", true).toBool();
        lines.push_back(indent + (enabled ? "" : "!") + child.label());
        for (const auto& line : describe(child, indent + "  "))
            lines.push_back(line);
    }
    return lines;
}

// Label → id of every visible entry one can choose.
std::map<std::string, int> ids(const Node& menu) {
    std::map<std::string, int> out;
    for (const Node& child : menu.children) {
        if (child.visible() && !child.separator())
            out[child.label()] = child.id;
        for (const auto& [label, id] : ids(child))
            out[label] = id;
    }
    return out;
}

QString panelConfig(const QString& background) {
    return QStringLiteral("[General]\n__userfile__=true\npanels=panel1\n\n"
                          "[panel1]\nalignment=-1\nbackground-color=%1\nhidable=false\niconSize=22\nlineCount=1\n"
                          "lockPanel=true\nopacity=100\npanelSize=32\nplugins=statusnotifier\nposition=Top\n"
                          "width=100\nwidth-percent=true\n\n[statusnotifier]\ntype=statusnotifier\n")
        .arg(background);
}

class StatusNotifier : public ::testing::Test {
protected:
    void SetUp() override {
        application();
        for (const char* tool : {"Xvfb", "lxqt-panel", "dbus-run-session", "import"}) {
            if (QStandardPaths::findExecutable(tool).isEmpty())
                GTEST_SKIP() << tool << " is not installed (scripts/setup installs it)";
        }
        build_ = qEnvironmentVariable("TAVRELIN_BUILD_DIR");
        ASSERT_FALSE(build_.isEmpty());
        agentProgram_ = build_ + "/Tavrelin.app/Contents/MacOS/tavrelin-agent";
        ASSERT_TRUE(QFile::exists(agentProgram_));
        ASSERT_TRUE(home_.isValid());

        // A private session bus for as long as its `cat` reads our pipe.
        session_.start("dbus-run-session", {"--", "sh", "-c", "echo \"$DBUS_SESSION_BUS_ADDRESS\"; exec cat"});
        ASSERT_TRUE(spinUntil([&] { return session_.canReadLine(); }, 10000)) << "no session bus";
        busAddress_ = QString::fromUtf8(session_.readLine()).trimmed();
        bus_ = std::make_unique<QDBusConnection>(QDBusConnection::connectToBus(busAddress_, "sni-test"));
        ASSERT_TRUE(bus_->isConnected());

        int display = 95;
        while (QFile::exists(QString("/tmp/.X11-unix/X%1").arg(display)) ||
               QFile::exists(QString("/tmp/.X%1-lock").arg(display)))
            ++display;
        display_ = QString(":%1").arg(display);
        xvfb_.start("Xvfb", {display_, "-screen", "0", "480x200x24", "-nolisten", "tcp"});
        ASSERT_TRUE(spinUntil([&] { return QFile::exists(QString("/tmp/.X11-unix/X%1").arg(display)); }, 10000));

        environment_ = QProcessEnvironment::systemEnvironment();
        environment_.remove("QT_QPA_PLATFORM");
        environment_.remove("WAYLAND_DISPLAY");
        environment_.insert("DISPLAY", display_);
        environment_.insert("DBUS_SESSION_BUS_ADDRESS", busAddress_);
        QDir(home_.path()).mkpath("panel/lxqt");
    }

    void TearDown() override {
        for (QProcess* process : {&agent_, &panel_, &xvfb_}) {
            if (process->state() == QProcess::NotRunning)
                continue;
            process->terminate();
            if (!process->waitForFinished(5000)) {
                process->kill();
                process->waitForFinished(2000);
            }
        }
        if (bus_)
            QDBusConnection::disconnectFromBus("sni-test");
        session_.closeWriteChannel();
        session_.waitForFinished(5000);
    }

    void startAgent(const std::string& api, const std::string& token) {
        QDir root(home_.path());
        for (const char* sub : {"data/Tavrelin", "config/Tavrelin", "cache", "run", "calendars/reminders"})
            root.mkpath(sub);
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
        agent_.start(agentProgram_, {});
        ASSERT_TRUE(spinUntil([&] { return log().find(" started") != std::string::npos; }, 30000)) << log();
    }

    void startPanel(const QString& background) {
        write("panel/lxqt/panel.conf", panelConfig(background));
        QProcessEnvironment environment = environment_;
        environment.insert("XDG_CONFIG_HOME", QDir(home_.path()).filePath("panel"));
        panel_.setProcessEnvironment(environment);
        panel_.setStandardOutputFile(QProcess::nullDevice());
        panel_.setStandardErrorFile(QProcess::nullDevice());
        panel_.start("lxqt-panel", {});
        ASSERT_TRUE(panel_.waitForStarted(10000));
    }

    void stopPanel() {
        panel_.terminate();
        ASSERT_TRUE(panel_.waitForFinished(10000));
    }

    // The agent's item as "service/path", once the panel's watcher lists it.
    QString registeredItem(int ms = 30000) {
        QString item;
        spinUntil(
            [&] {
                QDBusMessage get = QDBusMessage::createMethodCall(watcherService, "/StatusNotifierWatcher",
                                                                  "org.freedesktop.DBus.Properties", "Get");
                get << watcherService << QStringLiteral("RegisteredStatusNotifierItems");
                QDBusMessage reply = bus_->call(get, QDBus::Block, 1000);
                if (reply.type() != QDBusMessage::ReplyMessage)
                    return false;
                const QStringList items = reply.arguments().value(0).value<QDBusVariant>().variant().toStringList();
                if (items.isEmpty())
                    return false;
                item = items.front();
                return true;
            },
            ms);
        return item;
    }

    QVariant itemProperty(const QString& item, const QString& name) {
        const qsizetype slash = item.indexOf('/');
        QDBusMessage get =
            QDBusMessage::createMethodCall(item.left(slash), item.mid(slash), "org.freedesktop.DBus.Properties", "Get");
        get << QStringLiteral("org.kde.StatusNotifierItem") << name;
        return bus_->call(get, QDBus::Block, 5000).arguments().value(0).value<QDBusVariant>().variant();
    }

    QDBusMessage menuCall(const QString& method, const QList<QVariant>& arguments) {
        QDBusMessage call = QDBusMessage::createMethodCall(menuService_, menuPath_, menuInterface, method);
        call.setArguments(arguments);
        return bus_->call(call, QDBus::Block, 5000);
    }

    Node layout() {
        QDBusMessage reply = menuCall("GetLayout", {0, -1, QStringList{}});
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().size() != 2) {
            ADD_FAILURE() << "GetLayout failed: " << reply.errorMessage().toStdString();
            return {};
        }
        return parse(reply.arguments().at(1).value<QDBusArgument>());
    }

    void click(int id) {
        QDBusMessage reply =
            menuCall("Event", {id, QStringLiteral("clicked"), QVariant::fromValue(QDBusVariant(QString())), 0u});
        EXPECT_EQ(reply.type(), QDBusMessage::ReplyMessage) << reply.errorMessage().toStdString();
    }

    // Pixels of the panel strip that stand out from its background: the icon.
    int iconPixels(const QColor& background) {
        const QString shot = QDir(home_.path()).filePath("shot.png");
        QFile::remove(shot);
        QProcess import;
        import.setProcessEnvironment(environment_);
        import.start("import", {"-display", display_, "-window", "root", shot});
        import.waitForFinished(20000);
        QImage image(shot);
        if (image.isNull()) {
            ADD_FAILURE() << "no screenshot";
            return 0;
        }
        int count = 0;
        for (int y = 0; y < 32; ++y)
            for (int x = 0; x < image.width(); ++x)
                if (std::abs(image.pixelColor(x, y).lightness() - background.lightness()) > 110)
                    ++count;
        return count;
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
    QString build_, agentProgram_, busAddress_, display_, menuService_, menuPath_;
    QProcessEnvironment environment_;
    QProcess session_, xvfb_, agent_, panel_;
    std::unique_ptr<QDBusConnection> bus_;
};

} // namespace

TEST_F(StatusNotifier, AnAgentStartedBeforeThePanelShowsItsItemAndMenuThere) {
    curl::CurlHttp http;
    tavrelin::testing::DevRelayProcess relay(build_.toStdString() + "/tools/dev-relay", "rk_sni_test_token", http, true);
    startAgent(relay.api(), "rk_sni_test_token");
    ASSERT_TRUE(spinUntil([&] { return relay.get("/dev/stats")["requestCount"].get<int>() > 0; }, 30000));
    spinUntil([] { return false; }, 1000);
    ASSERT_EQ(log().find("system tray appeared"), std::string::npos); // no tray yet

    // The panel comes later, as it often does at login.
    startPanel("#202020");
    const QString item = registeredItem();
    ASSERT_FALSE(item.isEmpty()) << "the agent never registered its item\n" << log();
    EXPECT_TRUE(spinUntil([&] { return log().find("a system tray appeared") != std::string::npos; }, 5000));
    EXPECT_EQ(itemProperty(item, "Title").toString(), "Tavrelin");
    EXPECT_EQ(itemProperty(item, "ToolTip").value<QDBusArgument>().currentType(), QDBusArgument::StructureType);
    menuService_ = item.left(item.indexOf('/'));
    menuPath_ = itemProperty(item, "Menu").value<QDBusObjectPath>().path();
    ASSERT_FALSE(menuPath_.isEmpty());

    // The exported menu is the agent's menu.
    const std::string host = "127.0.0.1";
    std::vector<std::string> shown = describe(layout());
    ASSERT_GE(shown.size(), 12u);
    EXPECT_EQ(shown[0], "!Tavrelin — Connected");
    EXPECT_EQ(shown[1], "!Backend: " + host);
    EXPECT_EQ(shown[2], "-");
    EXPECT_EQ(shown[3], "!Apple Reminders");
    EXPECT_EQ(shown[4].rfind("!   Last checked", 0), 0u) << shown[4];
    const std::vector<std::string> tail(shown.end() - 8, shown.end());
    EXPECT_EQ(tail[0], "-");
    EXPECT_EQ(tail[1], "Check now");
    EXPECT_EQ(tail[2], "-");
    EXPECT_EQ(tail[3].rfind("!Version ", 0), 0u) << tail[3];
    EXPECT_EQ(tail[4], "Check for Updates…");
    EXPECT_EQ(tail[5], "-");
    EXPECT_EQ(tail[6], "Unpair this Mac…");
    EXPECT_EQ(tail[7], "Quit Tavrelin");

    // Show requests are answered at once and change nothing.
    const std::map<std::string, int> before = ids(layout());
    for (int i = 0; i < 20; ++i) {
        QDBusMessage reply = menuCall("AboutToShow", {0});
        ASSERT_EQ(reply.type(), QDBusMessage::ReplyMessage) << reply.errorMessage().toStdString();
    }
    menuCall("Event", {0, QStringLiteral("closed"), QVariant::fromValue(QDBusVariant(QString())), 0u});
    EXPECT_EQ(ids(layout()), before);

    // "Check now" polls; the failed poll changes the state, not the ids.
    relay.post("/dev/fault", {{"status", 503}, {"count", 1}});
    const int requests = relay.get("/dev/stats")["requestCount"].get<int>();
    click(before.at("Check now"));
    ASSERT_TRUE(spinUntil([&] { return relay.get("/dev/stats")["requestCount"].get<int>() > requests; }, 10000));
    ASSERT_TRUE(spinUntil([&] { return describe(layout())[0].rfind("!Tavrelin — Trouble", 0) == 0; }, 10000))
        << describe(layout())[0];
    const Node changed = layout();
    for (const char* label : {"Check now", "Check for Updates…", "Unpair this Mac…", "Quit Tavrelin"})
        EXPECT_EQ(ids(changed).at(label), before.at(label)) << label;
    EXPECT_EQ(changed.children.front().id, layout().children.front().id);

    // The icon can be seen on a dark panel and on a light one.
    EXPECT_GT(iconPixels(QColor(0x20, 0x20, 0x20)), 20);
    stopPanel();
    startPanel("#eeeeee");
    ASSERT_FALSE(registeredItem().isEmpty()) << "not registered again with the new panel";
    spinUntil([] { return false; }, 1500); // the panel paints
    EXPECT_GT(iconPixels(QColor(0xee, 0xee, 0xee)), 20);

    // "Quit Tavrelin" quits, and the icon goes with it.
    menuService_ = registeredItem().section('/', 0, 0);
    click(ids(layout()).at("Quit Tavrelin"));
    ASSERT_TRUE(agent_.waitForFinished(15000)) << log();
    EXPECT_EQ(agent_.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(agent_.exitCode(), 0) << log();
    spinUntil([] { return false; }, 1500);
    EXPECT_LT(iconPixels(QColor(0xee, 0xee, 0xee)), 5);
}
