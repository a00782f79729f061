// Writes PNGs of the tray icon for every health and a few spinner frames, at
// 1× and 2×, into the folder given as argument.
//
//   icon-preview <folder> [--label=#rrggbb] [--tint=#rrggbb] [--scales=1,2]
//
// Template images are drawn in black unless --tint gives the colour a tray
// would put in their place; the label colour defaults to black as well.

#include "Platform/Qt/QtIconRenderer.h"
#include "TavrelinMac/MenuBarIcon.h"

#include <QDir>
#include <QGuiApplication>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

using namespace tavrelin;
using Health = SyncState::Health;

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);

    QString folder;
    qt::IconColors colors;
    std::vector<int> scales{1, 2};
    bool usable = true;
    for (const QString& argument : app.arguments().mid(1)) {
        if (argument.startsWith("--label="))
            colors.label = QColor(argument.mid(8));
        else if (argument.startsWith("--tint="))
            colors.templateTint = QColor(argument.mid(7));
        else if (argument.startsWith("--scales=")) {
            scales.clear();
            for (const QString& part : argument.mid(9).split(',')) {
                bool ok = false;
                const int scale = part.toInt(&ok);
                usable = usable && ok && scale >= 1 && scale <= 64;
                scales.push_back(scale);
            }
        } else if (folder.isEmpty())
            folder = argument;
    }
    if (!usable || folder.isEmpty() || !colors.label.isValid() || !colors.templateTint.isValid()) {
        std::fprintf(stderr, "usage: icon-preview <folder> [--label=#rrggbb] [--tint=#rrggbb] [--scales=1,2]\n");
        return 2;
    }
    if (!QDir().mkpath(folder)) {
        std::fprintf(stderr, "cannot create %s\n", qPrintable(folder));
        return 1;
    }

    std::vector<std::pair<std::string, platform::Drawing>> icons{
        {"idle", MenuBarIcon::image(Health::idle(), 90)},
        {"notPaired", MenuBarIcon::image(Health::notPaired(), 90)},
        {"warning", MenuBarIcon::image(Health::warning("1 couldn’t be saved"), 90)},
        {"broken", MenuBarIcon::image(Health::broken("token refused"), 90)},
        {"needsPermission", MenuBarIcon::image(Health::needsPermission(), 90)},
    };
    for (double angle : {90.0, 66.0, 42.0, -6.0, -150.0, -336.0})
        icons.emplace_back("working" + std::to_string(static_cast<int>(angle)), MenuBarIcon::image(Health::working(), angle));

    for (const auto& [name, drawing] : icons) {
        for (int scale : scales) {
            const QString path = QDir(folder).filePath(QString::fromStdString(name) + QStringLiteral("@%1x.png").arg(scale));
            if (!qt::QtIconRenderer::render(drawing, scale, colors).save(path)) {
                std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
                return 1;
            }
            std::printf("%s\n", qPrintable(path));
        }
    }
    return 0;
}
