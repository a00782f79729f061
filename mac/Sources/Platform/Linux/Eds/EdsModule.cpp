// The module's entry point; the copies of our static libraries it holds stay hidden.

#include "Platform/Linux/Eds/EdsRemindersDatabase.h"

// Read by the agent before it calls anything here.
extern "C" [[gnu::visibility("default")]] const char tavrelin_eds_build_stamp[] = TAVRELIN_BUILD_STAMP;

extern "C" [[gnu::visibility("default")]] tavrelin::eds::EdsTaskLists* tavrelin_eds_task_lists() {
    return new tavrelin::eds::EdsRemindersDatabase();
}
