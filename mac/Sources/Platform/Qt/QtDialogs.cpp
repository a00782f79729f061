#include "Platform/Qt/QtDialogs.h"

#include <QAbstractButton>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QStyle>
#include <QVBoxLayout>

#include <vector>

namespace tavrelin::qt {
namespace {

QMessageBox::Icon iconFor(platform::AlertStyle style) {
    switch (style) {
    case platform::AlertStyle::informational:
        return QMessageBox::Information;
    case platform::AlertStyle::critical:
        return QMessageBox::Critical;
    case platform::AlertStyle::warning:
        break;
    }
    return QMessageBox::Warning;
}

std::vector<std::string> buttonTitles(const platform::Alert& alert) {
    if (alert.buttons.empty())
        return {"OK"};
    return alert.buttons;
}

// A window of its own: a parentless dialog would name Qt's hidden leader
// window as its parent, which window managers reject.
void bringForward(QWidget& window) {
    window.setWindowFlags((window.windowFlags() & ~Qt::WindowType_Mask) | Qt::Window | Qt::WindowStaysOnTopHint);
    window.show();
    window.raise();
    window.activateWindow();
}

} // namespace

int QtDialogs::runModal(const platform::Alert& alert) {
    QMessageBox box;
    box.setIcon(iconFor(alert.style));
    box.setWindowTitle(QStringLiteral("Tavrelin"));
    // Titles and texts carry host names taken from links: never rich text.
    box.setTextFormat(Qt::PlainText);
    box.setText(QString::fromStdString(alert.title));
    box.setInformativeText(QString::fromStdString(alert.text));
    if (auto* informative = box.findChild<QLabel*>(QStringLiteral("qt_msgbox_informativelabel")))
        informative->setTextFormat(Qt::PlainText);

    const std::vector<std::string> titles = buttonTitles(alert);
    std::vector<QAbstractButton*> buttons;
    for (const std::string& title : titles) {
        // One role for all keeps them in the order added.
        buttons.push_back(box.addButton(QString::fromStdString(title), QMessageBox::ActionRole));
    }
    box.setDefaultButton(static_cast<QPushButton*>(buttons.front()));
    // Closing the box is the cancelling answer, the last button.
    box.setEscapeButton(buttons.back());

    bringForward(box);
    box.exec();

    QAbstractButton* clicked = box.clickedButton();
    for (std::size_t i = 0; i < buttons.size(); ++i) {
        if (buttons[i] == clicked)
            return platform::firstButton + static_cast<int>(i);
    }
    return platform::firstButton + static_cast<int>(buttons.size()) - 1;
}

} // namespace tavrelin::qt

namespace tavrelin::qt {

platform::FormAnswer QtDialogs::runForm(const platform::Form& form) {
    QDialog dialog;
    dialog.setWindowTitle(QStringLiteral("Tavrelin"));
    auto* layout = new QVBoxLayout(&dialog);

    // Laid out as the alerts are: the style's icon beside a bold title and the text.
    auto* top = new QHBoxLayout;
    const int iconSize = dialog.style()->pixelMetric(QStyle::PM_MessageBoxIconSize, nullptr, &dialog);
    auto* icon = new QLabel;
    icon->setPixmap(dialog.style()
                        ->standardIcon(form.alert.style == platform::AlertStyle::informational
                                           ? QStyle::SP_MessageBoxInformation
                                       : form.alert.style == platform::AlertStyle::critical ? QStyle::SP_MessageBoxCritical
                                                                                            : QStyle::SP_MessageBoxWarning,
                                       nullptr, &dialog)
                        .pixmap(iconSize, iconSize));
    icon->setAlignment(Qt::AlignTop);
    top->addWidget(icon);
    auto* words = new QVBoxLayout;
    auto* title = new QLabel(QString::fromStdString(form.alert.title));
    QFont bold = title->font();
    bold.setBold(true);
    title->setFont(bold);
    title->setTextFormat(Qt::PlainText);
    title->setWordWrap(true);
    words->addWidget(title);
    if (!form.alert.text.empty()) {
        auto* text = new QLabel(QString::fromStdString(form.alert.text));
        text->setTextFormat(Qt::PlainText);
        text->setWordWrap(true);
        text->setMinimumWidth(360);
        words->addWidget(text);
    }
    top->addLayout(words, 1);
    layout->addLayout(top);

    auto* fieldsLayout = new QFormLayout;
    std::vector<QLineEdit*> edits;
    for (const platform::TextField& field : form.fields) {
        auto* edit = new QLineEdit(QString::fromStdString(field.value));
        if (field.hidden)
            edit->setEchoMode(QLineEdit::Password); // also keeps it from being copied out
        fieldsLayout->addRow(QString::fromStdString(field.label), edit);
        edits.push_back(edit);
    }
    layout->addLayout(fieldsLayout);
    // Typing starts in the first field that is still empty.
    for (QLineEdit* edit : edits)
        if (edit->text().isEmpty()) {
            edit->setFocus();
            break;
        }

    const std::vector<std::string> titles = buttonTitles(form.alert);
    auto* box = new QDialogButtonBox;
    std::vector<QPushButton*> buttons;
    int clicked = static_cast<int>(titles.size()) - 1; // closing cancels
    for (std::size_t i = 0; i < titles.size(); ++i) {
        // One role for all keeps them in the order added.
        QPushButton* button = box->addButton(QString::fromStdString(titles[i]), QDialogButtonBox::ActionRole);
        QObject::connect(button, &QPushButton::clicked, &dialog, [&dialog, &clicked, i] {
            clicked = static_cast<int>(i);
            dialog.accept();
        });
        buttons.push_back(button);
    }
    buttons.front()->setDefault(true);
    layout->addWidget(box);

    // Modal from the start: shown before exec(), it would otherwise stay modeless.
    dialog.setWindowModality(Qt::ApplicationModal);
    bringForward(dialog);
    dialog.exec();

    platform::FormAnswer answer{platform::firstButton + clicked, {}};
    for (std::size_t i = 0; i < edits.size(); ++i) {
        answer.values.push_back(edits[i]->text().toStdString());
        if (form.fields[i].hidden)
            edits[i]->clear(); // Qt's own copies are out of reach; the widget's goes now
    }
    return answer;
}

} // namespace tavrelin::qt
