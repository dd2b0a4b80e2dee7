// Placeholder: the Coilwork class record with its constants and enum; the
// shared methods come with the interpreter.
#include "plugin/plugin.h"

namespace {
REALconstant CoilworkConstants[] = {
    {"PY_NO_ERROR = 0", {}},
    {"PY_ERROR_COULD_NOT_CONVERT = 1", {}},
    {"PY_ERROR_INDEX_OUT_OF_BOUNDS = 2", {}},
    {"PY_NIL_PARAM_ERROR = 3", {}},
};

const char* PreferredVersionEntries[] = {
    "PREFERRED_VERSION_LATESTKNOWN = 0", "PREFERRED_VERSION_3_4_X = 1",
    "PREFERRED_VERSION_3_5_X = 2",       "PREFERRED_VERSION_3_6_X = 3",
    "PREFERRED_VERSION_3_7_X = 4",       "PREFERRED_VERSION_3_8_X = 5",
    "PREFERRED_VERSION_3_9_X = 6",       "PREFERRED_VERSION_3_10_X = 7",
    "PREFERRED_VERSION_3_11_X = 8",      "PREFERRED_VERSION_3_12_X = 9",
    "PREFERRED_VERSION_3_13_X = 10",
};

REALenum CoilworkEnums[] = {
    {"PreferredVersionValues", "Integer", REALenumFlag, PreferredVersionEntries,
     sizeof(PreferredVersionEntries) / sizeof(PreferredVersionEntries[0]), 0, 0},
};
}  // namespace

REALclassDefinition CoilworkClass = {
    kCurrentREALControlVersion, "Coilwork", nullptr, 1, 0,
    nullptr, nullptr,
    NO_TABLE,                        // properties
    NO_TABLE,                        // methods
    NO_TABLE,                        // events
    NO_TABLE,                        // event instances
    "",
    NO_TABLE,                        // bindings
    CLASS_TABLE(CoilworkConstants),
    0,
    NO_TABLE,                        // shared properties
    NO_TABLE,                        // shared methods (filled by the interpreter)
    NO_TABLE,                        // delegates
    CLASS_TABLE(CoilworkEnums),
};
