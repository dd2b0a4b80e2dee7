// Python3Bytes: raw bytes between host Strings or MemoryBlocks and Python's
// bytes objects. No text encoding is applied in either direction.
#include <string.h>

#include "values/holders.h"

namespace {

void Store(REALobject self, PyObject* bytes) {
  EntityBaseData* data = EntityData(self);
  ReplaceHeld(data->held, bytes);
}

// Blocks are sized with a signed 32-bit count.
bool FitsInBlock(long long count) { return count <= INT32_MAX; }

// A copy of the string's bytes exactly as the host stores them, zero bytes
// included. A nil string leaves the handle without an object.
void PythonBytes_ConstructorString(REALobject self, REALstring value) {
  if (!value) return;
  PythonTableBound();
  if (!PythonRunning()) return;
  // The length comes from a separate host method; a host without it leaves
  // 0 and the bytes are measured up to their terminator.
  size_t length = 0;
  const char* bytes = REALGetStringContents(value, &length);
  if (!bytes) return;  // a host string without a byte view
  if (length == 0) length = strlen(bytes);
  Store(self, EPyBytes_FromStringAndSize(bytes, static_cast<Py_ssize_t>(length)));
}

// A copy of the block's bytes: later changes of the block do not reach it.
void PythonBytes_ConstructorMemoryBlock(REALobject self, REALobject value) {
  if (!value) return;
  PythonTableBound();
  if (!PythonRunning()) return;
  int32_t size = REALMemoryBlockGetSize(value);
  const char* address = static_cast<const char*>(MemoryBlockAddress(value));
  if (size < 0 || (size > 0 && !address)) return;  // a block the host cannot show
  Store(self, EPyBytes_FromStringAndSize(size ? address : "", size));
}

// The same bytes in a host String marked as having no known text encoding.
REALstring PythonBytes_ToString(REALobject self) {
  PyObject* bytes = LiveHeld(self);
  if (!bytes) return nullptr;
  const char* contents = EPyBytes_AsString(bytes);  // owned by the bytes object
  if (!contents) return nullptr;
  return REALBuildStringWithEncoding(contents, static_cast<size_t>(EPyBytes_Size(bytes)),
                                     kREALTextEncodingUnknown);
}

// A new MemoryBlock with a copy of the bytes; size 0 gives an empty block.
REALobject PythonBytes_ToMemoryBlock(REALobject self) {
  PyObject* bytes = LiveHeld(self);
  if (!bytes) return nullptr;
  const char* contents = EPyBytes_AsString(bytes);
  if (!contents) return nullptr;
  Py_ssize_t count = EPyBytes_Size(bytes);
  if (!FitsInBlock(count)) return nullptr;
  REALobject block = CreateMemoryBlock(static_cast<int32_t>(count));
  if (!block) return nullptr;
  if (count > 0) {
    void* address = MemoryBlockAddress(block);
    if (!address || REALMemoryBlockGetSize(block) < count) {
      EUnlockObject(block);
      return nullptr;
    }
    memcpy(address, contents, static_cast<size_t>(count));
  }
  return block;
}

int64_t PythonBytes_Size(REALobject self, intptr_t) {
  PyObject* bytes = LiveHeld(self);
  return bytes ? static_cast<int64_t>(EPyBytes_Size(bytes)) : 0;
}

// The bytes object is released by the Python3EntityBase destructor.
void PythonBytes_Destructor(REALobject) {}

REALproperty PythonBytesProperties[] = {
    {nullptr, DOC("Size", "The number of bytes.", "Empty holder or no interpreter: neutral."), "Int64", REALmemberFlag, FN(PythonBytes_Size), nullptr, 0, {}},
};

#define M(fn, decl) {FN(PythonBytes_##fn), nullptr, decl, REALmemberFlag, 0, 0}

REALmethodDefinition PythonBytesMethods[] = {
    M(ConstructorString, DOC("Constructor(value as String)", "Holds a bytes object of the string's bytes as stored, NULs included.", "Nil: empty holder. No interpreter: neutral.")),
    M(ConstructorMemoryBlock, DOC("Constructor(value as MemoryBlock)", "Holds a bytes object of the block's bytes.", "Nil: empty holder. No interpreter: neutral.")),
    M(ToString, DOC("ToString() as String", "The bytes as a String of unknown encoding.", "Empty holder or no interpreter: neutral.")),
    M(ToMemoryBlock, DOC("ToMemoryBlock() as MemoryBlock", "The bytes in a new MemoryBlock.", "Empty holder or no interpreter: neutral. Over 2 GiB: nil.")),
};

#undef M

}  // namespace

REALclassDefinition PythonBytesClass = CLASS_RECORD(
    DOC("Python3Bytes", "A Python bytes object, made from a String's bytes or a MemoryBlock.", ""), "Python3EntityBase", 0,
    nullptr, FN_NO_PYTHON(PythonBytes_Destructor),
    CLASS_TABLE(PythonBytesProperties), CLASS_TABLE(PythonBytesMethods), NO_TABLE,
    NO_TABLE, NO_TABLE, NO_TABLE);
