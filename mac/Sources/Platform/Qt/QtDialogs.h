#pragma once

#include "Platform/Dialogs.h"

namespace tavrelin::qt {

// Modal alerts as QMessageBox, forms as a dialog of line edits in the same
// shape (title, text, fields, buttons in order). Needs a QApplication.
class QtDialogs final : public platform::Dialogs {
public:
    int runModal(const platform::Alert& alert) override;
    // A hidden field echoes nothing and cannot be copied out.
    platform::FormAnswer runForm(const platform::Form& form) override;
};

} // namespace tavrelin::qt
