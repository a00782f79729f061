// The tray item and its icon on an offscreen QApplication.

#include "Platform/Qt/QtIconRenderer.h"
#include "Platform/Qt/QtStatusItem.h"
#include "Support/SpinEventLoop.h"
#include "TavrelinMac/MenuBarIcon.h"

#include <QAction>
#include <QApplication>

#include <gtest/gtest.h>

using namespace tavrelin;
using Health = SyncState::Health;
using platform::MenuItem;
using qt::QtIconRenderer;

namespace {

MenuItem entry(const std::string& title, const std::function<void()>& action = {}) {
    return {title, bool(action), false, "", 0, action, {}};
}

TEST(QtStatusItem, UpdatesTheMenuInPlaceAndRunsActionsAfterTheTriggerReturns) {
    tavrelin::testing::application<QApplication>();
    qt::QtStatusItem item;
    bool paired = true;
    std::vector<std::string> chosen;
    item.setMenuProvider([&] {
        std::vector<MenuItem> items{entry(paired ? "Connected" : "Not paired"),
                                    entry("Check now", [&] { chosen.push_back("check"); })};
        if (paired)
            items.push_back(entry("Unpair R&D", [&] { chosen.push_back("unpair"); }));
        return items;
    });
    QCoreApplication::processEvents();
    const QList<QAction*> before = item.menu().actions();
    ASSERT_EQ(before.size(), 3);
    EXPECT_EQ(before[2]->text().toStdString(), "Unpair R&&D"); // shown as typed, not as a mnemonic
    before[1]->trigger();
    EXPECT_TRUE(chosen.empty());
    QCoreApplication::processEvents();
    EXPECT_EQ(chosen, std::vector<std::string>{"check"});

    paired = false;
    item.syncMenu();
    EXPECT_EQ(item.menu().actions(), before);
    EXPECT_EQ(before[0]->text().toStdString(), "Not paired");
    EXPECT_FALSE(before[2]->isVisible());
    before[2]->trigger(); // a stale click on a hidden entry does nothing
    QCoreApplication::processEvents();
    EXPECT_EQ(chosen.size(), 1u);
    paired = true;
    item.syncMenu();
    before[2]->trigger();
    QCoreApplication::processEvents();
    EXPECT_EQ(chosen.back(), "unpair");
}

TEST(QtStatusItem, TheTrayGetsAtMostFourImagesASecond) {
    tavrelin::testing::application<QApplication>();
    qt::QtStatusItem item;
    item.trayAppeared();
    item.setImage(MenuBarIcon::image(Health::idle(), 90));
    item.flush();
    item.setImage(MenuBarIcon::image(Health::idle(), 90)); // the same drawing is not sent again
    item.flush();
    EXPECT_EQ(item.iconUpdates(), 1);
    // A spinner at twelve frames a second, for a second.
    for (int frame = 0; frame < 12; ++frame) {
        item.setImage(MenuBarIcon::image(Health::working(), 90 - 24 * frame));
        tavrelin::testing::spinUntil([] { return false; }, 1000 / 12);
    }
    EXPECT_GE(item.iconUpdates() - 1, 3);
    EXPECT_LE(item.iconUpdates() - 1, 5);
    EXPECT_FALSE(item.trayIcon()->icon().isNull());
}

// How far the icon's most visible pixel stands out from a panel colour, 0 to 255.
int contrastOn(const QImage& icon, QColor panel) {
    int best = 0;
    for (int y = 0; y < icon.height(); ++y)
        for (int x = 0; x < icon.width(); ++x) {
            const QColor c = icon.pixelColor(x, y);
            const int lightness = static_cast<int>(c.alphaF() * c.lightness() + (1 - c.alphaF()) * panel.lightness());
            best = std::max(best, std::abs(lightness - panel.lightness()));
        }
    return best;
}

TEST(QtIconRenderer, DrawsEachColourAtEachSizeAndReadsOnEveryPanel) {
    tavrelin::testing::application<QApplication>();
    // The badge sits bottom-right (y is flipped); the ring alone is at 30 % at the top.
    for (auto [health, at, colour] : {std::tuple{Health::broken("x"), QPoint(16, 16), QColor(255, 59, 48)},
                                      {Health::needsPermission(), {16, 16}, QColor(255, 149, 0)},
                                      {Health::idle(), {8, 1}, QColor(0, 0, 0, 77)},
                                      {Health::idle(), {9, 9}, QColor(0, 0, 0, 255)}}) {
        SCOPED_TRACE(::testing::Message() << static_cast<int>(health.kind) << " at " << at.x() << "," << at.y());
        const QColor pixel = QtIconRenderer::render(MenuBarIcon::image(health, 90), 1).pixelColor(at);
        EXPECT_NEAR(pixel.alpha(), colour.alpha(), 30);
        EXPECT_EQ(pixel.rgb(), colour.rgb());
    }

    // 1× and 2×, and a panel's usual 22 px with its 2×; a template is a mask.
    const QIcon coloured = QtIconRenderer::icon(MenuBarIcon::image(Health::warning("x"), 90));
    EXPECT_EQ(coloured.availableSizes(), (QList<QSize>{{18, 18}, {22, 22}, {36, 36}, {44, 44}}));
    EXPECT_EQ(coloured.pixmap(QSize(36, 36)).toImage().pixelColor(33, 33).rgb(), QColor(255, 204, 0).rgb());
    EXPECT_FALSE(coloured.isMask());
    EXPECT_TRUE(QtIconRenderer::icon(MenuBarIcon::image(Health::idle(), 90)).isMask());

    // The known schemes fit their panel; the outlined neutral rendering fits both.
    const QColor dark(0x20, 0x20, 0x20), light(0xee, 0xee, 0xee);
    for (auto [scheme, onDark, onLight] : {std::tuple{qt::PanelScheme::dark, true, false},
                                           {qt::PanelScheme::light, false, true},
                                           {qt::PanelScheme::unknown, true, true}}) {
        const QImage image =
            QtIconRenderer::render(MenuBarIcon::image(Health::idle(), 90), 2, qt::IconColors::forPanel(scheme));
        EXPECT_EQ(contrastOn(image, dark) > 150, onDark);
        EXPECT_EQ(contrastOn(image, light) > 150, onLight);
    }
}

} // namespace
