#include "splitters/realmedia/RealAudioDecoder.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "foundation/FilterFactory.h"
#include "platform/com/ComBase.h"
#include "splitters/realmedia/RealCodecLibrary.h"

namespace {

constexpr DWORD Fcc(const char (&s)[5]) { return MAKEFOURCC(s[0], s[1], s[2], s[3]); }
const GUID kAacSubtype = FourCCGuid(0x000000FF);

bool IsAccepted(const GUID& subtype) {
  for (DWORD fcc : {Fcc("14_4"), Fcc("28_8"), Fcc("ATRC"), Fcc("COOK"), Fcc("DNET"), Fcc("SIPR"), Fcc("RAAC"),
                    Fcc("RACP")})
    if (subtype == FourCCGuid(fcc)) return true;
  return subtype == kAacSubtype;
}

bool IsAac(const GUID& subtype) {
  return subtype == FourCCGuid(Fcc("RAAC")) || subtype == FourCCGuid(Fcc("RACP")) || subtype == kAacSubtype;
}

const WAVEFORMATEX* WaveFormat(const AM_MEDIA_TYPE* pmt) {
  if (pmt->formattype != FORMAT_WaveFormatEx || !pmt->pbFormat || pmt->cbFormat < sizeof(WAVEFORMATEX)) return nullptr;
  return reinterpret_cast<const WAVEFORMATEX*>(pmt->pbFormat);
}

template <class T>
T Entry(HMODULE module, const char* name) {
  return reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

const BYTE kSiproSwaps[38][2] = {{0, 63},  {1, 22},  {2, 44},  {3, 90},  {5, 81},  {7, 31},  {8, 86},  {9, 58},
                                 {10, 36}, {12, 68}, {13, 39}, {14, 73}, {15, 53}, {16, 69}, {17, 57}, {19, 88},
                                 {20, 34}, {21, 71}, {24, 46}, {25, 94}, {26, 54}, {28, 75}, {29, 50}, {32, 70},
                                 {33, 92}, {35, 74}, {38, 85}, {40, 56}, {42, 87}, {43, 65}, {45, 59}, {48, 79},
                                 {49, 93}, {51, 89}, {55, 95}, {61, 76}, {67, 83}, {77, 80}};

}  // namespace

CRealAudioDecoder::CRealAudioDecoder(LPUNKNOWN outer, HRESULT* phr)
    : CTransformFilter(NAME("CRealAudioDecoder"), outer, CLSID_RealAudioDecoder) {
  HRESULT hr = S_OK;
  m_pInput = new (std::nothrow) CTransformInputPin(NAME("CTransformInputPin"), this, &hr, L"In");
  if (!m_pInput) hr = E_OUTOFMEMORY;
  if (SUCCEEDED(hr)) {
    m_pOutput = new (std::nothrow) CTransformOutputPin(NAME("CTransformOutputPin"), this, &hr, L"Out");
    if (!m_pOutput) hr = E_OUTOFMEMORY;
  }
  if (FAILED(hr) && phr) *phr = hr;
}

CRealAudioDecoder::~CRealAudioDecoder() { FreeLibraryModule(); }

CUnknown* CRealAudioDecoder::CreateInstance(LPUNKNOWN outer, HRESULT* phr) {
  return new (std::nothrow) CRealAudioDecoder(outer, phr);
}

HRESULT CRealAudioDecoder::CreateObject(IUnknown* outer, REFIID riid, void** ppv) {
  return CreateFilterObject<CRealAudioDecoder>(outer, riid, ppv);
}

void CRealAudioDecoder::FreeCodec() {
  if (m_dwCookie) {
    if (RAFreeDecoder) RAFreeDecoder(m_dwCookie);
    if (RACloseCodec) RACloseCodec(m_dwCookie);
  }
  m_dwCookie = 0;
}

void CRealAudioDecoder::FreeLibraryModule() {
  // A codec handle lives in the library: it goes first.
  FreeCodec();
  if (m_hDrvDll) FreeLibrary(m_hDrvDll);
  m_hDrvDll = nullptr;
  m_dllPath.clear();
  RACloseCodec = nullptr;
  RADecode = nullptr;
  RAFlush = nullptr;
  RAFreeDecoder = nullptr;
  RAGetFlavorProperty = nullptr;
  RAInitDecoder = nullptr;
  RAOpenCodec = nullptr;
  RAOpenCodec2 = nullptr;
  RASetFlavor = nullptr;
  RASetDLLAccessPath = nullptr;
}

HRESULT CRealAudioDecoder::CheckInputType(const CMediaType* mtIn) {
  if (mtIn->majortype != MEDIATYPE_Audio || !IsAccepted(mtIn->subtype)) return VFW_E_TYPE_NOT_ACCEPTED;
  if (m_pInput->IsConnected()) return S_OK;

  FreeLibraryModule();
  std::string codec = "RAAC";
  if (!IsAac(mtIn->subtype)) {
    codec.clear();
    for (int i = 0; i < 4; i++) codec += static_cast<char>((mtIn->subtype.Data1 >> (8 * i)) & 0xFF);
  }
  m_hDrvDll = LoadRealCodecLibrary({codec + "3260.dll", codec + ".dll"});
  if (m_hDrvDll) {
    RACloseCodec = Entry<RACloseCodecFn>(m_hDrvDll, "RACloseCodec");
    RADecode = Entry<RADecodeFn>(m_hDrvDll, "RADecode");
    RAFlush = Entry<RAFlushFn>(m_hDrvDll, "RAFlush");
    RAFreeDecoder = Entry<RAFreeDecoderFn>(m_hDrvDll, "RAFreeDecoder");
    RAGetFlavorProperty = Entry<RAGetFlavorPropertyFn>(m_hDrvDll, "RAGetFlavorProperty");
    RAInitDecoder = Entry<RAInitDecoderFn>(m_hDrvDll, "RAInitDecoder");
    RAOpenCodec = Entry<RAOpenCodecFn>(m_hDrvDll, "RAOpenCodec");
    RAOpenCodec2 = Entry<RAOpenCodec2Fn>(m_hDrvDll, "RAOpenCodec2");
    RASetFlavor = Entry<RASetFlavorFn>(m_hDrvDll, "RASetFlavor");
    RASetDLLAccessPath = Entry<RASetDLLAccessPathFn>(m_hDrvDll, "RASetDLLAccessPath");
  }
  if (!m_hDrvDll || !RACloseCodec || !RADecode || !RAFreeDecoder || !RAGetFlavorProperty || !RAInitDecoder ||
      (!RAOpenCodec && !RAOpenCodec2)) {
    FreeLibraryModule();
    return VFW_E_TYPE_NOT_ACCEPTED;
  }
  m_dllPath = ModuleFolder(m_hDrvDll);
  if (RASetDLLAccessPath) RASetDLLAccessPath(("DT_Codecs=" + m_dllPath).c_str());
  return FAILED(InitRA(mtIn)) ? VFW_E_TYPE_NOT_ACCEPTED : S_OK;
}

HRESULT CRealAudioDecoder::InitRA(const CMediaType* pmt) {
  FreeCodec();
  const WAVEFORMATEX* wfe = WaveFormat(pmt);
  // Nothing can time the PCM of a stream without a rate or channels.
  if (!wfe || !wfe->nSamplesPerSec || !wfe->nChannels) return VFW_E_TYPE_NOT_ACCEPTED;

  const int32_t opened = RAOpenCodec2 ? RAOpenCodec2(&m_dwCookie, m_dllPath.c_str()) : RAOpenCodec(&m_dwCookie);
  if (opened < 0) {
    m_dwCookie = 0;
    return VFW_E_TYPE_NOT_ACCEPTED;
  }

  RAInitRecord init{};
  init.sampleRate = wfe->nSamplesPerSec;
  init.bitsPerSample = wfe->wBitsPerSample ? wfe->wBitsPerSample : 16;
  init.channels = wfe->nChannels;
  init.unk1 = 100;
  std::vector<BYTE> aacConfig;
  m_rai = RMAudioFormat{};
  if (pmt->subtype == kAacSubtype) {
    const size_t cbSize = wfe->cbSize == 18 ? 0 : std::min<size_t>(wfe->cbSize, pmt->cbFormat - sizeof(WAVEFORMATEX));
    aacConfig.push_back(2);
    aacConfig.insert(aacConfig.end(), pmt->pbFormat + sizeof(WAVEFORMATEX), pmt->pbFormat + sizeof(WAVEFORMATEX) + cbSize);
    init.codecDataLength = static_cast<uint32_t>(aacConfig.size());
    init.codecData = aacConfig.data();
  } else {
    const size_t skip = sizeof(WAVEFORMATEX) + wfe->cbSize;
    if (pmt->cbFormat <= skip) return VFW_E_TYPE_NOT_ACCEPTED;
    const BYTE* data = pmt->pbFormat + skip;
    if (!m_rai.Parse(data, pmt->cbFormat - skip)) return VFW_E_TYPE_NOT_ACCEPTED;
    // A block of no bytes, or of more than any stream needs, cannot be
    // collected.
    const size_t t = static_cast<size_t>(m_rai.subPacketH) * m_rai.codedFrameSize;
    if (!IsAac(pmt->subtype) && (t == 0 || t > kMaxBlock)) return VFW_E_TYPE_NOT_ACCEPTED;
    init.subPacketSize = m_rai.subPacketSize;
    init.codedFrameSize = m_rai.codedFrameSize;
    init.codecDataLength = static_cast<uint32_t>(m_rai.codecDataLength);
    init.codecData = data + m_rai.codecDataOffset;
  }
  if (RAInitDecoder(m_dwCookie, &init) < 0) return VFW_E_TYPE_NOT_ACCEPTED;
  if (RASetFlavor && RASetFlavor(m_dwCookie, m_rai.flavor) < 0) return VFW_E_TYPE_NOT_ACCEPTED;
  return S_OK;
}

HRESULT CRealAudioDecoder::CheckTransform(const CMediaType* mtIn, const CMediaType* mtOut) {
  if (mtIn->majortype != MEDIATYPE_Audio || !IsAccepted(mtIn->subtype)) return VFW_E_TYPE_NOT_ACCEPTED;
  if (mtOut->majortype != MEDIATYPE_Audio || mtOut->subtype != MEDIASUBTYPE_PCM) return VFW_E_TYPE_NOT_ACCEPTED;
  return S_OK;
}

HRESULT CRealAudioDecoder::GetMediaType(int position, CMediaType* pmt) {
  if (!m_pInput->IsConnected()) return E_UNEXPECTED;
  if (position < 0) return E_INVALIDARG;
  const CMediaType& in = m_pInput->CurrentMediaType();
  const WAVEFORMATEX* wfe = WaveFormat(&in);
  if (!wfe) return E_UNEXPECTED;
  const bool multichannel = wfe->nChannels >= 3 && wfe->nChannels <= 6;
  if (position > (multichannel ? 1 : 0)) return VFW_S_NO_MORE_ITEMS;

  *pmt = in;
  pmt->subtype = MEDIASUBTYPE_PCM;
  WAVEFORMATEX w = *wfe;
  w.wFormatTag = WAVE_FORMAT_PCM;
  if (!w.wBitsPerSample) w.wBitsPerSample = 16;
  w.nBlockAlign = static_cast<WORD>(w.wBitsPerSample * w.nChannels / 8);
  w.nAvgBytesPerSec = w.nBlockAlign * w.nSamplesPerSec;
  w.cbSize = 0;
  if (multichannel && position == 0) {
    static const DWORD kMasks[] = {0x7, 0x33, 0x37, 0x3F};
    auto* x = reinterpret_cast<WAVEFORMATEXTENSIBLE*>(pmt->AllocFormatBuffer(sizeof(WAVEFORMATEXTENSIBLE)));
    if (!x) return E_OUTOFMEMORY;
    x->Format = w;
    x->Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    x->Format.cbSize = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);
    x->Samples.wValidBitsPerSample = w.wBitsPerSample;
    x->dwChannelMask = kMasks[w.nChannels - 3];
    x->SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
  } else {
    if (!pmt->SetFormat(reinterpret_cast<const BYTE*>(&w), sizeof w)) return E_OUTOFMEMORY;
  }
  pmt->SetSampleSize(w.nBlockAlign);
  return S_OK;
}

HRESULT CRealAudioDecoder::DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* properties) {
  if (!m_pInput->IsConnected()) return E_UNEXPECTED;
  const WAVEFORMATEX* wfe = WaveFormat(&m_pInput->CurrentMediaType());
  if (!wfe) return E_UNEXPECTED;
  const WORD bits = wfe->wBitsPerSample ? wfe->wBitsPerSample : 16;
  properties->cBuffers = 8;
  properties->cbBuffer = static_cast<LONG>(std::min<uint64_t>(
      static_cast<uint64_t>(wfe->nChannels) * wfe->nSamplesPerSec * bits / 8, 0x7FFFFFFF));
  properties->cbAlign = 1;
  properties->cbPrefix = 0;
  ALLOCATOR_PROPERTIES actual{};
  HRESULT hr = allocator->SetProperties(properties, &actual);
  if (FAILED(hr)) return hr;
  return actual.cBuffers < properties->cBuffers || actual.cbBuffer < properties->cbBuffer ? E_FAIL : S_OK;
}

HRESULT CRealAudioDecoder::StartStreaming() {
  const size_t t = static_cast<size_t>(m_rai.subPacketH) * m_rai.codedFrameSize;
  try {
    m_buff.assign(2 * std::min(t, kMaxBlock), 0);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  m_bufflen = 0;
  ResetTime(0);
  return CTransformFilter::StartStreaming();
}

HRESULT CRealAudioDecoder::StopStreaming() {
  m_buff.clear();
  m_buff.shrink_to_fit();
  return CTransformFilter::StopStreaming();
}

HRESULT CRealAudioDecoder::NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) {
  {
    CAutoLock lock(&m_csReceive);
    m_bufflen = 0;
    ResetTime(0);
  }
  return CTransformFilter::NewSegment(start, stop, rate);
}

void CRealAudioDecoder::ResetTime(REFERENCE_TIME start) {
  m_rtStart = m_rtBase = start;
  m_bytesSinceBase = 0;
}

void CRealAudioDecoder::Deinterleave(const BYTE* block, BYTE* out, int h, int w, int s) {
  if (h <= 0 || w <= 0 || s <= 0) return;
  const BYTE* src = block;
  for (int r = 0; r < h; r++) {
    for (int j = 0; j < w / s; j++) {
      const size_t slot = static_cast<size_t>((h + 1) / 2 * (r & 1) + (r >> 1));
      memcpy(out + slot * s + static_cast<size_t>(j) * s * h, src, static_cast<size_t>(s));
      src += s;
    }
  }
}

void CRealAudioDecoder::SiproShuffle(BYTE* block, size_t t) {
  const size_t n = t * 2 / 96;
  auto get = [block](size_t k) { return static_cast<BYTE>((block[k >> 1] >> (4 * (k & 1))) & 0xF); };
  auto put = [block](size_t k, BYTE v) {
    const int shift = 4 * static_cast<int>(k & 1);
    block[k >> 1] = static_cast<BYTE>((block[k >> 1] & ~(0xF << shift)) | (v << shift));
  };
  for (const auto& pair : kSiproSwaps) {
    const size_t a = pair[0] * n, b = pair[1] * n;
    for (size_t i = 0; i < n; i++) {
      const BYTE x = get(a + i), y = get(b + i);
      put(a + i, y);
      put(b + i, x);
    }
  }
}

HRESULT CRealAudioDecoder::Receive(IMediaSample* sample) {
  CAutoLock lock(&m_csReceive);
  if (m_pInput->SampleProps()->dwStreamId != AM_STREAM_MEDIA) return m_pOutput->Deliver(sample);

  BYTE* data = nullptr;
  if (FAILED(sample->GetPointer(&data)) || !data) return S_OK;
  const long length = sample->GetActualDataLength();
  if (length <= 0) return S_OK;

  if (sample->IsSyncPoint() == S_OK) {
    REFERENCE_TIME start = 0, stop = 0;
    if (SUCCEEDED(sample->GetTime(&start, &stop))) ResetTime(start);
    m_bufflen = 0;
    m_fDiscontinuity = sample->IsDiscontinuity() == S_OK;
  }

  const GUID& subtype = m_pInput->CurrentMediaType().subtype;
  if (IsAac(subtype)) return DecodeUnits(data, static_cast<size_t>(length), static_cast<size_t>(length));

  const size_t h = m_rai.subPacketH, w = m_rai.codedFrameSize, s = m_rai.subPacketSize;
  const size_t t = h * w;
  if (t == 0 || m_buff.size() < 2 * t) return S_OK;
  size_t left = static_cast<size_t>(length);
  while (left > 0) {
    // A sample may end one block and begin the next.
    const size_t n = std::min(left, t - m_bufflen);
    memcpy(m_buff.data() + m_bufflen, data, n);
    m_bufflen += n;
    data += n;
    left -= n;
    if (m_bufflen < t) break;
    m_bufflen = 0;

    const BYTE* block = m_buff.data();
    const bool interleaved = subtype == FourCCGuid(Fcc("COOK")) || subtype == FourCCGuid(Fcc("ATRC"));
    if (interleaved && s > 0) {
      Deinterleave(m_buff.data(), m_buff.data() + t, static_cast<int>(h), static_cast<int>(w), static_cast<int>(s));
      block = m_buff.data() + t;
    } else if (subtype == FourCCGuid(Fcc("SIPR"))) {
      SiproShuffle(m_buff.data(), t);
    }
    HRESULT hr = DecodeUnits(block, t, w);
    if (FAILED(hr)) return hr;
  }
  return S_OK;
}

HRESULT CRealAudioDecoder::DecodeUnits(const BYTE* data, size_t length, size_t unit) {
  const CMediaType& outType = m_pOutput->CurrentMediaType();
  const WAVEFORMATEX* out = WaveFormat(&outType);
  if (!out || !out->nAvgBytesPerSec || unit == 0) return S_OK;
  DWORD avgBytes = out->nAvgBytesPerSec;
  for (size_t pos = 0; pos + unit <= length; pos += unit) {
    IMediaSample* outSample = nullptr;
    HRESULT hr = m_pOutput->GetDeliveryBuffer(&outSample, nullptr, nullptr, 0);
    if (FAILED(hr)) return hr;
    AM_MEDIA_TYPE* pmt = nullptr;
    if (outSample->GetMediaType(&pmt) == S_OK && pmt) {
      CMediaType mt(*pmt);
      DeleteMediaType(pmt);
      m_pOutput->SetMediaType(&mt);
      if (const WAVEFORMATEX* changed = WaveFormat(&mt); changed && changed->nAvgBytesPerSec)
        avgBytes = changed->nAvgBytesPerSec;
    }
    BYTE* buffer = nullptr;
    uint32_t count = 0;
    if (FAILED(outSample->GetPointer(&buffer)) ||
        RADecode(m_dwCookie, data + pos, static_cast<uint32_t>(unit), buffer, &count, 0xFFFFFFFF) < 0 ||
        count == 0 || count > static_cast<uint32_t>(outSample->GetSize())) {
      // An undecodable unit is skipped; the times go on from the last
      // good one.
      outSample->Release();
      continue;
    }
    m_bytesSinceBase += count;
    REFERENCE_TIME start = m_rtStart;
    REFERENCE_TIME stop =
        m_rtBase + static_cast<REFERENCE_TIME>(static_cast<__int128>(m_bytesSinceBase) * UNITS / avgBytes);
    outSample->SetTime(&start, &stop);
    outSample->SetMediaTime(nullptr, nullptr);
    outSample->SetDiscontinuity(m_fDiscontinuity);
    m_fDiscontinuity = false;
    outSample->SetSyncPoint(TRUE);
    outSample->SetActualDataLength(static_cast<long>(count));
    hr = start >= 0 ? m_pOutput->Deliver(outSample) : S_OK;
    outSample->Release();
    if (FAILED(hr)) return hr;
    m_rtStart = stop;
  }
  return S_OK;
}
