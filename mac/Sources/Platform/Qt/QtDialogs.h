#pragma once

#include "Platform/Dialogs.h"

namespace tavrelin::qt {

// Modal alerts as QMessageBox. Needs a QApplication.
class QtDialogs final : public platform::Dialogs {
public:
    int runModal(const platform::Alert& alert) override;
};

} // namespace tavrelin::qt
