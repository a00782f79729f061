// The module's entry point; the copies of our static libraries it holds stay hidden.

#include "Platform/Eds/EdsRemindersDatabase.h"

extern "C" [[gnu::visibility("default")]] tavrelin::eds::EdsTaskLists* tavrelin_eds_task_lists() {
    return new tavrelin::eds::EdsRemindersDatabase();
}
