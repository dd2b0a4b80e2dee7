// Placeholder: the class record without members yet.
#include "plugin/plugin.h"

REALclassDefinition PythonModuleClass = {
    kCurrentREALControlVersion, "Python3Module", "Python3Object", sizeof(ModuleData), 0,
    nullptr, nullptr,          // constructor, destructor
    NO_TABLE,                  // properties
    NO_TABLE,                  // methods
    NO_TABLE,                  // events
    NO_TABLE,                  // event instances
    "",                        // interfaces
    NO_TABLE,                  // bindings
    NO_TABLE,                  // constants
    0,                         // flags
    NO_TABLE,                  // shared properties
    NO_TABLE,                  // shared methods
    NO_TABLE,                  // delegates
    NO_TABLE,                  // enums
};
