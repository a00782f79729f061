// The desktop agent on a StatusNotifier host, read over D-Bus: lxqt-panel on a
// virtual screen, in a private session bus, started after the agent as at a
// login with autostart. Skipped (and reported so) when a tool is missing.

#include "Platform/Curl/CurlHttp.h"
#include "Platform/Linux/Xdg/DesktopEntry.h"
#include "Support/AgentProcess.h"
#include "Support/EdsSession.h"
#include "Support/SpinEventLoop.h"
#include "TavrelinMac/Words.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QGuiApplication>
#include <QImage>

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <set>
#include <sys/prctl.h>

using namespace tavrelin;
using namespace tavrelin::testing;

namespace {

// Label (as shown, without its indentation; a switch's followed by " (on)" or
// " (off)") → id of every visible entry of an exported menu.
using Menu = std::map<std::string, int>;
using Lines = std::vector<std::string>;

Menu parse(const QDBusArgument& argument, Menu menu = {}) {
    int id = 0;
    QVariantMap properties;
    QVariantList children;
    argument.beginStructure();
    argument >> id >> properties >> children;
    argument.endStructure();
    std::string label = properties.value("label").toString().trimmed().toStdString(); // indented by spaces
    if (!properties.value("toggle-type").toString().isEmpty())
        label += properties.value("toggle-state").toInt() == 1 ? " (on)" : " (off)";
    if (id != 0 && properties.value("visible", true).toBool() && !label.empty())
        menu[label] = id;
    for (const QVariant& child : children)
        menu = parse(child.value<QDBusArgument>(), std::move(menu));
    return menu;
}

class StatusNotifier : public ::testing::Test {
protected:
    void SetUp() override {
        application<QGuiApplication>();
        for (const char* tool : {"/usr/bin/Xvfb", "/usr/bin/lxqt-panel", "/usr/bin/import", "/usr/bin/gio"})
            if (!installed(tool))
                GTEST_SKIP() << tool << " is not installed (scripts/setup installs it)";
        session_ = std::make_unique<EdsSession>(false); // a bare bus
        // Sanitizer options pass through; the display is the virtual one.
        environment_ = withSanitizers(session_->environment());
        bus_ = QDBusConnection::connectToBus(QString::fromStdString(environment_.at("DBUS_SESSION_BUS_ADDRESS")), "sni-test");
        // Xvfb takes a free display and tells its number once it listens.
        xvfb_.emplace(Lines{"/usr/bin/Xvfb", "-displayfd", "1", "-screen", "0", "480x200x24", "-nolisten", "tcp"},
                      environment_);
        const std::string display = xvfb_->await("\n", std::chrono::seconds(10)).value_or("");
        ASSERT_FALSE(display.empty()) << "Xvfb told no display within 10 s";
        environment_["DISPLAY"] = ":" + display.substr(0, display.size() - 1);
        panelBackground("#202020");
        writeSettings(session_->root() / "config", "com.tavrelin.mac.hasShownWelcome=true\n");
    }

    // The agent quits before the panel, the screen and the bus end.
    void TearDown() override {
        if (!agent_.empty())
            runToEnd({agent_, "--quit"}, environment_);
        QDBusConnection::disconnectFromBus("sni-test");
    }

    // Plain messages: a QDBusInterface keeps what it introspects to the end of the process.
    QDBusMessage call(const QString& service, const QString& path, const QString& interface, const QString& method,
                      const QVariantList& arguments) {
        QDBusMessage message = QDBusMessage::createMethodCall(service, path, interface, method);
        message.setArguments(arguments);
        return bus_.call(message, QDBus::Block, 5000);
    }
    QVariant property(const QString& service, const QString& path, const QString& interface, const QString& name) {
        const QDBusMessage reply = call(service, path, "org.freedesktop.DBus.Properties", "Get", {interface, name});
        return reply.arguments().value(0).value<QDBusVariant>().variant();
    }
    QDBusMessage menuCall(const QString& method, const QVariantList& arguments) {
        return call(menuService_, menuPath_, "com.canonical.dbusmenu", method, arguments);
    }

    // Asked afresh each time: the panel's watcher may not be up yet.
    QVariant items() {
        const QString watcher = "org.kde.StatusNotifierWatcher";
        return property(watcher, "/StatusNotifierWatcher", watcher, "RegisteredStatusNotifierItems");
    }

    // Waits for the panel's watcher to list the agent's item, and finds its menu.
    bool registered() {
        if (!spinUntil([&] { return !items().toStringList().isEmpty(); }, 30000))
            return false;
        const QString item = items().toStringList().front();
        menuService_ = item.section('/', 0, 0);
        const QString path = item.mid(menuService_.size());
        menuPath_ = property(menuService_, path, "org.kde.StatusNotifierItem", "Menu").value<QDBusObjectPath>().path();
        return true;
    }

    Menu layout() { return parse(menuCall("GetLayout", {0, -1, QStringList{}}).arguments().value(1).value<QDBusArgument>()); }

    void click(int id) { menuCall("Event", {id, "clicked", QVariant::fromValue(QDBusVariant(QString())), 0u}); }

    // A 32 px strip along the top of the screen.
    void panelBackground(const std::string& colour) {
        write("config/lxqt/panel.conf", "[General]\n__userfile__=true\npanels=panel1\n[panel1]\nbackground-color=" + colour +
                                            "\nplugins=statusnotifier\nposition=Top\n[statusnotifier]\ntype=statusnotifier\n");
    }

    // Whether the panel paints the icon so that it stands out from `background`, within 30 s.
    bool iconSeen(const QColor& background) {
        return spinUntil(
            [&] {
                const bool shot = runToEnd({"/usr/bin/import", "-window", "root", file("shot.png")}, environment_).first == 0;
                const QImage image(shot ? QString::fromStdString(file("shot.png")) : QString());
                int pixels = 0;
                for (int y = 0; y < std::min(32, image.height()); ++y)
                    for (int x = 0; x < image.width(); ++x)
                        pixels += std::abs(image.pixelColor(x, y).lightness() - background.lightness()) > 110;
                return pixels > 20;
            },
            30000);
    }

    std::string file(const std::string& relative) { return session_->root() / relative; }
    // The agent logs where its launcher's output went.
    std::string log() { return launcher_ ? launcher_->output() : ""; }
    void write(const std::string& relative, const std::string& text) { writeFile(file(relative), text); }

    std::unique_ptr<EdsSession> session_;
    QString menuService_, menuPath_;
    std::map<std::string, std::string> environment_;
    std::string agent_;
    std::optional<Child> xvfb_, launcher_, panel_;
    QDBusConnection bus_{"sni-test"};
};

} // namespace

// The id of the entry whose label holds `text`, or 0.
int idOf(const Menu& menu, const std::string& text) {
    for (const auto& [label, id] : menu)
        if (label.find(text) != std::string::npos)
            return id;
    return 0;
}

// The panel comes when it comes, after the session started the agent from its autostart entry.
TEST_F(StatusNotifier, AtLoginTheAutostartedAgentsItemReachesALaterPanelAndItsMenuIdsOutliveChanges) {
    curl::CurlHttp http;
    DevRelayProcess relay((buildDir() / "tools/dev-relay").string(), "rk_sni_test_token", http);
    write("data/Tavrelin/pairing.json", R"({"apiBase":")" + relay.api() + R"(","token":"rk_sni_test_token","pairedAt":0})");
    write("data/calendars/reminders/displayname", "Reminders");
    agent_ = installCopy(session_->root() / "home");
    const auto run = [&](const std::string& option) { return runToEnd({agent_, option}, environment_).first == 0; };
    // As scripts/install does it (an option it does not know is refused), then the login.
    EXPECT_EQ(runToEnd({agent_, "--start-at-login", "maybe"}, environment_).first, 2);
    ASSERT_TRUE(run("--register"));
    const std::string entry = "config/autostart/" + std::string(xdg::desktopId);
    launcher_.emplace(Lines{"/usr/bin/gio", "launch", file(entry)}, environment_);
    ASSERT_TRUE(spinUntil([&] { return relay.get("/dev/stats")["requestCount"].get<int>() > 0; }, 60000))
        << "no poll within 60 s\n"
        << log();

    panel_.emplace(Lines{"/usr/bin/lxqt-panel"}, environment_);
    ASSERT_TRUE(registered()) << "the panel never got the agent's item\n" << log();
    ASSERT_TRUE(spinUntil([&] { return idOf(layout(), words::module::lists()) != 0; }, 10000)) << "no lists shown\n" << log();
    const Menu before = layout();
    ASSERT_TRUE(before.count("Start at Login (on)")) << "no switch, or off, in the menu";

    // Every show request is answered at once and changes nothing.
    for (int i = 0; i < 20; ++i)
        ASSERT_EQ(menuCall("AboutToShow", {0}).type(), QDBusMessage::ReplyMessage);
    EXPECT_EQ(layout(), before);

    // A poll that files one item and refuses another puts lines above the
    // lists and the actions: every entry that was there keeps its id, and the
    // new lines take none of theirs.
    relay.post("/dev/enqueue", nlohmann::json::array({{{"title", "Filed"}, {"allDay", true}, {"list", "Reminders"}},
                                                      {{"title", "Refused"}, {"allDay", true}, {"list", "Nowhere"}}}));
    click(before.at("Check now"));
    ASSERT_TRUE(spinUntil([&] { return idOf(layout(), "no list named") != 0; }, 10000)) << "no refusal shown\n" << log();
    const Menu after = layout();
    std::set<int> oldIds;
    for (const auto& [label, id] : before) {
        oldIds.insert(id);
        EXPECT_EQ(after.count(label) ? after.at(label) : id, id) << label;
    }
    for (const std::string& label : {words::menu::checkNow(), words::module::lists(), std::string("Reminders"),
                                     words::menu::checkForUpdates(), words::menu::quit()})
        EXPECT_TRUE(after.count(label)) << label << " is gone";
    for (const char* line : {"reminder filed this session", "no list named"})
        EXPECT_FALSE(oldIds.count(idOf(after, line))) << line << " took the id of an entry that was there before";

    // A click with an id from before the poll still works: the switch turns
    // start at login off, under the same id. (Texts that change in place are
    // the tray test's.)
    click(before.at("Start at Login (on)"));
    EXPECT_TRUE(spinUntil([&] { return !std::filesystem::exists(file(entry)); }, 10000)) << "the click left the entry in place";
    EXPECT_TRUE(spinUntil([&] { return layout()["Start at Login (off)"] == before.at("Start at Login (on)"); }, 10000));

    // The icon can be seen on a dark panel, and on a light one after the host restarts.
    EXPECT_TRUE(iconSeen(QColor(0x20, 0x20, 0x20))) << "the icon does not stand out on a dark panel";
    panel_.reset();
    panelBackground("#eeeeee");
    panel_.emplace(Lines{"/usr/bin/lxqt-panel"}, environment_);
    ASSERT_TRUE(registered()) << "not registered again with the new panel";
    EXPECT_TRUE(iconSeen(QColor(0xee, 0xee, 0xee))) << "the icon does not stand out on a light panel";
    click(before.at("Quit Tavrelin"));
    EXPECT_TRUE(spinUntil([&] { return !run("--status"); }, 15000)) << "the agent did not quit\n" << log();
}

namespace {

// A StatusNotifier watcher with its host, and the desktop portal saying the
// light preference: the two things the agent asks of a desktop, played by
// this process, whose program name then says which desktop it is.
class FakeDesktop final : public QDBusVirtualObject {
public:
    QString introspect(const QString& path) const override {
        if (path == "/StatusNotifierWatcher")
            return R"(<interface name="org.kde.StatusNotifierWatcher">
  <method name="RegisterStatusNotifierItem"><arg name="service" type="s" direction="in"/></method>
  <method name="RegisterStatusNotifierHost"><arg name="service" type="s" direction="in"/></method>
  <property name="RegisteredStatusNotifierItems" type="as" access="read"/>
  <property name="IsStatusNotifierHostRegistered" type="b" access="read"/>
  <property name="ProtocolVersion" type="i" access="read"/>
</interface>)";
        return {};
    }
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
        const QString member = message.member();
        QVariant answer;
        if (member == "RegisterStatusNotifierItem") {
            const QString item = message.arguments().value(0).toString();
            // A service name alone means the usual path.
            items.append(item.startsWith('/') ? message.service() + item
                         : item.contains('/') ? item
                                              : item + "/StatusNotifierItem");
        } else if (member == "Get" || member == "Read") {
            const QString name = message.arguments().value(1).toString();
            answer = name == "IsStatusNotifierHostRegistered"  ? QVariant(true)
                     : name == "RegisteredStatusNotifierItems" ? QVariant(items)
                     : name == "ProtocolVersion"               ? QVariant(0)
                     : name == "color-scheme"                  ? QVariant(2u) // prefer light
                                                               : QVariant();
            if (!answer.isValid()) {
                connection.send(message.createErrorReply(QDBusError::UnknownProperty, name));
                return true;
            }
            answer = QVariant::fromValue(QDBusVariant(answer));
        } else if (member != "RegisterStatusNotifierHost") {
            return false;
        }
        connection.send(answer.isValid() ? message.createReply(answer) : message.createReply());
        return true;
    }
    QStringList items;
};

// This process under another program name, while it lives.
class ProgramName {
public:
    explicit ProgramName(const char* name) {
        ::prctl(PR_GET_NAME, saved_);
        ::prctl(PR_SET_NAME, name);
    }
    ~ProgramName() { ::prctl(PR_SET_NAME, saved_); }
    ProgramName(const ProgramName&) = delete;
    ProgramName& operator=(const ProgramName&) = delete;

private:
    char saved_[17] = {};
};

} // namespace

// GNOME Shell's top bar is dark under the light preference too: there the
// glyph is light, read from the pixels the item hands the host. Under any
// other host the same preference gets the dark glyph.
TEST_F(StatusNotifier, OnGnomeShellsBarTheGlyphIsLightWhateverThePreference) {
    FakeDesktop desktop;
    ASSERT_TRUE(bus_.registerVirtualObject("/StatusNotifierWatcher", &desktop));
    ASSERT_TRUE(bus_.registerVirtualObject("/org/freedesktop/portal/desktop", &desktop));
    ASSERT_TRUE(bus_.registerService("org.kde.StatusNotifierWatcher"));
    ASSERT_TRUE(bus_.registerService("org.freedesktop.portal.Desktop"));
    agent_ = (buildDir() / "Tavrelin.app/Contents/MacOS/tavrelin-agent").string();
    for (const char* host : {"gnome-shell", "some-panel"}) {
        SCOPED_TRACE(host);
        const ProgramName name(host);
        desktop.items.clear();
        launcher_.emplace(Lines{agent_}, environment_);
        ASSERT_TRUE(spinUntil([&] { return !desktop.items.isEmpty(); }, 30000)) << "no item registered\n" << log();
        const QString item = desktop.items.front();
        const QString service = item.section('/', 0, 0), path = item.mid(service.size());
        // The middle of the 22 px pixmap the host is handed: (width, height,
        // ARGB32 in network order) each.
        const auto centre = [&]() -> std::optional<QColor> {
            std::optional<QColor> found;
            const QDBusArgument pixmaps =
                property(service, path, "org.kde.StatusNotifierItem", "IconPixmap").value<QDBusArgument>();
            pixmaps.beginArray();
            while (!pixmaps.atEnd()) {
                int width = 0, height = 0;
                QByteArray bytes;
                pixmaps.beginStructure();
                pixmaps >> width >> height >> bytes;
                pixmaps.endStructure();
                if (width == 22 && bytes.size() == width * height * 4) {
                    const auto* at = reinterpret_cast<const uchar*>(bytes.constData()) + (11 * width + 11) * 4;
                    found = QColor(at[1], at[2], at[3], at[0]);
                }
            }
            pixmaps.endArray();
            return found;
        };
        // The colours may follow an answer that comes later: asked until they hold.
        const bool light = std::string(host) == "gnome-shell";
        std::optional<QColor> seen;
        EXPECT_TRUE(spinUntil(
            [&] {
                seen = centre();
                return seen && seen->alpha() > 0 && (seen->lightness() > 180) == light;
            },
            15000))
            << "the glyph's middle is " << (seen ? seen->name(QColor::HexArgb).toStdString() : "not there") << "\n"
            << log();
        ASSERT_TRUE(runToEnd({agent_, "--quit"}, environment_).first == 0);
        launcher_.reset();
    }
}
