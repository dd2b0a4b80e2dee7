// Values both ways: 1 MiB strings (ASCII and mixed UTF-8), 1 MiB of bytes
// through Python3Bytes, a list and a dict of 100,000 items.
#include <string.h>

#include <string>
#include <vector>

#include "bench.h"

namespace coilbench {

// string in / out: 1 MiB of ASCII, and of mixed UTF-8.
// Mixed: ASCII words between two-, three- and four-byte characters, in turn.
std::string MakeText(bool mixed) {
  std::string s;
  const char* pieces[] = {"abc def ", "\xc3\xa9t\xc3\xa9 ", "\xe2\x82\xac ", "\xf0\x9f\x90\x8d "};
  for (size_t n = 0; s.size() < (1u << 20); ++n) s += mixed ? pieces[n % 4] : "abcdefgh";
  s.resize(1u << 20);
  while (mixed && (static_cast<unsigned char>(s.back()) & 0xC0) == 0x80) s.pop_back();
  if (mixed && static_cast<unsigned char>(s.back()) >= 0xC0) s.pop_back();
  return s;
}
std::string gAscii, gMixed;
Str gAsciiStr, gMixedStr;
std::vector<char> gTextOut((1u << 20) + 1);

template <Str* S>
void OneStringPlugin() {
  Obj e = hc.fromString(*S);
  Str back = hc.entityString(e, 0);
  benchmark::DoNotOptimize(back);
  hc.unlockString(back);
  hc.unlock(e);
}
template <std::string* Text>
void OneStringRaw() {
  PyObj* u = raw.PyUnicode_FromStringAndSize(Text->data(), Text->size());
  intptr_t n = 0;
  const char* p = raw.PyUnicode_AsUTF8AndSize(u, &n);
  memcpy(gTextOut.data(), p, n);
  benchmark::DoNotOptimize(gTextOut.data());
  raw.Py_DecRef(u);
}

// bytes: a 1 MiB MemoryBlock into Python3Bytes and back out.
Obj gBlock;
std::vector<char> gBytesSrc(1u << 20, 'x'), gBytesMid(1u << 20), gBytesDst(1u << 20);
void OneBytesPlugin() {
  Obj b = hc.createInstance(hc.bytes);
  hc.bytesFromBlock(b, gBlock);
  Obj out = hc.bytesToBlock(b);
  benchmark::DoNotOptimize(out);
  hc.unlock(out);
  hc.unlock(b);
}
void OneBytesRaw() {
  memcpy(gBytesMid.data(), gBytesSrc.data(), gBytesSrc.size());
  memcpy(gBytesDst.data(), gBytesMid.data(), gBytesMid.size());
  benchmark::DoNotOptimize(gBytesDst.data());
}

// list: 100,000 Append of FromInt32 entities, then GetItem of each.
void OneListPlugin() {
  Obj l = hc.createInstance(hc.list);
  hc.listCtor(l);
  for (int32_t i = 0; i < kItems; i++) {
    Obj e = hc.fromInt32(i);
    hc.listAppend(l, e);
    hc.unlock(e);
  }
  for (int32_t i = 0; i < kItems; i++) {
    Obj e = hc.listGetItem(l, i);
    benchmark::DoNotOptimize(e);
    hc.unlock(e);
  }
  hc.unlock(l);
}
void OneListRaw() {
  PyObj* l = raw.PyList_New(0);
  for (int32_t i = 0; i < kItems; i++) {
    PyObj* v = raw.PyLong_FromLong(i);
    raw.PyList_Append(l, v);
    raw.Py_DecRef(v);
  }
  for (int32_t i = 0; i < kItems; i++) benchmark::DoNotOptimize(raw.PyList_GetItem(l, i));
  raw.Py_DecRef(l);
}

// dict: 100,000 SetValue and GetValue with String keys.
std::vector<std::string> gKeys;
std::vector<Str> gKeyStrs;
Obj gDictValue;        // FromInt32(7)
PyObj* gDictRawValue;  // 7
void OneDictPlugin() {
  Obj d = hc.createInstance(hc.dictionary);
  hc.dictCtor(d);
  for (Str k : gKeyStrs) hc.dictSet(d, k, gDictValue);
  for (Str k : gKeyStrs) {
    Obj e = hc.dictGet(d, k);
    benchmark::DoNotOptimize(e);
    hc.unlock(e);
  }
  hc.unlock(d);
}
void OneDictRaw() {
  PyObj* d = raw.PyDict_New();
  for (const std::string& k : gKeys) {
    PyObj* key = raw.PyUnicode_FromStringAndSize(k.data(), k.size());
    raw.PyDict_SetItem(d, key, gDictRawValue);
    raw.Py_DecRef(key);
  }
  for (const std::string& k : gKeys) {
    PyObj* key = raw.PyUnicode_FromStringAndSize(k.data(), k.size());
    benchmark::DoNotOptimize(raw.PyDict_GetItem(d, key));
    raw.Py_DecRef(key);
  }
  raw.Py_DecRef(d);
}

template void OneStringPlugin<&gAsciiStr>();
template void OneStringPlugin<&gMixedStr>();
template void OneStringRaw<&gAscii>();
template void OneStringRaw<&gMixed>();

}  // namespace coilbench
