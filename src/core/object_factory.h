// The class factory: one compile-time table of the eleven conversion classes.
#ifndef TALLORY_CORE_OBJECT_FACTORY_H
#define TALLORY_CORE_OBJECT_FACTORY_H

#include "tallory/conv.h"

namespace tallory::core {

struct ClassDescriptor {
    const CLSID* classId;
    // A new object with a reference count of 0, or null when memory ran out.
    // Null while the class is not built into this library.
    IUnknown* (*create)();
    // The TalloryDialogKind of the default-settings dialog, 0 for none.
    int defaultSettingsDialog;
};

// The descriptor of classId, or null if the factory does not know it.
const ClassDescriptor* findClass(const CLSID& classId);

}  // namespace tallory::core

#endif
