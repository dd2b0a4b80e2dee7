/*
 * Coilwork public header: the host handle types, the definition records the
 * plugin hands to its host, and the exported binding functions.
 *
 * Every field of every definition record is one machine word (32 bits on
 * armhf, 64 bits on x86_64). Declared host types map to C types as follows:
 * Integer/Int32/enum -> int32_t, UInt32 -> uint32_t, Int64/UInt64 ->
 * int64_t/uint64_t, Double -> double, Boolean -> int8_t (0 false, anything
 * else true), String -> REALstring (nil allowed, nil is the empty string),
 * Ptr -> void*, Object and every class -> REALobject (nil allowed).
 */
#ifndef COILWORK_PLUGIN_INTERFACE_H
#define COILWORK_PLUGIN_INTERFACE_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct REALobjectStruct REALobjectStruct;
typedef struct REALstringStruct REALstringStruct;
typedef struct REALarrayStruct REALarrayStruct;
typedef struct REALclassRefStruct REALclassRefStruct;
typedef struct RuntimeText RuntimeText;

typedef REALobjectStruct* REALobject;
typedef REALstringStruct* REALstring;
typedef REALarrayStruct* REALarray;
typedef REALclassRefStruct* REALclassRef;
typedef RuntimeText* REALtext;

/* A plain function pointer as stored in records; cast to the real signature
 * before calling. */
typedef void (*REALproc)(void);

/* The host's resolver: entry name in, entry address (or null) out. */
typedef void* (*REALResolver)(const char* entryName);

/* Host text encodings. */
enum {
  kREALTextEncodingUTF8 = 0x08000100,
  kREALTextEncodingASCII = 0x0600,
  kREALTextEncodingISOLatin1 = 0x0201,
  kREALTextEncodingWindowsLatin1 = 0x0500,
  kREALTextEncodingUTF16 = 0x0100,
  kREALTextEncodingUnknown = 0xFFFF
};

/* Filled by REALGetStringData, released by REALDisposeStringData. */
typedef struct REALstringData {
  const void* data;
  size_t length;
  uintptr_t hostReserved[3];
} REALstringData;

/* Method record (instance and shared methods): 6 words. */
typedef struct REALmethodDefinition {
  REALproc function;
  REALproc setterFunction;
  const char* declaration;
  uintptr_t mFlags;
  uintptr_t reserved1;
  uintptr_t reserved2;
} REALmethodDefinition;

/* Property record: 12 words. The getter is called as
 * R getter(REALobject self, intptr_t param). */
typedef struct REALproperty {
  const char* group;
  const char* name;
  const char* type;
  uintptr_t flags;
  REALproc getter;
  REALproc setter;
  intptr_t param;
  uintptr_t reserved[5];
} REALproperty;

/* Constant record: 5 words. */
typedef struct REALconstant {
  const char* declaration;
  uintptr_t reserved[4];
} REALconstant;

/* Event record: 4 words; the host writes its event word at registration. */
typedef struct REALevent {
  const char* declaration;
  uintptr_t forSystemUse;
  uintptr_t reserved1;
  uintptr_t reserved2;
} REALevent;

/* Enum record: 7 words. */
typedef struct REALenum {
  const char* name;
  const char* type;
  uintptr_t flags;
  const char** fields;
  uintptr_t numFields;
  uintptr_t reserved1;
  uintptr_t reserved2;
} REALenum;

/* Class definition record: 29 words. */
typedef struct REALclassDefinition {
  uintptr_t version;
  const char* name;
  const char* superName;
  uintptr_t dataSize;
  uintptr_t forSystemUse; /* host writes the data offset here */
  REALproc constructor;   /* void (REALobject) */
  REALproc destructor;    /* void (REALobject) */
  REALproperty* properties;
  uintptr_t propertyCount;
  REALmethodDefinition* methods;
  uintptr_t methodCount;
  REALevent* events;
  uintptr_t eventCount;
  void* eventInstances;
  uintptr_t eventInstanceCount;
  const char* interfaces;
  void* bindDescriptions;
  uintptr_t bindDescriptionCount;
  REALconstant* constants;
  uintptr_t constantCount;
  uintptr_t mFlags;
  REALproperty* sharedProperties;
  uintptr_t sharedPropertyCount;
  REALmethodDefinition* sharedMethods;
  uintptr_t sharedMethodCount;
  void* delegates;
  uintptr_t delegateCount;
  REALenum* enums;
  uintptr_t enumCount;
} REALclassDefinition;

/* Module record: 24 words. */
typedef struct REALmoduleDefinition {
  uintptr_t version;
  const char* name;
  REALmethodDefinition* methods;
  uintptr_t methodCount;
  REALconstant* constants;
  uintptr_t constantCount;
  uintptr_t reserved[18];
} REALmoduleDefinition;

/* Record flag values. */
enum {
  REALconsoleSafe = 4,
  REALwebOnly = 256,
  REALmemberFlag = 4,
  REALdefaultConstructorFlag = 132,
  REALenumFlag = 32
};

#define kCurrentREALControlVersion 13

/* Plugin entry. */
void REALPluginMain(void* (*resolver)(const char* entryName));
void PluginEntry(void);
void* HCallResolver(const char* name);
REALclassDefinition* SetClassConsoleSafe(REALclassDefinition* definition);
REALclassDefinition* SetClassWebOnly(REALclassDefinition* definition);

#ifdef __cplusplus
}
#endif

/* The exported binding functions. */
#include "coilwork/bindings.h"

#endif
