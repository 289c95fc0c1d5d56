#include "platform/dshow/FilterData.h"

#include <map>
#include <new>

#include "platform/com/ComBase.h"

namespace {

constexpr DWORD kVersion = 2;
constexpr size_t kHeaderSize = 16;
constexpr size_t kPinSize = 24;
constexpr size_t kTypeSize = 16;
constexpr size_t kGuidSize = 16;

void PutWord(std::vector<BYTE>& v, size_t at, DWORD w) {
  v[at] = static_cast<BYTE>(w);
  v[at + 1] = static_cast<BYTE>(w >> 8);
  v[at + 2] = static_cast<BYTE>(w >> 16);
  v[at + 3] = static_cast<BYTE>(w >> 24);
}

DWORD GetWord(const BYTE* p) {
  return static_cast<DWORD>(p[0]) | (static_cast<DWORD>(p[1]) << 8) | (static_cast<DWORD>(p[2]) << 16) |
         (static_cast<DWORD>(p[3]) << 24);
}

void PutGuid(std::vector<BYTE>& v, size_t at, const GUID& g) {
  PutWord(v, at, g.Data1);
  v[at + 4] = static_cast<BYTE>(g.Data2);
  v[at + 5] = static_cast<BYTE>(g.Data2 >> 8);
  v[at + 6] = static_cast<BYTE>(g.Data3);
  v[at + 7] = static_cast<BYTE>(g.Data3 >> 8);
  for (int i = 0; i < 8; ++i) v[at + 8 + i] = g.Data4[i];
}

GUID GetGuid(const BYTE* p) {
  GUID g{};
  g.Data1 = GetWord(p);
  g.Data2 = static_cast<uint16_t>(p[4] | (p[5] << 8));
  g.Data3 = static_cast<uint16_t>(p[6] | (p[7] << 8));
  for (int i = 0; i < 8; ++i) g.Data4[i] = p[8 + i];
  return g;
}

std::optional<GUID> OptGuid(const CLSID* p) {
  if (!p) return std::nullopt;
  return *p;
}

HRESULT CheckTypes(UINT n, const REGPINTYPES* types) {
  if (n > kFilterDataMaxTypesPerPin) return E_INVALIDARG;
  if (n && !types) return E_INVALIDARG;
  return S_OK;
}

}  // namespace

HRESULT FilterDataFromRegFilter2(const REGFILTER2* reg, FilterDataInfo& out) {
  if (!reg) return E_POINTER;
  FilterDataInfo info;
  info.merit = reg->dwMerit;
  try {
    if (reg->dwVersion == 1) {
      if (reg->cPins > kFilterDataMaxPins || (reg->cPins && !reg->rgPins)) return E_INVALIDARG;
      for (ULONG i = 0; i < reg->cPins; ++i) {
        const REGFILTERPINS& p = reg->rgPins[i];
        if (FAILED(CheckTypes(p.nMediaTypes, p.lpMediaType))) return E_INVALIDARG;
        FilterDataPin pin;
        if (p.bOutput) pin.flags |= REG_PINFLAG_B_OUTPUT;
        if (p.bRendered) pin.flags |= REG_PINFLAG_B_RENDERER;
        if (p.bZero) pin.flags |= REG_PINFLAG_B_ZERO;
        if (p.bMany) pin.flags |= REG_PINFLAG_B_MANY;
        for (UINT t = 0; t < p.nMediaTypes; ++t)
          pin.types.push_back({OptGuid(p.lpMediaType[t].clsMajorType), OptGuid(p.lpMediaType[t].clsMinorType)});
        info.pins.push_back(std::move(pin));
      }
    } else if (reg->dwVersion == 2) {
      if (reg->cPins2 > kFilterDataMaxPins || (reg->cPins2 && !reg->rgPins2)) return E_INVALIDARG;
      for (ULONG i = 0; i < reg->cPins2; ++i) {
        const REGFILTERPINS2& p = reg->rgPins2[i];
        if (FAILED(CheckTypes(p.nMediaTypes, p.lpMediaType))) return E_INVALIDARG;
        FilterDataPin pin;
        pin.flags = p.dwFlags;
        pin.instances = p.cInstances;
        pin.category = OptGuid(p.clsPinCategory);
        for (UINT t = 0; t < p.nMediaTypes; ++t)
          pin.types.push_back({OptGuid(p.lpMediaType[t].clsMajorType), OptGuid(p.lpMediaType[t].clsMinorType)});
        info.pins.push_back(std::move(pin));
      }
    } else {
      return E_INVALIDARG;
    }
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  out = std::move(info);
  return S_OK;
}

std::vector<BYTE> EncodeFilterData(const FilterDataInfo& info) {
  size_t records = kHeaderSize;
  for (const auto& pin : info.pins) records += kPinSize + pin.types.size() * kTypeSize;

  // Pool offsets are assigned in order of first use.
  std::map<GUID, size_t> pool;
  std::vector<GUID> poolOrder;
  auto offsetOf = [&](const std::optional<GUID>& g) -> DWORD {
    if (!g) return 0;
    auto it = pool.find(*g);
    if (it == pool.end()) {
      it = pool.emplace(*g, records + poolOrder.size() * kGuidSize).first;
      poolOrder.push_back(*g);
    }
    return static_cast<DWORD>(it->second);
  };
  struct PinOffsets {
    DWORD category;
    std::vector<std::pair<DWORD, DWORD>> types;
  };
  std::vector<PinOffsets> offsets;
  for (const auto& pin : info.pins) {
    PinOffsets po{offsetOf(pin.category), {}};
    for (const auto& t : pin.types) {
      DWORD major = offsetOf(t.major);
      DWORD sub = offsetOf(t.subtype);
      po.types.emplace_back(major, sub);
    }
    offsets.push_back(std::move(po));
  }

  std::vector<BYTE> out(records + poolOrder.size() * kGuidSize, 0);
  PutWord(out, 0, kVersion);
  PutWord(out, 4, info.merit);
  PutWord(out, 8, static_cast<DWORD>(info.pins.size()));
  size_t at = kHeaderSize;
  for (size_t i = 0; i < info.pins.size(); ++i) {
    const auto& pin = info.pins[i];
    PutWord(out, at, static_cast<DWORD>(i));
    PutWord(out, at + 4, pin.flags);
    PutWord(out, at + 8, pin.instances);
    PutWord(out, at + 12, static_cast<DWORD>(pin.types.size()));
    PutWord(out, at + 16, 0);
    PutWord(out, at + 20, offsets[i].category);
    at += kPinSize;
    for (size_t t = 0; t < pin.types.size(); ++t) {
      PutWord(out, at, static_cast<DWORD>(t));
      PutWord(out, at + 8, offsets[i].types[t].first);
      PutWord(out, at + 12, offsets[i].types[t].second);
      at += kTypeSize;
    }
  }
  for (size_t i = 0; i < poolOrder.size(); ++i) PutGuid(out, records + i * kGuidSize, poolOrder[i]);
  return out;
}

HRESULT DecodeFilterData(const BYTE* data, size_t size, FilterDataInfo& out) {
  if (!data) return E_POINTER;
  if (size < kHeaderSize || GetWord(data) != kVersion) return E_INVALIDARG;
  DWORD pinCount = GetWord(data + 8);
  if (pinCount > kFilterDataMaxPins) return E_INVALIDARG;

  // First pass: the records, to learn where the pool starts.
  size_t at = kHeaderSize;
  for (DWORD i = 0; i < pinCount; ++i) {
    if (size - at < kPinSize) return E_INVALIDARG;
    DWORD types = GetWord(data + at + 12);
    if (types > kFilterDataMaxTypesPerPin || GetWord(data + at + 16) != 0) return E_INVALIDARG;
    at += kPinSize;
    if ((size - at) / kTypeSize < types) return E_INVALIDARG;
    at += types * kTypeSize;
  }
  const size_t poolStart = at;
  auto readGuid = [&](DWORD offset, std::optional<GUID>& g) -> bool {
    if (offset == 0) {
      g.reset();
      return true;
    }
    if (offset < poolStart || offset > size || size - offset < kGuidSize) return false;
    g = GetGuid(data + offset);
    return true;
  };

  FilterDataInfo info;
  info.merit = GetWord(data + 4);
  try {
    at = kHeaderSize;
    for (DWORD i = 0; i < pinCount; ++i) {
      FilterDataPin pin;
      pin.flags = GetWord(data + at + 4);
      pin.instances = GetWord(data + at + 8);
      DWORD types = GetWord(data + at + 12);
      if (!readGuid(GetWord(data + at + 20), pin.category)) return E_INVALIDARG;
      at += kPinSize;
      for (DWORD t = 0; t < types; ++t) {
        FilterDataType type;
        if (!readGuid(GetWord(data + at + 8), type.major) || !readGuid(GetWord(data + at + 12), type.subtype))
          return E_INVALIDARG;
        pin.types.push_back(type);
        at += kTypeSize;
      }
      info.pins.push_back(std::move(pin));
    }
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  out = std::move(info);
  return S_OK;
}

HRESULT AllocRegFilter2(const FilterDataInfo& info, BYTE** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  size_t typeCount = 0, guidCount = 0;
  for (const auto& pin : info.pins) {
    typeCount += pin.types.size();
    if (pin.category) ++guidCount;
    for (const auto& t : pin.types) guidCount += (t.major ? 1 : 0) + (t.subtype ? 1 : 0);
  }
  // Every part is a multiple of 8 bytes in size or placed after the
  // pointer-aligned parts, so each keeps its alignment.
  const size_t pinsAt = sizeof(REGFILTER2);
  const size_t typesAt = pinsAt + info.pins.size() * sizeof(REGFILTERPINS2);
  const size_t guidsAt = typesAt + typeCount * sizeof(REGPINTYPES);
  const size_t total = guidsAt + guidCount * sizeof(GUID);
  static_assert(sizeof(REGFILTER2) % alignof(REGFILTERPINS2) == 0);
  static_assert(sizeof(REGFILTERPINS2) % alignof(REGPINTYPES) == 0);
  static_assert(sizeof(REGPINTYPES) % alignof(GUID) == 0);

  BYTE* block = static_cast<BYTE*>(CoTaskMemAlloc(total));
  if (!block) return E_OUTOFMEMORY;
  std::memset(block, 0, total);
  auto* reg = new (block) REGFILTER2{};
  auto* pins = reinterpret_cast<REGFILTERPINS2*>(block + pinsAt);
  auto* types = reinterpret_cast<REGPINTYPES*>(block + typesAt);
  auto* guids = reinterpret_cast<GUID*>(block + guidsAt);
  auto place = [&](const std::optional<GUID>& g) -> const CLSID* {
    if (!g) return nullptr;
    *guids = *g;
    return guids++;
  };
  reg->dwVersion = 2;
  reg->dwMerit = info.merit;
  reg->cPins2 = static_cast<ULONG>(info.pins.size());
  reg->rgPins2 = info.pins.empty() ? nullptr : pins;
  for (size_t i = 0; i < info.pins.size(); ++i) {
    const auto& pin = info.pins[i];
    REGFILTERPINS2& p = *new (&pins[i]) REGFILTERPINS2{};
    p.dwFlags = pin.flags;
    p.cInstances = pin.instances;
    p.nMediaTypes = static_cast<UINT>(pin.types.size());
    p.lpMediaType = pin.types.empty() ? nullptr : types;
    p.clsPinCategory = place(pin.category);
    for (const auto& t : pin.types) {
      REGPINTYPES& rt = *new (types++) REGPINTYPES{};
      rt.clsMajorType = place(t.major);
      rt.clsMinorType = place(t.subtype);
    }
  }
  *out = block;
  return S_OK;
}
