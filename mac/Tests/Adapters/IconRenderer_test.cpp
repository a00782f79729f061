#include "Platform/Qt/QtIconRenderer.h"
#include "TavrelinMac/MenuBarIcon.h"

#include <QGuiApplication>

#include <gtest/gtest.h>

using namespace tavrelin;
using qt::QtIconRenderer;
using Health = SyncState::Health;

namespace {

QGuiApplication& application() {
    static int argc = 1;
    static char name[] = "IconRenderer_test";
    static char* argv[] = {name, nullptr};
    static auto* app = new QGuiApplication(argc, argv);
    return *app;
}

QImage render(const Health& health, double angle = 90, double scale = 1) {
    return QtIconRenderer::render(MenuBarIcon::image(health, angle), scale);
}

double alphaAt(const QImage& image, int x, int y) {
    return image.pixelColor(x, y).alphaF();
}

// Total coverage of the middle of the icon, inside the ring.
double innerAlpha(const QImage& image) {
    double sum = 0;
    for (int y = 5; y < 13; ++y)
        for (int x = 5; x < 13; ++x)
            sum += alphaAt(image, x, y);
    return sum;
}

} // namespace

TEST(QtIconRenderer, BadgeColourSitsInTheBottomRightCorner) {
    struct Case {
        Health health;
        std::optional<QColor> badge;
    };
    const Case cases[] = {
        {Health::broken("x"), QColor(255, 59, 48)},  {Health::needsPermission(), QColor(255, 149, 0)},
        {Health::warning("x"), QColor(255, 204, 0)}, {Health::idle(), std::nullopt},
        {Health::working(), std::nullopt},           {Health::notPaired(), std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.health.kind));
        // Pixel (16, 16) lies wholly inside the badge and clear of the ring.
        const QColor pixel = render(c.health).pixelColor(16, 16);
        if (!c.badge) {
            EXPECT_EQ(pixel.alpha(), 0);
            continue;
        }
        EXPECT_EQ(pixel.alpha(), 255);
        EXPECT_NEAR(pixel.red(), c.badge->red(), 2);
        EXPECT_NEAR(pixel.green(), c.badge->green(), 2);
        EXPECT_NEAR(pixel.blue(), c.badge->blue(), 2);
        // The opposite corner stays empty: the image is not upside down.
        EXPECT_EQ(render(c.health).pixelColor(1, 1).alpha(), 0);
    }
}

TEST(QtIconRenderer, NotPairedGlyphIsDimmerWithTheSameRing) {
    const QImage idle = render(Health::idle()), notPaired = render(Health::notPaired());
    const double ratio = innerAlpha(notPaired) / innerAlpha(idle);
    EXPECT_NEAR(ratio, 0.45, 0.03);
    EXPECT_GT(alphaAt(idle, 9, 9), 0.95);
    // Ring pixels (left edge, middle) are the same in both.
    EXPECT_EQ(idle.pixel(1, 9), notPaired.pixel(1, 9));
    EXPECT_GT(alphaAt(idle, 1, 9), 0.2);
}

TEST(QtIconRenderer, SpinnerCoversTheTopAndLeftOfTheRingAtItsStart) {
    const QImage idle = render(Health::idle()), working = render(Health::working(), 90);
    // Pixel rows count down from the top: row 1 holds the ring's top. The
    // ring alone covers it at 30 %, the spinner almost fully.
    EXPECT_NEAR(alphaAt(idle, 8, 1), 0.3, 0.1);
    EXPECT_GT(alphaAt(working, 8, 1), 0.7);                           // top, 90°…
    EXPECT_GT(alphaAt(working, 1, 9), 0.7);                           // …over the left side, 180°
    EXPECT_NEAR(alphaAt(working, 16, 8), alphaAt(idle, 16, 8), 0.02); // right side untouched
    EXPECT_NEAR(alphaAt(working, 8, 16), alphaAt(idle, 8, 16), 0.02); // bottom untouched

    // At -336 (= 24°) the arc starts right of the top and ends up-left.
    const QImage turned = render(Health::working(), -336);
    EXPECT_GT(alphaAt(turned, 15, 5), 0.7);
    EXPECT_NEAR(alphaAt(turned, 1, 9), alphaAt(idle, 1, 9), 0.02);
}

TEST(QtIconRenderer, ScalesAndTemplates) {
    application();
    const QImage big = render(Health::broken("x"), 90, 2);
    EXPECT_EQ(big.width(), 36);
    EXPECT_EQ(big.height(), 36);
    EXPECT_EQ(big.devicePixelRatio(), 2);
    EXPECT_EQ(big.pixelColor(33, 33).red(), 255);
    EXPECT_EQ(render(Health::idle()).size(), QSize(18, 18));

    // A template's black takes the tint; a coloured image's label colour is its own.
    qt::IconColors colors{QColor(10, 200, 10), QColor(Qt::white), std::nullopt};
    const QImage tinted = QtIconRenderer::render(MenuBarIcon::image(Health::idle(), 90), 1, colors);
    EXPECT_EQ(tinted.pixelColor(9, 9), QColor(Qt::white));
    const QImage labelled = QtIconRenderer::render(MenuBarIcon::image(Health::warning("x"), 90), 1, colors);
    EXPECT_EQ(labelled.pixelColor(9, 9), QColor(10, 200, 10));

    EXPECT_TRUE(QtIconRenderer::icon(MenuBarIcon::image(Health::idle(), 90)).isMask());
    const QIcon coloured = QtIconRenderer::icon(MenuBarIcon::image(Health::warning("x"), 90));
    EXPECT_FALSE(coloured.isMask());
    // 1× and 2×, and a panel's usual 22 px with its 2×, each a pixmap of its own.
    const QList<QSize> sizes = coloured.availableSizes();
    EXPECT_EQ(sizes, (QList<QSize>{{18, 18}, {22, 22}, {36, 36}, {44, 44}}));
    EXPECT_EQ(coloured.pixmap(QSize(36, 36)).toImage().pixelColor(33, 33).red(), 255);
}

namespace {

// How far the icon's most visible pixel stands out from a panel colour: the
// largest difference in lightness after compositing over it, 0 to 255.
int contrastOn(const QImage& icon, QColor panel) {
    int best = 0;
    for (int y = 0; y < icon.height(); ++y) {
        for (int x = 0; x < icon.width(); ++x) {
            const QColor c = icon.pixelColor(x, y);
            const double a = c.alphaF();
            const int lightness = static_cast<int>(a * c.lightness() + (1 - a) * panel.lightness());
            best = std::max(best, std::abs(lightness - panel.lightness()));
        }
    }
    return best;
}

} // namespace

TEST(QtIconRenderer, ReadsOnLightAndDarkPanels) {
    const QColor dark(0x20, 0x20, 0x20), light(0xee, 0xee, 0xee);
    const auto drawing = MenuBarIcon::image(Health::idle(), 90);
    struct Case {
        qt::PanelScheme scheme;
        bool onDark, onLight;
    };
    // The known schemes fit their panel; the neutral rendering fits both.
    const Case cases[] = {
        {qt::PanelScheme::dark, true, false}, {qt::PanelScheme::light, false, true}, {qt::PanelScheme::unknown, true, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.scheme));
        const QImage image = QtIconRenderer::render(drawing, 1, qt::IconColors::forPanel(c.scheme));
        EXPECT_EQ(contrastOn(image, dark) > 150, c.onDark);
        EXPECT_EQ(contrastOn(image, light) > 150, c.onLight);
    }
    // The outline grows the shape without covering it: the glyph's middle keeps its colour.
    const QImage neutral = QtIconRenderer::render(drawing, 2, qt::IconColors::forPanel(qt::PanelScheme::unknown));
    EXPECT_EQ(neutral.size(), QSize(36, 36));
    EXPECT_LT(neutral.pixelColor(18, 18).lightness(), 60);
}
