// The module's one exported symbol; everything else in it is hidden.

#include "Platform/Eds/EdsRemindersDatabase.h"

extern "C" [[gnu::visibility("default")]] tavrelin::eds::EdsTaskLists* tavrelin_eds_task_lists() {
    return new tavrelin::eds::EdsRemindersDatabase();
}
