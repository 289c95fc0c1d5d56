#include "graph/registry/FGManagerCustom.h"

#include <initializer_list>

#include "foundation/FilterHelpers.h"
#include "graph/registry/InternalFilters.h"
#include "platform/win32/Registry.h"

#if PELLOMAR_HAVE_SHOUTCAST_SOURCE
#include "sources/shoutcast/ShoutcastSource.h"
#endif
#if PELLOMAR_HAVE_AVI_SOURCE
#include "splitters/avi/AviSplitter.h"
#endif
#if PELLOMAR_HAVE_MP4_SOURCE || PELLOMAR_HAVE_MP4_SPLITTER
#include "mp4/MP4Splitter.h"
#endif
#if PELLOMAR_HAVE_FLV_SOURCE || PELLOMAR_HAVE_FLV_SPLITTER
#include "splitters/flv/FLVSplitter.h"
#endif
#if PELLOMAR_HAVE_MATROSKA_SOURCE || PELLOMAR_HAVE_MATROSKA_SPLITTER
#include "splitters/matroska/MatroskaSplitter.h"
#endif
#if PELLOMAR_HAVE_REALMEDIA_SOURCE || PELLOMAR_HAVE_REALMEDIA_SPLITTER || PELLOMAR_HAVE_REALVIDEO_DECODER || \
    PELLOMAR_HAVE_REALAUDIO_DECODER
#include "splitters/realmedia/RealMediaSplitter.h"
#endif
#if PELLOMAR_HAVE_DSM_SOURCE || PELLOMAR_HAVE_DSM_SPLITTER
#include "splitters/dsm/DSMSplitter.h"
#endif
#if PELLOMAR_HAVE_FLIC_SOURCE
#include "sources/flic/FLICSource.h"
#endif
#if PELLOMAR_HAVE_CDDA_READER
#include "sources/cdda/CDDAReader.h"
#endif
#if PELLOMAR_HAVE_CDXA_READER
#include "sources/cdxa/CDXAReader.h"
#endif
#if PELLOMAR_HAVE_VTS_READER
#include "sources/vts/VTSReader.h"
#endif
#if PELLOMAR_HAVE_D2V_SOURCE
#include "sources/d2v/D2VSource.h"
#endif
#if PELLOMAR_HAVE_ROQ_SOURCE || PELLOMAR_HAVE_ROQ_SPLITTER
#include "splitters/roq/RoQSplitter.h"
#endif
#if PELLOMAR_HAVE_ROQ_VIDEO_DECODER
#include "splitters/roq/RoQVideoDecoder.h"
#endif
#if PELLOMAR_HAVE_ROQ_AUDIO_DECODER
#include "splitters/roq/RoQAudioDecoder.h"
#endif
#if PELLOMAR_HAVE_OGG_SOURCE || PELLOMAR_HAVE_OGG_SPLITTER
#include "splitters/ogg/OggSplitter.h"
#endif
#if PELLOMAR_HAVE_MPEG_SOURCE || PELLOMAR_HAVE_MPEG_SPLITTER
#include "splitters/mpeg/MpegSplitter.h"
#endif
#if PELLOMAR_HAVE_DTSAC3_SOURCE
#include "sources/dtsac3/DTSAC3Source.h"
#endif
#if PELLOMAR_HAVE_MPA_SOURCE || PELLOMAR_HAVE_MPA_SPLITTER
#include "splitters/mpa/MpaSplitter.h"
#endif
#if PELLOMAR_HAVE_AVI2AC3_FILTER
#include "sources/avi2ac3/AVI2AC3Filter.h"
#endif
#if PELLOMAR_HAVE_MPEG2_VIDEO_DECODER
#include "decoders/mpeg2video/Mpeg2DecFilter.h"
#endif
#if PELLOMAR_HAVE_MPEG_AUDIO_DECODER
#include "decoders/mpegaudio/MpaDecFilter.h"
#endif
#if PELLOMAR_HAVE_NULL_TEXT_RENDERER
#include "foundation/NullTextRenderer.h"
#endif

namespace {

#if !PELLOMAR_HAVE_SHOUTCAST_SOURCE  // else from the filter's header
PELLOMAR_DEFINE_GUID(CLSID_ShoutcastSource, "68F540E9-766F-44D2-AB07-E26CC6D27A79");
#endif
#if !(PELLOMAR_HAVE_MP4_SOURCE || PELLOMAR_HAVE_MP4_SPLITTER)  // else from the filter's header
PELLOMAR_DEFINE_GUID(CLSID_MP4SourceFilter, "3CCC052E-BDEE-408A-BEA7-90914EF2964B");
#endif
#if !(PELLOMAR_HAVE_FLV_SOURCE || PELLOMAR_HAVE_FLV_SPLITTER)  // else from the filter's header
PELLOMAR_DEFINE_GUID(CLSID_FLVSourceFilter, "C9ECE7B3-1D8E-41F5-9F24-B255DF16C087");
#endif
#if !(PELLOMAR_HAVE_MATROSKA_SOURCE || PELLOMAR_HAVE_MATROSKA_SPLITTER)  // else from the filter's header
PELLOMAR_DEFINE_GUID(CLSID_MatroskaSourceFilter, "0A68C3B5-9164-4A54-AFAF-995B2FF0E0D4");
#endif
#if !(PELLOMAR_HAVE_REALMEDIA_SOURCE || PELLOMAR_HAVE_REALMEDIA_SPLITTER)  // else from the filter's header
PELLOMAR_DEFINE_GUID(CLSID_RealMediaSourceFilter, "765035B3-5944-4A94-806B-20EE3415F26F");
#endif
#if !(PELLOMAR_HAVE_DSM_SOURCE || PELLOMAR_HAVE_DSM_SPLITTER)  // else from the filter's header
PELLOMAR_DEFINE_GUID(CLSID_DSMSourceFilter, "803E8280-F3CE-4201-982C-8CD8FB512004");
#endif
#if !PELLOMAR_HAVE_FLIC_SOURCE  // else from the filter's header
PELLOMAR_DEFINE_GUID(CLSID_FLICSource, "17DB5CF6-39BB-4D5B-B0AA-BEBA44673AD4");
#endif
#if !PELLOMAR_HAVE_CDDA_READER  // else from the filter's header
PELLOMAR_DEFINE_GUID(CLSID_CDDAReader, "54A35221-2C8D-4A31-A5DF-6D809847E393");
#endif
#if !PELLOMAR_HAVE_CDXA_READER  // else from the filter's header
PELLOMAR_DEFINE_GUID(CLSID_CDXAReader, "D367878E-F3B8-4235-A968-F378EF1B9A44");
#endif
#if !PELLOMAR_HAVE_VTS_READER  // else from the filter's header
PELLOMAR_DEFINE_GUID(CLSID_VTSReader, "773EAEDE-D5EE-4FCE-9C8F-C4F53D0A2F73");
#endif
#if !PELLOMAR_HAVE_D2V_SOURCE  // else from the filter's header
PELLOMAR_DEFINE_GUID(CLSID_D2VSource, "47CE0591-C4D5-4B41-BED7-28F59AD76228");
#endif
#if !(PELLOMAR_HAVE_ROQ_SOURCE || PELLOMAR_HAVE_ROQ_SPLITTER)  // else from the filter's header
PELLOMAR_DEFINE_GUID(CLSID_RoQSourceFilter, "02B8E5C2-4E1F-45D3-9A8E-B8F1EDE6DE09");
#endif
#if !(PELLOMAR_HAVE_OGG_SOURCE || PELLOMAR_HAVE_OGG_SPLITTER)  // else from the filter's header
PELLOMAR_DEFINE_GUID(CLSID_OggSourceFilter, "6D3688CE-3E9D-42F4-92CA-8A11119D25CD");
#endif
#if !(PELLOMAR_HAVE_MPEG_SOURCE || PELLOMAR_HAVE_MPEG_SPLITTER)  // else from the filter's header
PELLOMAR_DEFINE_GUID(CLSID_MpegSourceFilter, "1365BE7A-C86A-473C-9A41-C0A6E82C9FA3");
#endif
#if !PELLOMAR_HAVE_DTSAC3_SOURCE  // else from the filter's header
PELLOMAR_DEFINE_GUID(CLSID_DTSAC3Source, "B4A7BE85-551D-4594-BDC7-832B09185041");
#endif
#if !(PELLOMAR_HAVE_MPA_SOURCE || PELLOMAR_HAVE_MPA_SPLITTER)  // else from the filter's header
PELLOMAR_DEFINE_GUID(CLSID_MpaSourceFilter, "59A0DB73-0287-4C9A-9D3C-8CFF39F8E5DB");
#endif
PELLOMAR_DEFINE_GUID(CLSID_WMAsfReader, "187463A0-5BB7-11D3-ACBE-0080C75E246E");
#if !PELLOMAR_HAVE_AVI2AC3_FILTER  // else from the filter's header
PELLOMAR_DEFINE_GUID(CLSID_AVI2AC3Filter, "93230DD0-7B3C-4EFB-AFBB-DC380FEC9E6B");
#endif
#if !(PELLOMAR_HAVE_MATROSKA_SOURCE || PELLOMAR_HAVE_MATROSKA_SPLITTER)  // else from the filter's header
PELLOMAR_DEFINE_GUID(CLSID_MatroskaSplitterFilter, "149D2E01-C32E-4939-80F6-C07B81015A7A");
#endif
#if !(PELLOMAR_HAVE_REALMEDIA_SOURCE || PELLOMAR_HAVE_REALMEDIA_SPLITTER)  // else from the filter's header
PELLOMAR_DEFINE_GUID(CLSID_RealMediaSplitterFilter, "E21BE468-5C18-43EB-B0CC-DB93A847D769");
#endif
#if !(PELLOMAR_HAVE_ROQ_SOURCE || PELLOMAR_HAVE_ROQ_SPLITTER)  // else from the filter's header
PELLOMAR_DEFINE_GUID(CLSID_RoQSplitterFilter, "C73DF7C1-21F2-44C7-A430-D35FB9BB298F");
#endif
#if !(PELLOMAR_HAVE_OGG_SOURCE || PELLOMAR_HAVE_OGG_SPLITTER)  // else from the filter's header
PELLOMAR_DEFINE_GUID(CLSID_OggSplitterFilter, "9FF48807-E133-40AA-826F-9B2959E5232D");
#endif
#if !(PELLOMAR_HAVE_MPEG_SOURCE || PELLOMAR_HAVE_MPEG_SPLITTER)  // else from the filter's header
PELLOMAR_DEFINE_GUID(CLSID_MpegSplitterFilter, "DC257063-045F-4BE2-BD5B-E12279C464F0");
#endif
#if !(PELLOMAR_HAVE_MPA_SOURCE || PELLOMAR_HAVE_MPA_SPLITTER)  // else from the filter's header
PELLOMAR_DEFINE_GUID(CLSID_MpaSplitterFilter, "0E9D4BF7-CBCB-46C7-BD80-4EF223A3DC2B");
#endif
#if !(PELLOMAR_HAVE_DSM_SOURCE || PELLOMAR_HAVE_DSM_SPLITTER)  // else from the filter's header
PELLOMAR_DEFINE_GUID(CLSID_DSMSplitterFilter, "0912B4DD-A30A-4568-B590-7179EBB420EC");
#endif
#if !(PELLOMAR_HAVE_MP4_SOURCE || PELLOMAR_HAVE_MP4_SPLITTER)  // else from the filter's header
PELLOMAR_DEFINE_GUID(CLSID_MP4SplitterFilter, "61F47056-E400-43D3-AF1E-AB7DFFD4C4AD");
#endif
#if !(PELLOMAR_HAVE_FLV_SOURCE || PELLOMAR_HAVE_FLV_SPLITTER)  // else from the filter's header
PELLOMAR_DEFINE_GUID(CLSID_FLVSplitterFilter, "47E792CF-0BBE-4F7A-859C-194B0768650A");
#endif
PELLOMAR_DEFINE_GUID(CLSID_Mpeg1VideoDecoder, "FEB50740-7BEF-11CE-9BD9-0000E202599C");
PELLOMAR_DEFINE_GUID(CLSID_Mpeg2DecFilter, "39F498AF-1A09-4275-B193-673B0BA3D478");
PELLOMAR_DEFINE_GUID(CLSID_MpaDecFilterRecord, "3D446B6F-71DE-4437-BE15-8CE47174340F");
#if !(PELLOMAR_HAVE_REALVIDEO_DECODER || PELLOMAR_HAVE_REALAUDIO_DECODER)  // else from the filters' headers
PELLOMAR_DEFINE_GUID(CLSID_RealVideoDecoder, "238D0F23-5DC9-45A6-9BE2-666160C324DD");
PELLOMAR_DEFINE_GUID(CLSID_RealAudioDecoder, "941A4793-A705-4312-8DFC-C11CA05F397E");
#endif
#if !(PELLOMAR_HAVE_ROQ_VIDEO_DECODER)  // else from the filter's header
PELLOMAR_DEFINE_GUID(CLSID_RoQVideoDecoder, "FBEFC5EC-ABA0-4E6C-ACA3-D05FDFEFB853");
#endif
#if !(PELLOMAR_HAVE_ROQ_AUDIO_DECODER)  // else from the filter's header
PELLOMAR_DEFINE_GUID(CLSID_RoQAudioDecoder, "226FAF85-E358-4502-8C98-F4224BE76953");
#endif
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
#if PELLOMAR_HAVE_SHOUTCAST_SOURCE
    {CLSID_ShoutcastSource, &MakeInternal<CShoutcastSource>},
#endif
#if PELLOMAR_HAVE_AVI_SOURCE
    {CLSID_AviSourceFilter, &MakeInternal<CAviSourceFilter>},
#endif
#if PELLOMAR_HAVE_MP4_SOURCE
    {CLSID_MP4SourceFilter, &MakeInternal<CMP4SourceFilter>},
#endif
#if PELLOMAR_HAVE_FLV_SOURCE
    {CLSID_FLVSourceFilter, &MakeInternal<CFLVSourceFilter>},
#endif
#if PELLOMAR_HAVE_MATROSKA_SOURCE
    {CLSID_MatroskaSourceFilter, &MakeInternal<CMatroskaSourceFilter>},
#endif
#if PELLOMAR_HAVE_REALMEDIA_SOURCE
    {CLSID_RealMediaSourceFilter, &MakeInternal<CRealMediaSourceFilter>},
#endif
#if PELLOMAR_HAVE_DSM_SOURCE
    {CLSID_DSMSourceFilter, &MakeInternal<CDSMSourceFilter>},
#endif
#if PELLOMAR_HAVE_FLIC_SOURCE
    {CLSID_FLICSource, &MakeInternal<CFLICSource>},
#endif
#if PELLOMAR_HAVE_CDDA_READER
    {CLSID_CDDAReader, &MakeInternal<CCDDAReader>},
#endif
#if PELLOMAR_HAVE_CDXA_READER
    {CLSID_CDXAReader, &MakeInternal<CCDXAReader>},
#endif
#if PELLOMAR_HAVE_VTS_READER
    {CLSID_VTSReader, &MakeInternal<CVTSReader>},
#endif
#if PELLOMAR_HAVE_D2V_SOURCE
    {CLSID_D2VSource, &MakeInternal<CD2VSource>},
#endif
#if PELLOMAR_HAVE_ROQ_SOURCE
    {CLSID_RoQSourceFilter, &MakeInternal<CRoQSourceFilter>},
#endif
#if PELLOMAR_HAVE_OGG_SOURCE
    {CLSID_OggSourceFilter, &MakeInternal<COggSourceFilter>},
#endif
#if PELLOMAR_HAVE_MPEG_SOURCE
    {CLSID_MpegSourceFilter, &MakeInternal<CMpegSourceFilter>},
#endif
#if PELLOMAR_HAVE_DTSAC3_SOURCE
    {CLSID_DTSAC3Source, &MakeInternal<CDTSAC3Source>},
#endif
#if PELLOMAR_HAVE_MPA_SOURCE
    {CLSID_MpaSourceFilter, &MakeInternal<CMpaSourceFilter>},
#endif
#if PELLOMAR_HAVE_AVI2AC3_FILTER
    {CLSID_AVI2AC3Filter, &MakeInternal<CAVI2AC3Filter>},
#endif
#if PELLOMAR_HAVE_MATROSKA_SPLITTER
    {CLSID_MatroskaSplitterFilter, &MakeInternal<CMatroskaSplitterFilter>},
#endif
#if PELLOMAR_HAVE_REALMEDIA_SPLITTER
    {CLSID_RealMediaSplitterFilter, &MakeInternal<CRealMediaSplitterFilter>},
#endif
#if PELLOMAR_HAVE_ROQ_SPLITTER
    {CLSID_RoQSplitterFilter, &MakeInternal<CRoQSplitterFilter>},
#endif
#if PELLOMAR_HAVE_OGG_SPLITTER
    {CLSID_OggSplitterFilter, &MakeInternal<COggSplitterFilter>},
#endif
#if PELLOMAR_HAVE_MPEG_SPLITTER
    {CLSID_MpegSplitterFilter, &MakeInternal<CMpegSplitterFilter>},
#endif
#if PELLOMAR_HAVE_MPA_SPLITTER
    {CLSID_MpaSplitterFilter, &MakeInternal<CMpaSplitterFilter>},
#endif
#if PELLOMAR_HAVE_DSM_SPLITTER
    {CLSID_DSMSplitterFilter, &MakeInternal<CDSMSplitterFilter>},
#endif
#if PELLOMAR_HAVE_MP4_SPLITTER
    {CLSID_MP4SplitterFilter, &MakeInternal<CMP4SplitterFilter>},
#endif
#if PELLOMAR_HAVE_FLV_SPLITTER
    {CLSID_FLVSplitterFilter, &MakeInternal<CFLVSplitterFilter>},
#endif
#if PELLOMAR_HAVE_MPEG2_VIDEO_DECODER
    {CLSID_Mpeg2DecFilter, &MakeInternal<CMpeg2DecFilter>},
#endif
#if PELLOMAR_HAVE_MPEG_AUDIO_DECODER
    {CLSID_MpaDecFilterRecord, &MakeInternal<CMpaDecFilter>},
#endif
#if PELLOMAR_HAVE_REALVIDEO_DECODER
    {CLSID_RealVideoDecoder, &MakeInternal<CRealVideoDecoder>},
#endif
#if PELLOMAR_HAVE_REALAUDIO_DECODER
    {CLSID_RealAudioDecoder, &MakeInternal<CRealAudioDecoder>},
#endif
#if PELLOMAR_HAVE_ROQ_VIDEO_DECODER
    {CLSID_RoQVideoDecoder, &MakeInternal<CRoQVideoDecoder>},
#endif
#if PELLOMAR_HAVE_ROQ_AUDIO_DECODER
    {CLSID_RoQAudioDecoder, &MakeInternal<CRoQAudioDecoder>},
#endif
#if PELLOMAR_HAVE_NULL_TEXT_RENDERER
    {CLSID_NullTextRendererRecord, &MakeInternal<CNullTextRenderer>},
#endif
};

// How the record of a system class is made; null when it is not built.
RecordFactory BuiltFactory(const CLSID& clsid) {
  for (const BuiltFilter& built : kBuilt)
    if (built.clsid == clsid) return built.make;
  return nullptr;
}

using SourceRow = CFGManagerCustom::SourceRow;

const std::vector<SourceRow> kSourceRows = {
    {CLSID_ShoutcastSource, 0x80, {L"http"}, {}, {}},
    {CLSID_AviSourceFilter, 0x200, {}, {}, {L"0,4,,52494646,8,4,,41564920", L"0,4,,52494646,8,4,,41564958"}},
    {CLSID_MP4SourceFilter,
     0x80000,
     {},
     {L".mov"},
     {L"4,4,,66747970", L"4,4,,6d6f6f76", L"4,4,,6d646174", L"4,4,,736b6970",
      L"4,12,ffffffff00000000ffffffff,77696465027fe3706d646174", L"3,3,,000001"}},
    {CLSID_FLVSourceFilter, 0x100000, {}, {}, {L"0,4,,464C5601"}},
    {CLSID_MatroskaSourceFilter, 0x40, {}, {}, {L"0,4,,1A45DFA3"}},
    {CLSID_RealMediaSourceFilter, 0x100, {}, {}, {L"0,4,,2E524D46"}},
    {CLSID_DSMSourceFilter, 0x20000, {}, {}, {L"0,4,,44534D53"}},
    {CLSID_FLICSource, 0x8, {}, {L".fli", L".flc"}, {L"4,2,,11AF", L"4,2,,12AF"}},
    {CLSID_CDDAReader, 0x1, {}, {L".cda"}, {}},
    {CLSID_CDXAReader, 0x2, {}, {}, {L"0,4,,52494646,8,4,,43445841"}},
    {CLSID_VTSReader, 0x4, {}, {}, {L"0,12,,445644564944454F2D565453"}},
    {CLSID_D2VSource, 0x10, {}, {L".d2v"}, {L"0,18,,4456443241564950726F6A65637446696C65"}},
    {CLSID_RoQSourceFilter, 0x800, {}, {}, {L"0,8,,8410FFFFFFFF1E00"}},
    {CLSID_OggSourceFilter, 0x1000, {}, {}, {L"0,4,,4F676753"}},
    {CLSID_MpegSourceFilter,
     0x4000,
     {},
     {},
     {L"0,16,FFFFFFFFF100010001800001FFFFFFFF,000001BA2100010001800001000001BB", L"0,5,FFFFFFFFC0,000001BA40",
      L"0,1,,47,188,1,,47,376,1,,47", L"4,1,,47,196,1,,47,388,1,,47", L"0,4,,54467263,1660,1,,47",
      L"0,8,fffffc00ffe00000,4156000055000000"}},
    {CLSID_DTSAC3Source, 0x20, {}, {L".ac3", L".dts"}, {L"0,4,,7FFE8001", L"0,2,,0B77", L"0,2,,770B"}},
    {CLSID_MpaSourceFilter, 0x10000, {}, {}, {L"0,2,FFE0,FFE0", L"0,10,FFFFFF00000080808080,49443300000000000000"}},
    {CLSID_WMAsfReader, 0x200000, {}, {}, {L"0,4,,3026B275", L"0,4,,D129E2D6"}},
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
      Splitter(CLSID_RoQSplitterFilter, L"RoQ Splitter", 0x800, MEDIASUBTYPE_RoQStream),
      Splitter(CLSID_OggSplitterFilter, L"Ogg Splitter", 0x1000, MEDIASUBTYPE_OggStream),
      {CLSID_MpegSplitterFilter, kOwn, L"Mpeg Splitter", kPreferred, 0x4000, 0,
       {MEDIATYPE_Stream, MEDIASUBTYPE_MPEG1System, MEDIATYPE_Stream, MEDIASUBTYPE_MPEG2_PROGRAM, MEDIATYPE_Stream,
        MEDIASUBTYPE_MPEG2_TRANSPORT, MEDIATYPE_Stream, MEDIASUBTYPE_MpegStream0E3A2342, MEDIATYPE_Stream,
        GUID_NULL}},
      Splitter(CLSID_MpaSplitterFilter, L"Mpa Splitter", 0x10000, MEDIASUBTYPE_MPEG1Audio),
      Splitter(CLSID_DSMSplitterFilter, L"DSM Splitter", 0x20000, MEDIASUBTYPE_DSMStream),
      Splitter(CLSID_MP4SplitterFilter, L"MP4 Splitter", 0x80000, MEDIASUBTYPE_MP4Stream),
      Splitter(CLSID_FLVSplitterFilter, L"FLV Splitter", 0x100000, MEDIASUBTYPE_FLVStream),
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
