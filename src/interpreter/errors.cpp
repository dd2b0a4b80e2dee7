// The Python3ErrorTypes module: the exception types that SetError raises.
#include "plugin/plugin.h"

namespace {
REALconstant PythonErrorTypesConstants[] = {
    {"AssertionError = 1", {}},        {"AttributeError = 2", {}},   {"EOFError = 3", {}},
    {"FloatingPointError = 4", {}},    {"IOError = 5", {}},          {"ImportError = 6", {}},
    {"IndexError = 7", {}},            {"KeyError = 8", {}},         {"KeyboardInterrupt = 9", {}},
    {"MemoryError = 10", {}},          {"NameError = 11", {}},       {"NotImplementedError = 12", {}},
    {"OSError = 13", {}},              {"OverflowError = 14", {}},   {"RuntimeError = 15", {}},
    {"SyntaxError = 16", {}},          {"SystemError = 17", {}},     {"SystemExit = 18", {}},
    {"TypeError = 19", {}},            {"ValueError = 20", {}},      {"ZeroDivisionError = 21", {}},
    {"ReferenceError = 22", {}},
};
}  // namespace

REALmoduleDefinition PythonErrorTypesModule = {
    kCurrentREALControlVersion, "Python3ErrorTypes", NO_TABLE,
    CLASS_TABLE(PythonErrorTypesConstants), {},
};
