// The object namespace: registry keys and values, devices, file handles and
// symbolic links, with one handle table for keys and files.
#include <map>
#include <mutex>
#include <variant>

#include "kt_hooks.h"
#include "ntddk.h"
#include "verifier.h"

using kt::internal::VerifierStop;

namespace {

std::u16string Lower(std::u16string s) {
  for (auto& c : s) {
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + (u'a' - u'A'));
  }
  return s;
}

struct Value {
  std::u16string name;
  ULONG type;
  std::vector<uint8_t> data;
};

struct Key {
  std::u16string path;                     // as created, for display
  std::map<std::u16string, Value> values;  // by lower-case name
};

struct Device {
  std::u16string name;
  kt::DeviceIoctlHandler handler;
};

struct KeyHandle {
  std::u16string keyPath;  // lower case
};
struct FileHandle {
  std::u16string deviceName;  // lower case
};

struct World {
  std::recursive_mutex mutex;
  std::map<std::u16string, Key> keys;  // by lower-case absolute path
  std::map<std::u16string, Device> devices;
  std::map<std::u16string, std::pair<std::u16string, std::u16string>> links;  // name, target
  std::map<uintptr_t, std::variant<KeyHandle, FileHandle>> handles;
  uintptr_t nextHandle = 0x1000;
  std::vector<kt::FileOpenRecord> opens;
};

World& TheWorld() {
  static World* world = new World;
  return *world;
}

const std::u16string kRegistryRoot = u"\\registry";
const std::u16string kMachineRoot = u"\\registry\\machine";

void EnsureRoots(World& w) {
  if (!w.keys.count(kRegistryRoot)) w.keys[kRegistryRoot] = Key{u"\\Registry", {}};
  if (!w.keys.count(kMachineRoot)) w.keys[kMachineRoot] = Key{u"\\Registry\\Machine", {}};
}

std::u16string ParentOf(const std::u16string& path) {
  auto slash = path.rfind(u'\\');
  return slash == std::u16string::npos || slash == 0 ? std::u16string() : path.substr(0, slash);
}

HANDLE NewHandle(World& w, std::variant<KeyHandle, FileHandle> object) {
  uintptr_t value = w.nextHandle;
  w.nextHandle += 4;
  w.handles[value] = std::move(object);
  return reinterpret_cast<HANDLE>(value);
}

// Resolves an object name against an optional root key handle. Returns false
// for a malformed name.
bool ResolveKeyPath(World& w, POBJECT_ATTRIBUTES attributes, std::u16string* path) {
  if (attributes == nullptr || attributes->ObjectName == nullptr) return false;
  std::u16string name = kt::ToU16(*attributes->ObjectName);
  if (attributes->RootDirectory != nullptr) {
    auto it = w.handles.find(reinterpret_cast<uintptr_t>(attributes->RootDirectory));
    if (it == w.handles.end() || !std::holds_alternative<KeyHandle>(it->second)) return false;
    if (name.empty()) {
      *path = std::get<KeyHandle>(it->second).keyPath;
      return true;
    }
    if (name[0] == u'\\') return false;
    *path = std::get<KeyHandle>(it->second).keyPath + u"\\" + Lower(name);
    return true;
  }
  if (name.empty() || name[0] != u'\\') return false;
  while (name.size() > 1 && name.back() == u'\\') name.pop_back();
  *path = Lower(name);
  return true;
}

Key* KeyOfHandle(World& w, HANDLE handle) {
  auto it = w.handles.find(reinterpret_cast<uintptr_t>(handle));
  if (it == w.handles.end() || !std::holds_alternative<KeyHandle>(it->second)) return nullptr;
  auto key = w.keys.find(std::get<KeyHandle>(it->second).keyPath);
  return key == w.keys.end() ? nullptr : &key->second;
}

std::u16string ValueNameOf(PUNICODE_STRING name) {
  return name == nullptr ? std::u16string() : kt::ToU16(*name);
}

}  // namespace

NTSTATUS ZwOpenKey(PHANDLE keyHandle, ACCESS_MASK, POBJECT_ATTRIBUTES objectAttributes) {
  kt::internal::CheckIrqlAtMost(PASSIVE_LEVEL, "ZwOpenKey");
  World& w = TheWorld();
  std::lock_guard<std::recursive_mutex> guard(w.mutex);
  EnsureRoots(w);
  std::u16string path;
  if (!ResolveKeyPath(w, objectAttributes, &path)) return STATUS_OBJECT_NAME_INVALID;
  if (!w.keys.count(path)) return STATUS_OBJECT_NAME_NOT_FOUND;
  *keyHandle = NewHandle(w, KeyHandle{path});
  return STATUS_SUCCESS;
}

NTSTATUS ZwCreateKey(PHANDLE keyHandle, ACCESS_MASK, POBJECT_ATTRIBUTES objectAttributes, ULONG,
                     PUNICODE_STRING, ULONG, PULONG disposition) {
  kt::internal::CheckIrqlAtMost(PASSIVE_LEVEL, "ZwCreateKey");
  World& w = TheWorld();
  std::lock_guard<std::recursive_mutex> guard(w.mutex);
  EnsureRoots(w);
  std::u16string path;
  if (!ResolveKeyPath(w, objectAttributes, &path)) return STATUS_OBJECT_NAME_INVALID;
  constexpr ULONG kCreatedNew = 1, kOpenedExisting = 2;
  if (w.keys.count(path)) {
    if (disposition) *disposition = kOpenedExisting;
  } else {
    if (!w.keys.count(ParentOf(path))) return STATUS_OBJECT_NAME_NOT_FOUND;
    w.keys[path] = Key{kt::ToU16(*objectAttributes->ObjectName), {}};
    if (disposition) *disposition = kCreatedNew;
  }
  *keyHandle = NewHandle(w, KeyHandle{path});
  return STATUS_SUCCESS;
}

NTSTATUS ZwQueryValueKey(HANDLE keyHandle, PUNICODE_STRING valueName,
                         KEY_VALUE_INFORMATION_CLASS informationClass, PVOID information,
                         ULONG length, PULONG resultLength) {
  kt::internal::CheckIrqlAtMost(PASSIVE_LEVEL, "ZwQueryValueKey");
  World& w = TheWorld();
  std::lock_guard<std::recursive_mutex> guard(w.mutex);
  Key* key = KeyOfHandle(w, keyHandle);
  if (key == nullptr) return STATUS_INVALID_HANDLE;
  if (informationClass != KeyValuePartialInformation) return STATUS_INVALID_PARAMETER;
  auto it = key->values.find(Lower(ValueNameOf(valueName)));
  if (it == key->values.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
  const Value& value = it->second;
  constexpr ULONG kFixed = offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);
  const ULONG required = kFixed + static_cast<ULONG>(value.data.size());
  *resultLength = required;
  // Below the fixed part nothing is written; between it and the full size the
  // fixed part and as much data as fits are written, as Windows does.
  if (length < kFixed) return STATUS_BUFFER_TOO_SMALL;
  auto* out = static_cast<PKEY_VALUE_PARTIAL_INFORMATION>(information);
  out->TitleIndex = 0;
  out->Type = value.type;
  out->DataLength = static_cast<ULONG>(value.data.size());
  ULONG fits =
      length - kFixed < value.data.size() ? length - kFixed : static_cast<ULONG>(value.data.size());
  if (fits) memcpy(out->Data, value.data.data(), fits);
  return length < required ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

// Kernel-mode callers are not access-checked against the handle's granted
// access (as ObReferenceObjectByHandle with KernelMode), so a key opened for
// reading can be written through.
NTSTATUS ZwSetValueKey(HANDLE keyHandle, PUNICODE_STRING valueName, ULONG, ULONG type, PVOID data,
                       ULONG dataSize) {
  kt::internal::CheckIrqlAtMost(PASSIVE_LEVEL, "ZwSetValueKey");
  World& w = TheWorld();
  std::lock_guard<std::recursive_mutex> guard(w.mutex);
  Key* key = KeyOfHandle(w, keyHandle);
  if (key == nullptr) return STATUS_INVALID_HANDLE;
  std::u16string name = ValueNameOf(valueName);
  const auto* bytes = static_cast<const uint8_t*>(data);
  key->values[Lower(name)] = Value{name, type, std::vector<uint8_t>(bytes, bytes + dataSize)};
  return STATUS_SUCCESS;
}

NTSTATUS ZwClose(HANDLE handle) {
  kt::internal::CheckIrqlAtMost(PASSIVE_LEVEL, "ZwClose");
  World& w = TheWorld();
  std::lock_guard<std::recursive_mutex> guard(w.mutex);
  if (w.handles.erase(reinterpret_cast<uintptr_t>(handle)) == 0) {
    VerifierStop("INVALID_KERNEL_HANDLE", "ZwClose of %p, which is not an open handle", handle);
  }
  return STATUS_SUCCESS;
}

NTSTATUS ZwOpenFile(PHANDLE fileHandle, ACCESS_MASK desiredAccess,
                    POBJECT_ATTRIBUTES objectAttributes, PIO_STATUS_BLOCK ioStatusBlock,
                    ULONG shareAccess, ULONG openOptions) {
  kt::internal::CheckIrqlAtMost(PASSIVE_LEVEL, "ZwOpenFile");
  World& w = TheWorld();
  std::lock_guard<std::recursive_mutex> guard(w.mutex);
  if (objectAttributes == nullptr || objectAttributes->ObjectName == nullptr) {
    return STATUS_OBJECT_NAME_INVALID;
  }
  std::u16string name = kt::ToU16(*objectAttributes->ObjectName);
  w.opens.push_back({name, desiredAccess, objectAttributes->Attributes, shareAccess, openOptions});
  std::u16string lookup = Lower(name);
  auto it = w.devices.find(lookup);
  if (it == w.devices.end() ||
      (!(objectAttributes->Attributes & OBJ_CASE_INSENSITIVE) && it->second.name != name)) {
    return STATUS_OBJECT_NAME_NOT_FOUND;
  }
  *fileHandle = NewHandle(w, FileHandle{lookup});
  if (ioStatusBlock) {
    ioStatusBlock->Status = STATUS_SUCCESS;
    ioStatusBlock->Information = 1;  // FILE_OPENED
  }
  return STATUS_SUCCESS;
}

NTSTATUS ZwDeviceIoControlFile(HANDLE fileHandle, HANDLE, PIO_APC_ROUTINE, PVOID,
                               PIO_STATUS_BLOCK ioStatusBlock, ULONG ioControlCode,
                               PVOID inputBuffer, ULONG inputBufferLength, PVOID outputBuffer,
                               ULONG outputBufferLength) {
  kt::internal::CheckIrqlAtMost(PASSIVE_LEVEL, "ZwDeviceIoControlFile");
  kt::DeviceIoctlHandler handler;
  {
    World& w = TheWorld();
    std::lock_guard<std::recursive_mutex> guard(w.mutex);
    auto it = w.handles.find(reinterpret_cast<uintptr_t>(fileHandle));
    if (it == w.handles.end() || !std::holds_alternative<FileHandle>(it->second)) {
      return STATUS_INVALID_HANDLE;
    }
    auto device = w.devices.find(std::get<FileHandle>(it->second).deviceName);
    if (device == w.devices.end()) return STATUS_INVALID_DEVICE_REQUEST;
    handler = device->second.handler;
  }
  // METHOD_BUFFERED: one system buffer for both directions; the output is
  // copied back (Information bytes) unless the status is an error.
  std::vector<uint8_t> system(inputBufferLength > outputBufferLength ? inputBufferLength
                                                                     : outputBufferLength);
  if (inputBufferLength) memcpy(system.data(), inputBuffer, inputBufferLength);
  ULONG_PTR information = 0;
  NTSTATUS status =
      handler(ioControlCode, system.data(), inputBufferLength, outputBufferLength, &information);
  if (information > outputBufferLength) information = outputBufferLength;
  const bool isError = (static_cast<uint32_t>(status) >> 30) == 3;
  if (isError) information = 0;
  if (information) memcpy(outputBuffer, system.data(), information);
  if (ioStatusBlock) {
    ioStatusBlock->Status = status;
    ioStatusBlock->Information = information;
  }
  return status;
}

NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING symbolicLinkName, PUNICODE_STRING deviceName) {
  kt::internal::CheckIrqlAtMost(PASSIVE_LEVEL, "IoCreateSymbolicLink");
  World& w = TheWorld();
  std::lock_guard<std::recursive_mutex> guard(w.mutex);
  std::u16string name = kt::ToU16(*symbolicLinkName);
  if (name.empty() || name[0] != u'\\') return STATUS_OBJECT_NAME_INVALID;
  if (w.links.count(Lower(name))) return STATUS_OBJECT_NAME_COLLISION;
  w.links[Lower(name)] = {name, kt::ToU16(*deviceName)};
  return STATUS_SUCCESS;
}

NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING symbolicLinkName) {
  kt::internal::CheckIrqlAtMost(PASSIVE_LEVEL, "IoDeleteSymbolicLink");
  World& w = TheWorld();
  std::lock_guard<std::recursive_mutex> guard(w.mutex);
  return w.links.erase(Lower(kt::ToU16(*symbolicLinkName))) ? STATUS_SUCCESS
                                                            : STATUS_OBJECT_NAME_NOT_FOUND;
}

namespace kt {

void RegistryCreateKeyPath(const std::u16string& path) {
  World& w = TheWorld();
  std::lock_guard<std::recursive_mutex> guard(w.mutex);
  EnsureRoots(w);
  size_t pos = 0;
  while (pos != std::u16string::npos) {
    pos = path.find(u'\\', pos + 1);
    std::u16string prefix = path.substr(0, pos);
    if (!w.keys.count(Lower(prefix))) w.keys[Lower(prefix)] = Key{prefix, {}};
  }
}

bool RegistryKeyExists(const std::u16string& path) {
  World& w = TheWorld();
  std::lock_guard<std::recursive_mutex> guard(w.mutex);
  return w.keys.count(Lower(path)) != 0;
}

void RegistrySetValue(const std::u16string& keyPath, const std::u16string& name, ULONG type,
                      const std::vector<uint8_t>& data) {
  RegistryCreateKeyPath(keyPath);
  World& w = TheWorld();
  std::lock_guard<std::recursive_mutex> guard(w.mutex);
  w.keys[Lower(keyPath)].values[Lower(name)] = Value{name, type, data};
}

void RegistrySetString(const std::u16string& keyPath, const std::u16string& name,
                       const std::u16string& value, ULONG type) {
  std::vector<uint8_t> bytes((value.size() + 1) * sizeof(char16_t));
  memcpy(bytes.data(), value.c_str(), bytes.size());
  RegistrySetValue(keyPath, name, type, bytes);
}

std::optional<RegistryValue> RegistryQueryValue(const std::u16string& keyPath,
                                                const std::u16string& name) {
  World& w = TheWorld();
  std::lock_guard<std::recursive_mutex> guard(w.mutex);
  auto key = w.keys.find(Lower(keyPath));
  if (key == w.keys.end()) return std::nullopt;
  auto value = key->second.values.find(Lower(name));
  if (value == key->second.values.end()) return std::nullopt;
  return RegistryValue{value->second.type, value->second.data};
}

std::optional<ULONG> RegistryQueryDword(const std::u16string& keyPath, const std::u16string& name) {
  auto value = RegistryQueryValue(keyPath, name);
  if (!value || value->type != REG_DWORD || value->data.size() != sizeof(ULONG)) {
    return std::nullopt;
  }
  ULONG dword;
  memcpy(&dword, value->data.data(), sizeof dword);
  return dword;
}

void RegisterDevice(const std::u16string& name, DeviceIoctlHandler handler) {
  World& w = TheWorld();
  std::lock_guard<std::recursive_mutex> guard(w.mutex);
  w.devices[Lower(name)] = Device{name, std::move(handler)};
}

void UnregisterDevice(const std::u16string& name) {
  World& w = TheWorld();
  std::lock_guard<std::recursive_mutex> guard(w.mutex);
  w.devices.erase(Lower(name));
}

std::vector<FileOpenRecord> FileOpens() {
  World& w = TheWorld();
  std::lock_guard<std::recursive_mutex> guard(w.mutex);
  return w.opens;
}

std::optional<std::u16string> QuerySymbolicLink(const std::u16string& name) {
  World& w = TheWorld();
  std::lock_guard<std::recursive_mutex> guard(w.mutex);
  auto it = w.links.find(Lower(name));
  if (it == w.links.end()) return std::nullopt;
  return it->second.second;
}

size_t OpenHandleCount() {
  World& w = TheWorld();
  std::lock_guard<std::recursive_mutex> guard(w.mutex);
  return w.handles.size();
}

namespace internal {
void ResetPool();
}

void ResetWorld() {
  {
    World& w = TheWorld();
    std::lock_guard<std::recursive_mutex> guard(w.mutex);
    w.keys.clear();
    w.devices.clear();
    w.links.clear();
    w.handles.clear();
    w.opens.clear();
    EnsureRoots(w);
  }
  internal::ResetPool();
  ClearFaultingRanges();
  UseRealClock();
  SetOsVersion(10, 0);
  SetSingleLockRule(true);
}

}  // namespace kt
