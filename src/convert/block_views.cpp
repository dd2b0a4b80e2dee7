// Host memory shared with Python without copies: a memoryview whose exporter
// is a small object of the plugin's own type that holds one host reference on
// a MemoryBlock. Every view, slice and array Python makes from it keeps that
// exporter alive, so the block lives as long as anything in Python can reach
// its bytes; when Python frees the exporter, the reference goes back on a
// host thread (at once, or queued like the output of Python's threads).
#include "convert/block_views.h"

#include <stdlib.h>
#include <string.h>

#include <mutex>
#include <new>
#include <utility>
#include <vector>

#include "plugin/output_queue.h"

namespace {

// ---------------------------------------------------------------------------
// The blocks that exporters hold, one slot each, kept in the plugin's own
// memory: Finalize gives back the references of exporters Python never freed
// without reading the stopped interpreter's objects. Every change happens
// with the interpreter lock held (exporters are made and freed under it) or
// after Python has stopped.

struct BlockSlots {
  // Taken once interpreters with locks of their own exist, which change the
  // slots at the same time as the main one; before that the interpreter
  // lock keeps them in order.
  std::mutex lock;
  std::vector<REALobject> blocks;
  std::vector<uint32_t> free;
};

class SlotGuard {
 public:
  explicit SlotGuard(std::mutex& m) : m_(gOwnLockInterpreters.load(std::memory_order_acquire) ? &m : nullptr) {
    if (m_) m_->lock();
  }
  ~SlotGuard() {
    if (m_) m_->unlock();
  }
  SlotGuard(const SlotGuard&) = delete;
  SlotGuard& operator=(const SlotGuard&) = delete;

 private:
  std::mutex* m_;
};
BlockSlots& Slots() {
  static auto* slots = new BlockSlots();  // never destroyed: Python may free late
  return *slots;
}

// A slot holding the block's reference; false when memory ran out.
bool TakeSlot(REALobject block, uint32_t* slot) {
  BlockSlots& s = Slots();
  SlotGuard guard(s.lock);
  try {
    if (s.free.empty()) {
      s.blocks.push_back(block);
      *slot = uint32_t(s.blocks.size() - 1);
    } else {
      *slot = s.free.back();
      s.free.pop_back();
      s.blocks[*slot] = block;
    }
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

REALobject GiveSlot(uint32_t slot) {
  BlockSlots& s = Slots();
  SlotGuard guard(s.lock);
  REALobject block = s.blocks[slot];
  s.blocks[slot] = nullptr;
  try {
    s.free.push_back(slot);
  } catch (const std::bad_alloc&) {
    // The slot is lost; the block's reference is not.
  }
  return block;
}

// ---------------------------------------------------------------------------
// The exporter of a block's bytes.

struct BlockExporter {
  PyObject ob_base;
  void* data;
  Py_ssize_t size;
  int readonly;
  uint32_t slot;        // where its block's reference is kept
  uint32_t generation;  // the interpreter it was made in
};

int BlockExporter_GetBuffer(PyObject* self, Py_buffer* view, int flags) {
  BlockExporter* e = reinterpret_cast<BlockExporter*>(self);
  // Python's own fill answers a writable request on read-only memory with
  // BufferError, and gives the format "B" when one is asked for.
  return EPyBuffer_FillInfo(view, self, e->data, e->size, e->readonly, flags);
}

// Exporters are made and freed once per FromMemoryBlock and hold no Python
// object. Where objects are laid out in place they live in the plugin's own
// memory, a few kept for the next ones, instead of going through Python's
// allocator each time; otherwise (a build that counts references) Python's
// own allocation keeps its books. Made and freed with the interpreter lock
// held.
constexpr int kKeptExporters = 8;
void* gKeptExporters[kKeptExporters];
int gKeptExporterCount;

// The kept ones are the main interpreter's, used under its lock only.
bool InMainInterpreter() { return tHostThread.enteredGeneration == 0; }

PyObject* NewExporter(PyTypeObject* type) {
  if (!gPythonInPlace) {
    auto alloc = reinterpret_cast<PyObject* (*)(PyTypeObject*, Py_ssize_t)>(type->tp_alloc);
    return alloc ? alloc(type, 0) : nullptr;
  }
  void* memory = gKeptExporterCount > 0 && InMainInterpreter() ? gKeptExporters[--gKeptExporterCount]
                                                              : malloc(sizeof(BlockExporter));
  if (!memory) return nullptr;
  PyObject* o = static_cast<PyObject*>(memset(memory, 0, sizeof(BlockExporter)));
  o->ob_refcnt = 1;
  o->ob_type = type;  // a static type: no reference to take
  return o;
}

void FreeExporter(PyObject* self) {
  if (!gPythonInPlace) {
    Py_TYPE(self)->tp_free(self);
  } else if (gKeptExporterCount < kKeptExporters && InMainInterpreter()) {
    gKeptExporters[gKeptExporterCount++] = self;
  } else {
    free(self);
  }
}

// Runs on whatever thread lets go of the last view; the block's reference is
// given back on a host thread. An exporter Python frees only after Finalize
// gave its block back has nothing left to give.
void BlockExporter_Dealloc(PyObject* self) {
  BlockExporter* e = reinterpret_cast<BlockExporter*>(self);
  if (e->generation != 0 && e->generation == CurrentGenerationOfThread())
    ReleaseOnHostThread(GiveSlot(e->slot));
  FreeExporter(self);
}

PyBufferProcs gBlockExporterBuffer = {BlockExporter_GetBuffer, nullptr};

// The exporter type of one interpreter. Each interpreter readies a fresh
// copy, and none is ever freed: objects of a stopped interpreter may still
// point at theirs. The main interpreter's is at hand; sub-interpreters'
// are looked up.
PyTypeObject* gExporterType;
uint32_t gExporterGeneration;
std::mutex gSubExporterLock;
std::vector<std::pair<uint32_t, PyTypeObject*>> gSubExporterTypes;

PyTypeObject* ExporterType() {
  const uint32_t generation = CurrentGenerationOfThread();
  if (gExporterType && gExporterGeneration == generation) return gExporterType;
  if (!EPyType_Ready || !EPyBuffer_FillInfo) return nullptr;
  std::lock_guard<std::mutex> guard(gSubExporterLock);
  if (generation != gInterpreterGeneration) {
    for (auto& p : gSubExporterTypes)
      if (p.first == generation) return p.second;
  }
  PyTypeObject* type = new (std::nothrow) PyTypeObject();
  if (!type) return nullptr;
  type->ob_base.ob_refcnt = 1;
  type->tp_name = "coilwork.HostMemory";
  type->tp_basicsize = sizeof(BlockExporter);
  type->tp_dealloc = BlockExporter_Dealloc;
  type->tp_as_buffer = &gBlockExporterBuffer;
  type->tp_flags = Py_TPFLAGS_HAVE_VERSION_TAG;
  type->tp_doc = "The bytes of a host MemoryBlock.";
  if (EPyType_Ready(type) < 0) return nullptr;  // kept: Python may hold it half-readied
  if (generation == gInterpreterGeneration) {
    gExporterType = type;
    gExporterGeneration = generation;
  } else {
    gSubExporterTypes.emplace_back(generation, type);
  }
  return type;
}

void RaiseValueError(const char* message) { PyRaise(e__PyExc_ValueError, message); }

}  // namespace

REALobject BlockOfView(PyObject* o, int8_t* writable) {
  if (!o || strcmp(Py_TYPE(o)->tp_name, "memoryview") != 0 || !EPyObject_GetBuffer) return nullptr;
  PyRef exporter(EPyObject_GetAttrString(o, "obj"));
  if (!exporter) {
    EPyErr_Clear();
    return nullptr;
  }
  if (Py_TYPE(exporter.get())->tp_dealloc != BlockExporter_Dealloc) return nullptr;
  BlockExporter* e = reinterpret_cast<BlockExporter*>(exporter.get());
  // Only a view of the whole block: a slice would arrive as more than it shows.
  Py_buffer view;
  if (EPyObject_GetBuffer(o, &view, 0) < 0) {
    EPyErr_Clear();
    return nullptr;
  }
  bool whole = view.buf == e->data && view.len == e->size && view.ndim <= 1;
  bool readonly = view.readonly != 0;
  EPyBuffer_Release(&view);
  if (!whole) return nullptr;
  BlockSlots& s = Slots();
  std::lock_guard<std::mutex> guard(s.lock);
  REALobject block = e->slot < s.blocks.size() ? s.blocks[e->slot] : nullptr;
  if (block) ELockObject(block);
  *writable = readonly ? 0 : 1;
  return block;
}

PyObject* NewBlockView(REALobject block, int8_t writable) {
  if (!PythonRunning()) return nullptr;
  int32_t size = block ? REALMemoryBlockGetSize(block) : -1;
  void* data = block && size >= 0 ? MemoryBlockAddress(block) : nullptr;
  if (!block || size < 0 || (size > 0 && !data)) {
    RaiseValueError(block ? "the MemoryBlock's size or address is not known" : "no MemoryBlock");
    return nullptr;
  }
  PyTypeObject* type = ExporterType();
  if (!type || !EPyMemoryView_FromObject) return nullptr;
  PyRef exporter(NewExporter(type));
  if (!exporter) {
    PyRaise(e__PyExc_MemoryError, "no memory for another MemoryBlock view");
    return nullptr;
  }
  BlockExporter* e = reinterpret_cast<BlockExporter*>(exporter.get());
  e->data = data;
  e->size = size;
  e->readonly = writable ? 0 : 1;
  e->generation = 0;  // holds no block until it has a slot
  if (!TakeSlot(block, &e->slot)) {
    PyRaise(e__PyExc_MemoryError, "no memory for another MemoryBlock view");
    return nullptr;
  }
  ELockObject(block);  // the exporter's reference from here on
  e->generation = CurrentGenerationOfThread();
  // The view keeps the exporter, and so the block, alive.
  return EPyMemoryView_FromObject(exporter.get());
}

void ReleaseBlockViewsAfterFinalize() {
  // Unlocking may run host destructors: work on what was taken out.
  std::vector<REALobject> left;
  {
    BlockSlots& s = Slots();
    std::lock_guard<std::mutex> guard(s.lock);
    left.swap(s.blocks);
    s.free.clear();
  }
  for (REALobject block : left)
    if (block) EUnlockObject(block);
}
