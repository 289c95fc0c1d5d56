#include "graph/registry/FGManagerCustom.h"

#include <initializer_list>

#include "decoders/mpeg2video/Mpeg2DecFilter.h"
#include "decoders/mpegaudio/MpaDecFilter.h"
#include "foundation/FilterHelpers.h"
#include "foundation/NullTextRenderer.h"
#include "mp4/MP4Splitter.h"
#include "platform/win32/Registry.h"
#include "sources/avi2ac3/AVI2AC3Filter.h"
#include "sources/cdda/CDDAReader.h"
#include "sources/cdxa/CDXAReader.h"
#include "sources/d2v/D2VSource.h"
#include "sources/dtsac3/DTSAC3Source.h"
#include "sources/flic/FLICSource.h"
#include "sources/shoutcast/ShoutcastSource.h"
#include "sources/vts/VTSReader.h"
#include "splitters/avi/AviSplitter.h"
#include "splitters/dsm/DSMSplitter.h"
#include "splitters/flv/FLVSplitter.h"
#include "splitters/matroska/MatroskaSplitter.h"
#include "splitters/mpa/MpaSplitter.h"
#include "splitters/mpeg/MpegSplitter.h"
#include "splitters/ogg/OggSplitter.h"
#include "splitters/realmedia/RealMediaSplitter.h"
#include "splitters/roq/RoQAudioDecoder.h"
#include "splitters/roq/RoQSplitter.h"
#include "splitters/roq/RoQVideoDecoder.h"

namespace {

PELLOMAR_DEFINE_GUID(CLSID_WMAsfReader, "187463A0-5BB7-11D3-ACBE-0080C75E246E");
PELLOMAR_DEFINE_GUID(CLSID_Mpeg1VideoDecoder, "FEB50740-7BEF-11CE-9BD9-0000E202599C");
PELLOMAR_DEFINE_GUID(CLSID_Mpeg2DecFilter, "39F498AF-1A09-4275-B193-673B0BA3D478");
PELLOMAR_DEFINE_GUID(CLSID_MpaDecFilterRecord, "3D446B6F-71DE-4437-BE15-8CE47174340F");
PELLOMAR_DEFINE_GUID(CLSID_NullTextRendererRecord, "655D7613-C26C-4A25-BBBD-3C9C516122CC");
PELLOMAR_DEFINE_GUID(CLSID_InstalledVideoDecoder, "04FE9017-F873-410E-871E-AB91661A4EF7");
PELLOMAR_DEFINE_GUID(CLSID_VersionCheckedFilter, "B38C58A0-1809-11D6-A458-EDAE78F1DF12");
PELLOMAR_DEFINE_GUID(CLSID_HiResAudioRenderer, "94297043-BD82-4DFD-B0DE-8177739C6D20");
// Installed classes that are kept out of every graph.
PELLOMAR_DEFINE_GUID(CLSID_Blocked00A95963, "00A95963-3BE5-48C0-AD9F-3356D67EA09D");
PELLOMAR_DEFINE_GUID(CLSID_Blocked48025243, "48025243-2D39-11CE-875D-00608CB78066");
PELLOMAR_DEFINE_GUID(CLSID_Blocked99EC0C72, "99EC0C72-4D1B-411B-AB1F-D561EE049D94");
PELLOMAR_DEFINE_GUID(CLSID_Blocked9F711C60, "9F711C60-0668-11D0-94D4-0000C02BA972");
PELLOMAR_DEFINE_GUID(CLSID_BlockedBE2CF8A7, "BE2CF8A7-08CE-4A2C-9A25-FD726A999196");

PELLOMAR_DEFINE_GUID(MEDIASUBTYPE_MatroskaStream, "1AC0BEBD-4D2B-45AD-BCEB-F2C41C5E3788");
PELLOMAR_DEFINE_GUID(MEDIASUBTYPE_RealMediaStream, "57428EC6-C2B2-44A2-AA9C-28F0B6A5C48E");
PELLOMAR_DEFINE_GUID(MEDIASUBTYPE_RoQStream, "48B93619-A959-45D9-B5FD-E12A67A96CF1");
PELLOMAR_DEFINE_GUID(MEDIASUBTYPE_OggStream, "D2855FA9-61A7-4DB0-B979-71F297C17A04");
PELLOMAR_DEFINE_GUID(MEDIASUBTYPE_MpegStream0E3A2342, "0E3A2342-F6E2-4C91-BDAE-87C71EAD0D63");
PELLOMAR_DEFINE_GUID(MEDIASUBTYPE_DSMStream, "5E9C9EE0-2E4A-4F22-9906-7BBBB75AA2B6");
PELLOMAR_DEFINE_GUID(MEDIASUBTYPE_MP4Stream, "08E22ADA-B715-45ED-9D20-7B87750301D4");
PELLOMAR_DEFINE_GUID(MEDIASUBTYPE_FLVStream, "F2FAC0F1-3852-4670-AAC0-9051D400AC54");
PELLOMAR_DEFINE_GUID(MEDIASUBTYPE_VorbisRecord, "8D2FD10B-5841-4A6B-8905-588FEC1ADED9");
PELLOMAR_DEFINE_GUID(MEDIATYPE_SubtitleE487EB08, "E487EB08-6B26-4BE9-9DD3-993434D313FD");
PELLOMAR_DEFINE_GUID(MEDIASUBTYPE_Subtitle7B57308F, "7B57308F-5154-4C36-B903-52FE76E184FC");
PELLOMAR_DEFINE_GUID(MEDIASUBTYPE_SubtitleDA5B82EE, "DA5B82EE-6BD2-426F-BF1E-30112DA78AE1");

constexpr GUID Tag(WORD tag) { return FourCCGuid(tag); }

// Media types as major type and subtype pairs, one after the other.
using Types = std::vector<GUID>;

Types Join(std::initializer_list<Types> parts) {
  Types all;
  for (const Types& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

// The subtype under the DVD, MPEG-2 pack and PES major types and a fourth,
// plain major type: the four kinds the DVD and MPEG-2 decoders take.
Types UnderMpeg2Majors(const GUID& subtype, const GUID& plain = MEDIATYPE_Audio) {
  Types types;
  for (const GUID& major : {MEDIATYPE_DVD_ENCRYPTED_PACK, MEDIATYPE_MPEG2_PACK, MEDIATYPE_MPEG2_PES, plain})
    types.insert(types.end(), {major, subtype});
  return types;
}

// The fourccs the preferred installed video decoder is given.
Types InstalledDecoderTypes() {
  static constexpr const char kFourccs[][5] = {
      "xvid", "XVID", "xvix", "XVIX", "dx50", "DX50", "xvid", "XVID", "divx", "DIVX", "svq1", "SVQ1", "svq3",
      "SVQ3", "div3", "DIV3", "div4", "DIV4", "div5", "DIV5", "div6", "DIV6", "ap11", "AP41", "col1", "COL1",
      "dvx3", "DVX3", "mpg3", "MPG3", "divx", "DIVX", "mp4s", "MP4S", "mp4v", "MP4V", "m4s2", "M4S2", "3iv2",
      "3IV2", "3ivx", "3IVX", "rmp4", "RMP4", "wv1f", "WV1F", "fmp4", "FMP4", "hdx4", "HDX4", "smp4", "SMP4",
      "mp42", "div2", "MP42", "DIV2", "mp41", "div1", "MP41", "DIV1", "mpg4", "MPG4", "h263", "s263", "H263",
      "S263", "H264", "X264", "DAVC", "avc1", "AVC1", "flv1", "FLV1", "DVSD", "DV25", "DV50", "tscc", "TSCC"};
  Types types;
  for (const auto& fcc : kFourccs) types.insert(types.end(), {MEDIATYPE_Video, FourCCGuid(fcc)});
  return types;
}

// How a record is made: by the system's own class, or from the platform
// registry's description of an installed class (its name, and its merit
// unless the row gives one).
using RecordFactory = std::unique_ptr<CFGFilter> (*)(const CLSID& clsid, const std::wstring& name, UINT64 merit);

template <class T>
std::unique_ptr<CFGFilter> MakeInternal(const CLSID& clsid, const std::wstring& name, UINT64 merit) {
  return std::make_unique<CFGFilterInternal<T>>(clsid, name, merit);
}

std::unique_ptr<CFGFilter> MakeRegistry(const CLSID& clsid, const std::wstring& /*name*/, UINT64 merit) {
  return std::make_unique<CFGFilterRegistry>(clsid, merit);
}

// The system's filters that are built, by class id. A row whose class is
// not here is left out.
struct BuiltFilter {
  CLSID clsid;
  RecordFactory make;
};

const BuiltFilter kBuilt[] = {
    {CLSID_ShoutcastSource, &MakeInternal<CShoutcastSource>},
    {CLSID_AviSourceFilter, &MakeInternal<CAviSourceFilter>},
    {CLSID_MP4SourceFilter, &MakeInternal<CMP4SourceFilter>},
    {CLSID_FLVSourceFilter, &MakeInternal<CFLVSourceFilter>},
    {CLSID_MatroskaSourceFilter, &MakeInternal<CMatroskaSourceFilter>},
    {CLSID_RealMediaSourceFilter, &MakeInternal<CRealMediaSourceFilter>},
    {CLSID_DSMSourceFilter, &MakeInternal<CDSMSourceFilter>},
    {CLSID_FLICSource, &MakeInternal<CFLICSource>},
    {CLSID_CDDAReader, &MakeInternal<CCDDAReader>},
    {CLSID_CDXAReader, &MakeInternal<CCDXAReader>},
    {CLSID_VTSReader, &MakeInternal<CVTSReader>},
    {CLSID_D2VSource, &MakeInternal<CD2VSource>},
    {CLSID_RoQSourceFilter, &MakeInternal<CRoQSourceFilter>},
    {CLSID_OggSourceFilter, &MakeInternal<COggSourceFilter>},
    {CLSID_MpegSourceFilter, &MakeInternal<CMpegSourceFilter>},
    {CLSID_DTSAC3Source, &MakeInternal<CDTSAC3Source>},
    {CLSID_MpaSourceFilter, &MakeInternal<CMpaSourceFilter>},
    {CLSID_AVI2AC3Filter, &MakeInternal<CAVI2AC3Filter>},
    {CLSID_MatroskaSplitterFilter, &MakeInternal<CMatroskaSplitterFilter>},
    {CLSID_RealMediaSplitterFilter, &MakeInternal<CRealMediaSplitterFilter>},
    {CLSID_RoQSplitterFilter, &MakeInternal<CRoQSplitterFilter>},
    {CLSID_OggSplitterFilter, &MakeInternal<COggSplitterFilter>},
    {CLSID_MpegSplitterFilter, &MakeInternal<CMpegSplitterFilter>},
    {CLSID_MpaSplitterFilter, &MakeInternal<CMpaSplitterFilter>},
    {CLSID_DSMSplitterFilter, &MakeInternal<CDSMSplitterFilter>},
    {CLSID_MP4SplitterFilter, &MakeInternal<CMP4SplitterFilter>},
    {CLSID_FLVSplitterFilter, &MakeInternal<CFLVSplitterFilter>},
    {CLSID_Mpeg2DecFilter, &MakeInternal<CMpeg2DecFilter>},
    {CLSID_MpaDecFilterRecord, &MakeInternal<CMpaDecFilter>},
    {CLSID_RealVideoDecoder, &MakeInternal<CRealVideoDecoder>},
    {CLSID_RealAudioDecoder, &MakeInternal<CRealAudioDecoder>},
    {CLSID_RoQVideoDecoder, &MakeInternal<CRoQVideoDecoder>},
    {CLSID_RoQAudioDecoder, &MakeInternal<CRoQAudioDecoder>},
    {CLSID_NullTextRendererRecord, &MakeInternal<CNullTextRenderer>},
};

// How the record of a system class is made; null when it is not built.
RecordFactory BuiltFactory(const CLSID& clsid) {
  for (const BuiltFilter& built : kBuilt)
    if (built.clsid == clsid) return built.make;
  return nullptr;
}

using SourceRow = CFGManagerCustom::SourceRow;

const std::vector<SourceRow> kSourceRows = {
    {CLSID_ShoutcastSource, SourceFormat_Shoutcast, {L"http"}, {}, {}},
    {CLSID_AviSourceFilter,
     SourceFormat_AVI,
     {},
     {},
     {L"0,4,,52494646,8,4,,41564920", L"0,4,,52494646,8,4,,41564958"}},
    {CLSID_MP4SourceFilter,
     SourceFormat_MP4,
     {},
     {L".mov"},
     {L"4,4,,66747970", L"4,4,,6d6f6f76", L"4,4,,6d646174", L"4,4,,736b6970",
      L"4,12,ffffffff00000000ffffffff,77696465027fe3706d646174", L"3,3,,000001"}},
    {CLSID_FLVSourceFilter, SourceFormat_FLV, {}, {}, {L"0,4,,464C5601"}},
    {CLSID_MatroskaSourceFilter, SourceFormat_Matroska, {}, {}, {L"0,4,,1A45DFA3"}},
    {CLSID_RealMediaSourceFilter, SourceFormat_RealMedia, {}, {}, {L"0,4,,2E524D46"}},
    {CLSID_DSMSourceFilter, SourceFormat_DSM, {}, {}, {L"0,4,,44534D53"}},
    {CLSID_FLICSource, SourceFormat_Flic, {}, {L".fli", L".flc"}, {L"4,2,,11AF", L"4,2,,12AF"}},
    {CLSID_CDDAReader, SourceFormat_CDDA, {}, {L".cda"}, {}},
    {CLSID_CDXAReader, SourceFormat_CDXA, {}, {}, {L"0,4,,52494646,8,4,,43445841"}},
    {CLSID_VTSReader, SourceFormat_DVD, {}, {}, {L"0,12,,445644564944454F2D565453"}},
    {CLSID_D2VSource, SourceFormat_D2V, {}, {L".d2v"}, {L"0,18,,4456443241564950726F6A65637446696C65"}},
    {CLSID_RoQSourceFilter, SourceFormat_RoQ, {}, {}, {L"0,8,,8410FFFFFFFF1E00"}},
    {CLSID_OggSourceFilter, SourceFormat_Ogg, {}, {}, {L"0,4,,4F676753"}},
    {CLSID_MpegSourceFilter,
     SourceFormat_MPEG,
     {},
     {},
     {L"0,16,FFFFFFFFF100010001800001FFFFFFFF,000001BA2100010001800001000001BB", L"0,5,FFFFFFFFC0,000001BA40",
      L"0,1,,47,188,1,,47,376,1,,47", L"4,1,,47,196,1,,47,388,1,,47", L"0,4,,54467263,1660,1,,47",
      L"0,8,fffffc00ffe00000,4156000055000000"}},
    {CLSID_DTSAC3Source,
     SourceFormat_DTSAC3,
     {},
     {L".ac3", L".dts"},
     {L"0,4,,7FFE8001", L"0,2,,0B77", L"0,2,,770B"}},
    {CLSID_MpaSourceFilter,
     SourceFormat_MPA,
     {},
     {},
     {L"0,2,FFE0,FFE0", L"0,10,FFFFFF00000080808080,49443300000000000000"}},
    {CLSID_WMAsfReader, SourceFormat_WMV, {}, {}, {L"0,4,,3026B275", L"0,4,,D129E2D6"}},
};

// Where a transform row's class comes from.
enum class Origin {
  Own,           // the system's own, registered when it is built
  Installed,     // an installed class, described by the platform registry
  OldInstalled,  // the same, only while its server is older than 1.0.3.0
};

// One transform row. A splitter row is registered only when its bit of the
// splitter mask is set. A decoder row's bit of the decoder mask chooses its
// merit and name: set, `merit` and the name; clear, the low merit and the
// name followed by " (low merit)". An installed class keeps the name the
// platform registry gives it.
struct TransformRow {
  CLSID clsid;
  Origin origin;
  const wchar_t* name;
  UINT64 merit;
  DWORD splitterBit;  // 0: always registered
  DWORD decoderBit;   // 0: merit and name as given
  Types types;
};

constexpr Origin kOwn = Origin::Own, kInstalled = Origin::Installed;
constexpr UINT64 kPreferred = kMeritSystemPreferred;

// A splitter of the system's own: it takes byte streams of its subtype and
// of any subtype.
TransformRow Splitter(const CLSID& clsid, const wchar_t* name, DWORD splitterBit, const GUID& subtype) {
  return {clsid, kOwn, name, kPreferred, splitterBit, 0, {MEDIATYPE_Stream, subtype, MEDIATYPE_Stream, GUID_NULL}};
}

// A decoder of the system's own, preferred when its bit of the decoder mask
// is set.
TransformRow Decoder(const CLSID& clsid, const wchar_t* name, DWORD decoderBit, Types types) {
  return {clsid, kOwn, name, kPreferred, 0, decoderBit, std::move(types)};
}

// Rows in the order they enter the transform list.
const std::vector<TransformRow>& TransformRows() {
  static const std::vector<TransformRow> rows = {
      // The AVI sound converter and the splitters.
      {CLSID_AVI2AC3Filter, kOwn, L"AVI<->AC3/DTS", 0x0000006800000001ull, 0, 0,
       {MEDIATYPE_Audio, Tag(0x2000), MEDIATYPE_Audio, Tag(0x2001)}},
      Splitter(CLSID_MatroskaSplitterFilter, L"Matroska Splitter", 0, MEDIASUBTYPE_MatroskaStream),
      Splitter(CLSID_RealMediaSplitterFilter, L"RealMedia Splitter", 0, MEDIASUBTYPE_RealMediaStream),
      Splitter(CLSID_RoQSplitterFilter, L"RoQ Splitter", SourceFormat_RoQ, MEDIASUBTYPE_RoQStream),
      Splitter(CLSID_OggSplitterFilter, L"Ogg Splitter", SourceFormat_Ogg, MEDIASUBTYPE_OggStream),
      {CLSID_MpegSplitterFilter, kOwn, L"Mpeg Splitter", kPreferred, SourceFormat_MPEG, 0,
       {MEDIATYPE_Stream, MEDIASUBTYPE_MPEG1System, MEDIATYPE_Stream, MEDIASUBTYPE_MPEG2_PROGRAM, MEDIATYPE_Stream,
        MEDIASUBTYPE_MPEG2_TRANSPORT, MEDIATYPE_Stream, MEDIASUBTYPE_MpegStream0E3A2342, MEDIATYPE_Stream,
        GUID_NULL}},
      Splitter(CLSID_MpaSplitterFilter, L"Mpa Splitter", SourceFormat_MPA, MEDIASUBTYPE_MPEG1Audio),
      Splitter(CLSID_DSMSplitterFilter, L"DSM Splitter", SourceFormat_DSM, MEDIASUBTYPE_DSMStream),
      Splitter(CLSID_MP4SplitterFilter, L"MP4 Splitter", SourceFormat_MP4, MEDIASUBTYPE_MP4Stream),
      Splitter(CLSID_FLVSplitterFilter, L"FLV Splitter", SourceFormat_FLV, MEDIASUBTYPE_FLVStream),
      // The platform's MPEG-1 video decoder, preferred for its types.
      {CLSID_Mpeg1VideoDecoder, kInstalled, nullptr, kPreferred, 0, 0,
       {MEDIATYPE_Video, MEDIASUBTYPE_MPEG1Packet, MEDIATYPE_Video, MEDIASUBTYPE_MPEG1Payload}},
      // The decoders. One audio class serves several rows, each under its
      // own name and bit.
      Decoder(CLSID_Mpeg2DecFilter, L"MPEG-2 Video Decoder", 0x2,
              UnderMpeg2Majors(MEDIASUBTYPE_MPEG2_VIDEO, MEDIATYPE_Video)),
      Decoder(CLSID_MpaDecFilterRecord, L"MPEG-1 Audio Decoder", 0x10,
              {MEDIATYPE_Audio, Tag(0x55), MEDIATYPE_Audio, Tag(0x50), MEDIATYPE_Audio, MEDIASUBTYPE_MPEG1Payload,
               MEDIATYPE_Audio, MEDIASUBTYPE_MPEG1Packet}),
      Decoder(CLSID_MpaDecFilterRecord, L"MPEG-2 Audio Decoder", 0x10, UnderMpeg2Majors(MEDIASUBTYPE_MPEG2_AUDIO)),
      Decoder(CLSID_MpaDecFilterRecord, L"LPCM Audio Decoder", 0x20, UnderMpeg2Majors(MEDIASUBTYPE_DVD_LPCM_AUDIO)),
      Decoder(CLSID_MpaDecFilterRecord, L"AC3 Audio Decoder", 0x40,
              Join({UnderMpeg2Majors(MEDIASUBTYPE_DOLBY_AC3), {MEDIATYPE_Audio, Tag(0x2000)}})),
      Decoder(CLSID_MpaDecFilterRecord, L"DTS Decoder", 0x80,
              Join({UnderMpeg2Majors(MEDIASUBTYPE_DTS), {MEDIATYPE_Audio, Tag(0x2001)}})),
      Decoder(CLSID_MpaDecFilterRecord, L"AAC Decoder", 0x100,
              Join({UnderMpeg2Majors(Tag(0xFF)), UnderMpeg2Majors(FourCCGuid("MP4A")),
                    UnderMpeg2Majors(FourCCGuid("mp4a"))})),
      Decoder(CLSID_MpaDecFilterRecord, L"PS2 Audio Decoder", 0x200, UnderMpeg2Majors(Tag(0xF521))),
      // The subtypes the RealVideo decoder takes: it refuses RealVideo 1.
      Decoder(CLSID_RealVideoDecoder, L"RealVideo Decoder", 0x4,
              {MEDIATYPE_Video, FourCCGuid("RV20"), MEDIATYPE_Video, FourCCGuid("RV30"), MEDIATYPE_Video,
               FourCCGuid("RV40"), MEDIATYPE_Video, FourCCGuid("RV41")}),
      Decoder(CLSID_RealAudioDecoder, L"RealAudio Decoder", 0x8,
              {MEDIATYPE_Audio, FourCCGuid("14_4"), MEDIATYPE_Audio, FourCCGuid("28_8"), MEDIATYPE_Audio,
               FourCCGuid("ATRC"), MEDIATYPE_Audio, FourCCGuid("COOK"), MEDIATYPE_Audio, FourCCGuid("DNET"),
               MEDIATYPE_Audio, FourCCGuid("SIPR"), MEDIATYPE_Audio, FourCCGuid("RAAC")}),
      Decoder(CLSID_MpaDecFilterRecord, L"Vorbis Audio Decoder", 0x800, {MEDIATYPE_Audio, MEDIASUBTYPE_VorbisRecord}),
      Decoder(CLSID_RoQVideoDecoder, L"RoQ Video Decoder", 0x4, {MEDIATYPE_Video, FourCCGuid("RoQV")}),
      Decoder(CLSID_RoQAudioDecoder, L"RoQ Audio Decoder", 0x8, {MEDIATYPE_Audio, FourCCGuid("RoQA")}),
      {CLSID_NullTextRendererRecord, kOwn, L"NullTextRenderer", kMeritLow, 0, 0,
       {MEDIATYPE_Text, GUID_NULL, MEDIATYPE_ScriptCommand, GUID_NULL, MEDIATYPE_SubtitleE487EB08, GUID_NULL,
        MEDIATYPE_Text, GUID_NULL, GUID_NULL, MEDIASUBTYPE_DVD_SUBPICTURE, GUID_NULL, MEDIASUBTYPE_Subtitle7B57308F,
        GUID_NULL, MEDIASUBTYPE_SubtitleDA5B82EE}},
      // Installed filters: one preferred decoder, and classes kept out of
      // every graph (their records are never handed out but block the
      // registry's records of the same class).
      {CLSID_InstalledVideoDecoder, kInstalled, nullptr, kPreferred, 0, 0, InstalledDecoderTypes()},
      {CLSID_Blocked00A95963, kInstalled, nullptr, kMeritBlocked, 0, 0, {}},
      {CLSID_Blocked48025243, kInstalled, nullptr, kMeritBlocked, 0, 0, {}},
      {CLSID_Blocked99EC0C72, kInstalled, nullptr, kMeritBlocked, 0, 0, {}},
      {CLSID_Blocked9F711C60, kInstalled, nullptr, kMeritBlocked, 0, 0, {}},
      {CLSID_BlockedBE2CF8A7, kInstalled, nullptr, kMeritBlocked, 0, 0, {}},
      {CLSID_VersionCheckedFilter, Origin::OldInstalled, nullptr, kMeritBlocked, 0, 0, {}},
  };
  return rows;
}

// Below this version the version-checked class is blocked.
constexpr ULONGLONG kVersion1030 = 0x0001000000030000ull;

bool OldVersionInstalled(const CLSID& clsid) {
  HKEY key = nullptr;
  const std::wstring path = L"CLSID\\" + GuidToStringW(clsid) + L"\\InprocServer32";
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  std::wstring server;
  DWORD type = 0, size = 0;
  if (RegQueryValueExW(key, L"", nullptr, &type, nullptr, &size) == ERROR_SUCCESS &&
      (type == REG_SZ || type == REG_EXPAND_SZ)) {
    std::vector<wchar_t> buffer(size / sizeof(wchar_t) + 1, 0);
    DWORD bytes = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
    if (RegQueryValueExW(key, L"", nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()), &bytes) == ERROR_SUCCESS) {
      buffer.back() = 0;
      server = buffer.data();
    }
  }
  RegCloseKey(key);
  if (server.empty()) return false;
  return GetFileVersion(WideToUtf8(server).c_str()) < kVersion1030;
}

}  // namespace

CFGManagerCustom::CFGManagerCustom(LPCTSTR name, LPUNKNOWN outer, DWORD splitterMask, DWORD decoderMask)
    : CFGManager(name, outer) {
  // Source filters, those that are built. Files with the ASF header go to
  // the installed Windows Media source, under the name and merit its
  // registration gives.
  for (const SourceRow& row : kSourceRows) {
    const RecordFactory make = row.clsid == CLSID_WMAsfReader ? &MakeRegistry : BuiltFactory(row.clsid);
    if (!make) continue;
    std::unique_ptr<CFGFilter> rec = make(row.clsid, std::wstring(), kMeritLow);
    rec->SetSourceFormat(row.sourceFormat);
    for (const wchar_t* p : row.protocols) rec->Protocols().push_back(p);
    for (const wchar_t* e : row.extensions) rec->Extensions().push_back(e);
    for (const wchar_t* c : row.patterns) rec->CheckBytes().push_back(c);
    AddSourceRecord(std::move(rec));
  }

  // Formats the program knows and none of its sources reads: a job of one
  // names it instead of saying that nothing recognised the file.
  AddUnreadFormat({L"0,4,,664C6143"}, "The file is a FLAC sound file; the program does not read FLAC files.\n");
  AddUnreadFormat({L"0,4,,464F524D,8,4,,41494646", L"0,4,,464F524D,8,4,,41494643"},
                  "The file is an AIFF sound file; the program does not read AIFF files.\n");

  // Splitters, decoders and installed filters.
  for (const TransformRow& row : TransformRows()) {
    if (row.splitterBit && !(splitterMask & row.splitterBit)) continue;
    if (row.origin == Origin::OldInstalled && !OldVersionInstalled(row.clsid)) continue;
    const RecordFactory make = row.origin == Origin::Own ? BuiltFactory(row.clsid) : &MakeRegistry;
    if (!make) continue;
    std::wstring name = row.name ? row.name : L"";
    UINT64 merit = row.merit;
    // A system decoder outranks installed ones when its bit is set.
    if (row.decoderBit && !(decoderMask & row.decoderBit)) {
      merit = kMeritLow;
      name += L" (low merit)";
    }
    std::unique_ptr<CFGFilter> rec = make(row.clsid, name, merit);
    for (size_t i = 0; i + 1 < row.types.size(); i += 2) rec->AddType(row.types[i], row.types[i + 1]);
    AddTransformRecord(std::move(rec));
  }
}

const std::vector<CFGManagerCustom::SourceRow>& CFGManagerCustom::SourceRows() { return kSourceRows; }

HRESULT CFGManagerCustom::AddFilter(IBaseFilter* filter, LPCWSTR name) {
  CAutoLock lock(&m_lock);
  HRESULT hr = CFGManager::AddFilter(filter, name);
  if (SUCCEEDED(hr) && GetFilterClsid(filter) == CLSID_HiResAudioRenderer) {
    if (CComQIPtr<IPropertyBag> bag = filter) {
      VARIANT v;
      VariantInit(&v);
      v.vt = VT_BOOL;
      v.boolVal = VARIANT_TRUE;
      bag->Write(L"_HIRESOUTPUT", &v);
    }
  }
  return hr;
}
