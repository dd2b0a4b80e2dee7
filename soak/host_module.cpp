#include "soak.h"

namespace coilsoak {
namespace {

constexpr int32_t kValueError = 20;

Obj gModule;
Obj gClass;

void SetError(const std::string& message) {
  Str m = host.newString(message);
  host.callShared<void>("Coilwork", "SetError(errorType as Integer, message as String)", kValueError, m);
  host.unlockString(m);
}

int64_t Int(Obj p, int32_t i) {
  return host.call<int64_t>(p, "Int64Value(index as Integer) as Int64", i);
}

void* Int64Answer(int64_t value) {
  return coildrive::Answer(host.create("Python3Result", "Constructor(value as Int64)", value));
}

void* Add(void*, void* args) {
  Obj p = coildrive::Arguments(args);
  int64_t sum = Int(p, 0) + Int(p, 1);
  host.unlock(p);
  return Int64Answer(sum);
}

// Raises ValueError with its argument as the message.
void* Fail(void*, void* args) {
  Obj p = coildrive::Arguments(args);
  Str text = host.call<Str>(p, "StringValue(index as Integer) as String", int32_t(0));
  host.unlock(p);
  SetError(host.bytes(text));
  host.unlockString(text);
  return nullptr;
}

int32_t AccInit(void* self, void* args, void*) {
  Obj p = coildrive::Arguments(args);
  int64_t start = Int(p, 0);
  host.unlock(p);
  if (!self || start < 0) {
    SetError("no negative start");
    return -1;
  }
  return 0;
}

void* AccPlus(void* self, void* args) {
  if (!self) {
    SetError("a method without its instance");
    return nullptr;
  }
  return Add(nullptr, args);
}

}  // namespace

void RegisterHostModule() {
  ReleaseHostModule();
  gModule = coildrive::NewHostModule("soakhost", 2);
  coildrive::AddHostFunction(gModule, "add", reinterpret_cast<void*>(&Add));
  coildrive::AddHostFunction(gModule, "fail", reinterpret_cast<void*>(&Fail));
  Str name = host.newString("Acc");
  gClass = host.create("Python3XojoClass", "Constructor(name as String, methodCount as UInt32, initMethod as Ptr)",
                       name, uint32_t(1), reinterpret_cast<void*>(&AccInit));
  host.unlockString(name);
  coildrive::AddHostFunction(gClass, "plus", reinterpret_cast<void*>(&AccPlus));
  host.call<void>(gModule, "AddClass(classToAdd as Python3XojoClass)", gClass);
  coildrive::RegisterHostModule(gModule, 0);
}

void ReleaseHostModule() {
  for (Obj* o : {&gClass, &gModule}) {
    if (*o) host.unlock(*o);
    *o = nullptr;
  }
}

}  // namespace coilsoak
