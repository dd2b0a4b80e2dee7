// Memory shared without copies: a host block viewed by Python, a Python
// buffer read in place by host code, and the 1 MiB round trip shared
// against copied.
#include "bench.h"

namespace coilbench {

// buffer_in: a view over a 1 MiB host block passed to a Python function that
// reads its last byte; the twin makes a memoryview over the same memory.
void OneBufferInPlugin() {
  Obj view = hc.fromMemoryBlock(gBlock, 1);
  Obj p = hc.createInstance(hc.parameters);
  hc.paramsCtor(p, 1);
  hc.setEntity(p, 0, view);
  Obj r = hc.invoke(gLast, p);
  benchmark::DoNotOptimize(hc.resultInt32(r));
  hc.unlock(r);
  hc.unlock(p);
  hc.unlock(view);
}
void OneBufferInRaw() {
  PyObj* view = raw.PyMemoryView_FromMemory(static_cast<char*>(hc.blockPtr(gBlock)), 1 << 20, 0x200);
  PyObj* t = raw.PyTuple_New(1);
  raw.PyTuple_SetItem(t, 0, view);  // the tuple takes the view's reference
  PyObj* r = raw.PyObject_CallObject(gLastRaw, t);
  benchmark::DoNotOptimize(raw.PyLong_AsLong(r));
  raw.Py_DecRef(r);
  raw.Py_DecRef(t);
}

// buffer_out: a held 1 MiB bytearray's buffer, its last byte read through
// Data, released; the twin asks Python for the buffer and gives it back.
void OneBufferOutPlugin() {
  Obj b = hc.getBuffer(gFrame, 1);
  const char* data = static_cast<const char*>(hc.bufferData(b, 0));
  benchmark::DoNotOptimize(data[hc.bufferSize(b, 0) - 1]);
  hc.bufferRelease(b);
  hc.unlock(b);
}
void OneBufferOutRaw() {
  RawBuffer view;
  raw.PyObject_GetBuffer(gFrameRaw, &view, 0x38 | 0x4 | 0x1);  // C-contiguous, format, writable
  benchmark::DoNotOptimize(static_cast<const char*>(view.buf)[view.len - 1]);
  raw.PyBuffer_Release(&view);
}

// For information: 1 MiB host -> Python -> host, handed to a Python function
// that gives it back, then read by host code: copied (Python3Bytes in,
// BytesValue and ToMemoryBlock out) against shared (FromMemoryBlock in,
// GetBuffer out).
void OneRoundTripCopied() {
  Obj b = hc.createInstance(hc.bytes);
  hc.bytesFromBlock(b, gBlock);
  Obj p = hc.createInstance(hc.parameters);
  hc.paramsCtor(p, 1);
  hc.setEntity(p, 0, b);
  Obj r = hc.invoke(gSame, p);
  Obj back = hc.resultBytes(r);
  Obj out = hc.bytesToBlock(back);
  benchmark::DoNotOptimize(static_cast<char*>(hc.blockPtr(out))[(1 << 20) - 1]);
  for (Obj o : {out, back, r, p, b}) hc.unlock(o);
}
void OneRoundTripShared() {
  Obj view = hc.fromMemoryBlock(gBlock, 1);
  Obj p = hc.createInstance(hc.parameters);
  hc.paramsCtor(p, 1);
  hc.setEntity(p, 0, view);
  Obj r = hc.invoke(gSame, p);
  Obj back = hc.resultEntity(r);
  Obj b = hc.getBuffer(back, 0);
  benchmark::DoNotOptimize(static_cast<const char*>(hc.bufferData(b, 0))[(1 << 20) - 1]);
  hc.bufferRelease(b);
  for (Obj o : {b, back, r, p, view}) hc.unlock(o);
}

}  // namespace coilbench
