// Host strings: immutable, reference counted, bytes plus an encoding code, and
// the conversions between the encodings the host knows.
#include <cstdlib>
#include <cstring>

#include "impl.h"

namespace emuhost {
namespace {

// Windows-1252 at 0x80..0x9F; 0 marks the five bytes that have no character.
const uint16_t kWin1252High[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178,
};

// Decodes strict UTF-8: no overlong forms, no surrogates, nothing above
// U+10FFFF, no truncated sequences.
bool DecodeUTF8(const unsigned char* p, size_t n, std::u32string* out) {
  size_t i = 0;
  while (i < n) {
    unsigned char c = p[i];
    if (c < 0x80) {
      if (out) out->push_back(c);
      ++i;
      continue;
    }
    size_t len;
    char32_t cp;
    unsigned char lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
      cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      cp = c & 0x0F;
      if (c == 0xE0) lo = 0xA0;
      if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      cp = c & 0x07;
      if (c == 0xF0) lo = 0x90;
      if (c == 0xF4) hi = 0x8F;
    } else {
      return false;
    }
    if (n - i < len) return false;
    for (size_t k = 1; k < len; ++k) {
      unsigned char t = p[i + k];
      if (k == 1 ? (t < lo || t > hi) : (t < 0x80 || t > 0xBF)) return false;
      cp = (cp << 6) | (t & 0x3F);
    }
    if (out) out->push_back(cp);
    i += len;
  }
  return true;
}

// True when none of the 64 bytes at p has its high bit set.
inline bool AsciiBlock(const unsigned char* p) {
  uint64_t w[8];
  memcpy(w, p, sizeof w);
  return ((w[0] | w[1] | w[2] | w[3] | w[4] | w[5] | w[6] | w[7]) & 0x8080808080808080ULL) == 0;
}

// The same test as DecodeUTF8 without decoding: runs of ASCII are checked a
// block at a time, the rest a sequence at a time.
bool ValidUTF8(const unsigned char* p, size_t n) {
  size_t i = 0;
  while (i < n) {
    if (p[i] < 0x80) {
      while (n - i >= 64 && AsciiBlock(p + i)) i += 64;
      while (i < n && p[i] < 0x80) ++i;
      continue;
    }
    unsigned char c = p[i];
    size_t len;
    unsigned char lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      if (c == 0xE0) lo = 0xA0;
      if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      if (c == 0xF0) lo = 0x90;
      if (c == 0xF4) hi = 0x8F;
    } else {
      return false;
    }
    if (n - i < len) return false;
    if (p[i + 1] < lo || p[i + 1] > hi) return false;
    for (size_t k = 2; k < len; ++k)
      if ((p[i + k] & 0xC0) != 0x80) return false;
    i += len;
  }
  return true;
}

bool Decode(const char* bytes, size_t n, uint32_t enc, std::u32string& out) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(bytes);
  switch (enc) {
    case kUTF8:
      return DecodeUTF8(p, n, &out);
    case kASCII:
      for (size_t i = 0; i < n; ++i) {
        if (p[i] >= 0x80) return false;
        out.push_back(p[i]);
      }
      return true;
    case kLatin1:
      for (size_t i = 0; i < n; ++i) out.push_back(p[i]);
      return true;
    case kWinLatin1:
      for (size_t i = 0; i < n; ++i) {
        char32_t c = p[i];
        if (c >= 0x80 && c <= 0x9F) {
          c = kWin1252High[c - 0x80];
          if (!c) return false;
        }
        out.push_back(c);
      }
      return true;
    case kUTF16: {
      if (n % 2) return false;
      size_t units = n / 2;
      for (size_t i = 0; i < units; ++i) {
        uint16_t u;
        memcpy(&u, p + 2 * i, 2);
        if (u >= 0xD800 && u <= 0xDBFF) {
          if (i + 1 >= units) return false;
          uint16_t v;
          memcpy(&v, p + 2 * (i + 1), 2);
          if (v < 0xDC00 || v > 0xDFFF) return false;
          out.push_back(0x10000 + ((char32_t(u) - 0xD800) << 10) + (v - 0xDC00));
          ++i;
        } else if (u >= 0xDC00 && u <= 0xDFFF) {
          return false;
        } else {
          out.push_back(u);
        }
      }
      return true;
    }
    default:
      return false;
  }
}

uint8_t Win1252Byte(char32_t c) {
  if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) return uint8_t(c);
  for (int i = 0; i < 32; ++i)
    if (kWin1252High[i] && kWin1252High[i] == c) return uint8_t(0x80 + i);
  return 0;
}

void PutUTF8(char32_t c, std::string& out) {
  if (c < 0x80) {
    out.push_back(char(c));
  } else if (c < 0x800) {
    out.push_back(char(0xC0 | (c >> 6)));
    out.push_back(char(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(char(0xE0 | (c >> 12)));
    out.push_back(char(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(char(0x80 | (c & 0x3F)));
  } else {
    out.push_back(char(0xF0 | (c >> 18)));
    out.push_back(char(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(char(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(char(0x80 | (c & 0x3F)));
  }
}

void PutUTF16(uint16_t u, std::string& out) {
  char b[2];
  memcpy(b, &u, 2);
  out.append(b, 2);
}

bool Encode(const std::u32string& text, uint32_t enc, std::string& out) {
  out.clear();
  switch (enc) {
    case kUTF8:
      for (char32_t c : text) PutUTF8(c, out);
      return true;
    case kASCII:
      for (char32_t c : text) {
        if (c >= 0x80) return false;
        out.push_back(char(c));
      }
      return true;
    case kLatin1:
      for (char32_t c : text) {
        if (c >= 0x100) return false;
        out.push_back(char(c));
      }
      return true;
    case kWinLatin1:
      for (char32_t c : text) {
        uint8_t b = Win1252Byte(c);
        if (!b && c) return false;
        out.push_back(char(b));
      }
      return true;
    case kUTF16:
      for (char32_t c : text) {
        if (c >= 0x10000) {
          PutUTF16(uint16_t(0xD800 + ((c - 0x10000) >> 10)), out);
          PutUTF16(uint16_t(0xDC00 + ((c - 0x10000) & 0x3FF)), out);
        } else {
          PutUTF16(uint16_t(c), out);
        }
      }
      return true;
    default:
      return false;
  }
}

// --- Entries ---------------------------------------------------------------

// True when the text asked for in encoding `to` is the stored bytes
// themselves, provided they are valid in `*check` (kUnknown: no check).
bool StoredFormIs(uint32_t from, uint32_t to, uint32_t* check) {
  if (to == kUnknown) {
    *check = from;  // raw bytes: valid text in their own encoding
    return true;
  }
  if (from == kUnknown) from = kUTF8;  // raw bytes count as text only when they are UTF-8
  if (from != to) return false;
  *check = from;
  return true;
}

bool ValidIn(const char* bytes, size_t n, uint32_t enc) {
  if (enc == kUnknown || enc == kLatin1) return true;
  if (enc == kUTF8) return ValidUTF8(reinterpret_cast<const unsigned char*>(bytes), n);
  std::u32string text;
  return Decode(bytes, n, enc, text);
}

int8_t GetStringData(REALstring s, uint32_t encoding, REALstringData* out) {
  if (!out) return 0;
  std::string text;
  if (s) {
    StrHeader* h = I().header(s);
    uint32_t check;
    if (StoredFormIs(h->encoding, encoding, &check)) {
      // Already in the form asked for: the string's own bytes (NUL-terminated)
      // are handed out, and the string is kept alive until they are disposed.
      if (!ValidIn(h->bytes(), h->length, check)) return 0;
      AtomicAdd(h->refs, 1);
      out->data = h->bytes();
      out->length = h->length;
      out->hostReserved[0] = kStringDataMagic;
      out->hostReserved[1] = encoding;
      out->hostReserved[2] = reinterpret_cast<uintptr_t>(h);
      Bump(Book().stringData, 1);
      return 1;
    }
    if (!ConvertText(h->bytes(), h->length, h->encoding, encoding, text)) return 0;
  }  // the nil string is the empty text in every encoding
  char* data = static_cast<char*>(malloc(text.size() + 2));
  if (!data) return 0;
  memcpy(data, text.data(), text.size());
  data[text.size()] = data[text.size() + 1] = 0;
  out->data = data;
  out->length = text.size();
  out->hostReserved[0] = kStringDataMagic;
  out->hostReserved[1] = encoding;
  out->hostReserved[2] = 0;
  Bump(Book().stringData, 1);
  return 1;
}

void DisposeStringData(REALstringData* d) {
  if (!d || d->hostReserved[0] != kStringDataMagic || !d->data) return;
  if (d->hostReserved[2])
    UnlockStringEntry(reinterpret_cast<REALstring>(d->hostReserved[2]));
  else
    free(const_cast<void*>(d->data));
  Bump(Book().stringData, -1);
  memset(d, 0, sizeof *d);
}

const char* StringGetCString(REALstring s) { return s ? LiveString(s)->bytes() : nullptr; }

// The text of a string as UTF-8, or its stored bytes when it has none.
std::string ComparableText(REALstring s) {
  if (!s) return std::string();
  StrHeader* h = I().header(s);
  std::string text;
  if (ConvertText(h->bytes(), h->length, h->encoding, kUTF8, text)) return text;
  return std::string(h->bytes(), h->length);
}

int32_t StringCompare(REALstring a, REALstring b) {
  std::string x = ComparableText(a), y = ComparableText(b);
  int c = x.compare(y);
  return c < 0 ? -1 : c > 0 ? 1 : 0;
}

uint32_t GetStringEncoding(REALstring s) { return s ? LiveString(s)->encoding : kUTF8; }

REALstring ConvertString(REALstring s, uint32_t encoding) {
  if (!s) return nullptr;
  StrHeader* h = I().header(s);
  std::string text;
  if (!ConvertText(h->bytes(), h->length, h->encoding, encoding, text)) return nullptr;
  return I().makeString(text.data(), text.size(), encoding);
}

REALstring AddStrings(REALstring a, REALstring b) {
  uint32_t ea = GetStringEncoding(a), eb = GetStringEncoding(b);
  if (!a) ea = eb;
  if (!b) eb = ea;
  if (ea == eb) {
    std::string joined;
    if (a) joined.append(I().header(a)->bytes(), I().header(a)->length);
    if (b) joined.append(I().header(b)->bytes(), I().header(b)->length);
    return I().makeString(joined.data(), joined.size(), ea);
  }
  std::string x, y;
  StrHeader* ha = I().header(a);
  StrHeader* hb = I().header(b);
  if (!ConvertText(ha->bytes(), ha->length, ha->encoding, kUTF8, x) ||
      !ConvertText(hb->bytes(), hb->length, hb->encoding, kUTF8, y))
    return nullptr;
  x += y;
  return I().makeString(x.data(), x.size(), kUTF8);
}

uint32_t SystemTextEncoding() { return kUTF8; }

int32_t LenB(REALstring s) { return s ? int32_t(LiveString(s)->length) : 0; }

void* LoadGlobalMethod(const char* module, const char* declaration) {
  if (!declaration) return nullptr;
  return Host::get().globalMethod(declaration);
}

}  // namespace

bool ConvertText(const char* bytes, size_t length, uint32_t from, uint32_t to, std::string& out) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(bytes);
  if (to == kUnknown) {
    // Raw bytes asked for: the bytes as stored, provided they are valid text
    // in their own encoding.
    if (!ValidIn(bytes, length, from)) return false;
    out.assign(bytes, length);
    return true;
  }
  if (from == kUnknown) from = kUTF8;  // raw bytes count as text only when they are UTF-8
  if (from == to && (to == kUTF8 || to == kLatin1)) {
    if (to == kUTF8 && !ValidUTF8(p, length)) return false;
    out.assign(bytes, length);
    return true;
  }
  std::u32string text;
  if (!Decode(bytes, length, from, text)) return false;
  return Encode(text, to, out);
}

void LockStringEntry(REALstring s) {
  if (s) AtomicAdd(I().header(s)->refs, 1);
}

void UnlockStringEntry(REALstring s) {
  if (!s) return;
  Host::Impl& impl = I();
  StrHeader* h = impl.header(s);
  if (Release(h->refs) > 0) return;
  Bump(Book().strings, -1);
  h->magic = 0;
  free(h);
}

REALstring BuildStringEntry(const char* bytes, size_t count, uint32_t encoding) {
  if (!bytes && count) return nullptr;
  return I().makeString(bytes, count, encoding);
}

REALstring Host::Impl::makeString(const char* bytes, size_t length, uint32_t encoding) {
  StrHeader* h = static_cast<StrHeader*>(malloc(sizeof(StrHeader) + length + 2));
  if (!h) Fatal("out of memory for a string of %zu bytes", length);
  h->magic = kStringMagic;
  h->refs = 1;
  h->encoding = encoding;
  h->length = length;
  if (length) memcpy(h->bytes(), bytes, length);
  h->bytes()[length] = h->bytes()[length + 1] = 0;
  Bump(Book().strings, 1);
  return reinterpret_cast<REALstring>(h);
}

void NotLiveString(const void* s) { Fatal("%p is not a live host string", s); }

StrHeader* Host::Impl::header(REALstring s) const { return LiveString(s); }

void AddStringEntries(std::unordered_map<std::string, void*>& e) {
  e["REALBuildStringWithEncoding"] = reinterpret_cast<void*>(&BuildStringEntry);
  e["PluginGetStringData"] = reinterpret_cast<void*>(&GetStringData);
  e["PluginDisposeStringData"] = reinterpret_cast<void*>(&DisposeStringData);
  e["StringGetCString"] = reinterpret_cast<void*>(&StringGetCString);
  e["RuntimeStringCompare"] = reinterpret_cast<void*>(&StringCompare);
  e["REALLockString"] = reinterpret_cast<void*>(&LockStringEntry);
  e["REALUnlockString"] = reinterpret_cast<void*>(&UnlockStringEntry);
  e["REALGetStringEncoding"] = reinterpret_cast<void*>(&GetStringEncoding);
  e["REALConvertString"] = reinterpret_cast<void*>(&ConvertString);
  e["RuntimeAddString"] = reinterpret_cast<void*>(&AddStrings);
  e["REALGetSystemTextEncoding"] = reinterpret_cast<void*>(&SystemTextEncoding);
  e["REALLoadGlobalMethod"] = reinterpret_cast<void*>(&LoadGlobalMethod);
}

void* LenBMethod() { return reinterpret_cast<void*>(&LenB); }

}  // namespace emuhost
