// Parsers for the headers of MPEG program and transport streams and of the
// elementary streams they carry, over the splitter file reader. Each parser
// reads at the current position, fills a plain record and returns true when
// the header is accepted; given a media-type pointer it also builds the
// stream's media type. A parser that refuses leaves the position wherever
// its reading stopped.
#pragma once

#include <vector>

#include "foundation/BaseSplitterFile.h"
#include "platform/dshow/MediaType.h"

class CBaseSplitterFileEx : public CBaseSplitterFile {
 public:
  CBaseSplitterFileEx(IAsyncReader* reader, HRESULT& hr, int cacheSize = 2048, bool requireComplete = true);
  ~CBaseSplitterFileEx() override;

  // ---------------------------------------------------------------------
  // Records

  struct PackHeader {
    int type = 0;       // 1 MPEG-1, 2 MPEG-2
    UINT64 scr = 0;     // MPEG-2: 27 MHz units (base x 300 + extension); MPEG-1: 90 kHz base
    UINT64 bitrate = 0; // mux rate x 400
  };

  struct SystemHeader {
    DWORD rate_bound = 0;
    BYTE video_bound = 0;
    BYTE audio_bound = 0;
    bool fixed_rate = false;
    bool csps = false;
    bool sys_audio_loc_flag = false;
    bool sys_video_loc_flag = false;
  };

#pragma pack(push, 1)
  struct PesHeader {
    WORD len;  // payload bytes behind the header (0: unbounded)
    BYTE type : 2, fpts : 1, fdts : 1;
    REFERENCE_TIME pts;
    REFERENCE_TIME dts;
    INT64 std_buff_size;
    WORD scrambling : 2, priority : 1, alignment : 1, copyright : 1, original : 1, escr : 1, esrate : 1,
        dsmtrickmode : 1, morecopyright : 1, crc : 1, extension : 1;
    BYTE hdrlen;
  };
#pragma pack(pop)
  static_assert(sizeof(PesHeader) == 30);

  struct SequenceHeader {
    WORD width = 0, height = 0;
    BYTE ar = 0;          // aspect ratio code
    BYTE frame_rate = 0;  // frame rate code
    DWORD bitrate = 0;    // bits per second, 0 for variable
    DWORD vbv = 0;
    bool constrained = false;
    bool fiqm = false, fniqm = false;
    BYTE iqm[64] = {}, niqm[64] = {};
    // From the sequence extension (MPEG-2 only).
    bool mpeg2 = false;
    BYTE profile = 0, level = 0;
    bool progressive = false;
    BYTE chroma = 0;
    bool lowdelay = false;
    BYTE ifps_n = 0, ifps_d = 0;
    // Derived.
    REFERENCE_TIME ifps = 0;  // average frame time, 100 ns
    int arx = 0, ary = 0;     // display aspect
  };

  struct MpegAudioHeader {
    WORD sync = 0;
    BYTE version = 0;  // 0 MPEG-2.5, 2 MPEG-2, 3 MPEG-1
    BYTE layer = 0;    // as coded: 3 layer 1, 2 layer 2, 1 layer 3
    BYTE crc = 0;      // 1: no CRC
    BYTE bitrate = 0, freq = 0, padding = 0, privatebit = 0;
    BYTE channels = 0, modeext = 0, copyright = 0, original = 0, emphasis = 0;
    // Derived.
    int nBytesPerFrame = 0;  // frame size in bytes
    int nBitrate = 0;        // bits per second
    int nSamplesPerSec = 0;
    int nBytesPerSec = 0;
    REFERENCE_TIME rtDuration = 0;  // frame duration, 100 ns
    int LayerNumber() const { return 4 - layer; }
  };

  struct AdtsHeader {
    WORD sync = 0;
    BYTE version = 0, layer = 0, fcrc = 0, profile = 0, freq = 0, privatebit = 0, channels = 0;
    BYTE original = 0, home = 0, copyright_id_bit = 0, copyright_id_start = 0;
    WORD aac_frame_length = 0, adts_buffer_fullness = 0;
    BYTE no_raw_data_blocks_in_frame = 0;
    WORD crc = 0;
    // Derived.
    int nSamplesPerSec = 0;
    int nBytesPerSec = 0;
    int nHeaderSize = 0;  // 7, or 9 with CRC
    int nPayloadBytes = 0;
    REFERENCE_TIME rtDuration = 0;
  };

  struct Ac3Header {
    WORD sync = 0, crc1 = 0;
    BYTE fscod = 0, frmsizecod = 0, bsid = 0, bsmod = 0, acmod = 0;
    BYTE cmixlev = 0, surmixlev = 0, dsurmod = 0, lfeon = 0;
    // Derived.
    int nSamplesPerSec = 0;
    int nChannels = 0;
    int nBytesPerSec = 0;
  };

  struct DtsHeader {
    DWORD sync = 0;
    BYTE frametype = 0, deficitsamplecount = 0, fcrc = 0, nblocks = 0;
    WORD framebytes = 0;
    BYTE amode = 0, sfreq = 0, rate = 0;
    BYTE downmix = 0, dynrange = 0, timestamp = 0, auxdata = 0, hdcd = 0;
    BYTE ext_descr = 0, ext_coding = 0, aspf = 0, lfe = 0;
    // Derived.
    int nSamplesPerSec = 0;
    int nChannels = 0;  // by amode, without the LFE channel
    int nBytesPerSec = 0;
  };

  struct LpcmHeader {
    BYTE emphasis = 0, mute = 0, reserved1 = 0, framenum = 0;
    BYTE quantwordlen = 0, freq = 0, reserved2 = 0, channels = 0;
    BYTE drc = 0;
  };

  struct TsHeader {
    BYTE sync = 0;
    BYTE error = 0, payloadstart = 0, transportpriority = 0;
    WORD pid = 0;
    BYTE scrambling = 0, adapfield = 0, payload = 0, counter = 0;
    // Adaptation field.
    BYTE length = 0;
    BYTE discontinuity = 0, randomaccess = 0, priority = 0, fPCR = 0, OPCR = 0, splicingpoint = 0,
         privatedata = 0, extension = 0;
    int bytes = 0;       // payload bytes left in the packet
    LONGLONG next = 0;   // position of the next packet's sync byte
  };

  struct PsiSectionHeader {
    BYTE table_id = 0;
    WORD section_length = 0;
    WORD transport_stream_id = 0;
    BYTE version_number = 0, current_next_indicator = 0, section_number = 0, last_section_number = 0;
  };

  struct PvaHeader {
    WORD sync = 0;
    BYTE streamid = 0;  // 1 video, 2 audio
    BYTE counter = 0, res = 0, flags = 0;
    WORD length = 0;
    bool fpts = false;
    BYTE prebytes = 0, postbytes = 0;
    REFERENCE_TIME pts = 0;
  };

  struct Ps2AudioHeader {
    DWORD unk1 = 0;  // size of the "SShd" body
    DWORD type = 0;  // 1 PCM, 16 ADPCM
    DWORD freq = 0, channels = 0, interleave = 0;
    DWORD size = 0;  // data bytes after "SSbd"
  };

  struct AvcHeader {
    BYTE profile = 0, level = 0;
    unsigned width = 0, height = 0;
    unsigned sarx = 0, sary = 0;  // pixel shape; 0 when the stream states none
    REFERENCE_TIME AvgTimePerFrame = 0;
    // Raw parameter sets, without their start codes.
    std::vector<BYTE> sps, pps;
    LONGLONG spspos = 0, ppspos = 0;  // file positions of the units (after the start code)
    int spslen = 0, ppslen = 0;
  };

  // ---------------------------------------------------------------------
  // Parsers

  // Byte-aligns, then scans at most budget bytes for 00 00 01 xx; code = xx.
  bool FindStartCode(BYTE& code, LONGLONG budget);
  bool ReadPackHeader(PackHeader& h);
  bool ReadSystemHeader(SystemHeader& h);
  bool ReadPesHeader(PesHeader& h, BYTE code);
  // How long before its presentation time the packet's first access unit
  // is decoded, from a header carrying both stamps (across a wrap of the
  // 33-bit clock too); INVALID_TIME without a decoding stamp, or with one
  // after the presentation or further before it than any stream keeps a
  // picture (a damaged stamp).
  static REFERENCE_TIME DecodeLead(const PesHeader& h);
  bool ReadSequenceHeader(SequenceHeader& h, LONGLONG budget, CMediaType* pmt = nullptr);
  bool ReadMpegAudioHeader(MpegAudioHeader& h, LONGLONG budget, bool allowMpeg25 = false,
                           CMediaType* pmt = nullptr);
  bool ReadAdtsHeader(AdtsHeader& h, LONGLONG budget, CMediaType* pmt = nullptr);
  bool ReadAc3Header(Ac3Header& h, LONGLONG budget, CMediaType* pmt = nullptr);
  bool ReadDtsHeader(DtsHeader& h, LONGLONG budget, CMediaType* pmt = nullptr);
  bool ReadLpcmHeader(LpcmHeader& h, CMediaType* pmt = nullptr);
  bool ReadDvdSubpicHeader(CMediaType* pmt = nullptr);
  bool ReadSvcdSubpicHeader(CMediaType* pmt = nullptr);
  bool ReadCvdSubpicHeader(CMediaType* pmt = nullptr);
  bool ReadPs2SubpicHeader(CMediaType* pmt = nullptr);
  bool ReadPs2AudioHeader(Ps2AudioHeader& h, CMediaType* pmt = nullptr);
  bool ReadTsHeader(TsHeader& h, bool resync = true);
  bool ReadPsiSectionHeader(PsiSectionHeader& h);
  bool ReadPvaHeader(PvaHeader& h, bool resync = true);
  bool ReadAvcHeader(AvcHeader& h, LONGLONG budget, CMediaType* pmt = nullptr);
  // The same over bytes at hand (a stream's payload gathered from several
  // transport packets); `pos` is where they begin in the file.
  static bool ParseAvcHeader(const BYTE* data, size_t size, LONGLONG pos, AvcHeader& h, CMediaType* pmt = nullptr);

  // The transport-stream packet length found by the first ReadTsHeader: 0
  // before, else 188 or 192.
  int GetTsPacketLength() const { return m_tsPacketLength; }

  // 90 kHz ticks to 100 ns.
  static REFERENCE_TIME Ticks90kToTime(INT64 t) { return t * 10000 / 90; }

 private:
  bool Need(LONGLONG bytes) { return GetRemaining() >= bytes; }
  // Byte-aligns, then steps a byte at a time until the next bits equal the
  // sync value, keeping at least `need` bytes in the budget and the file.
  bool SeekSync(int bits, UINT64 value, LONGLONG need, LONGLONG& budget);
  // Reads a 33-bit time with its three marker bits behind a 4-bit prefix
  // already consumed; false on a wrong marker.
  bool ReadPtsBits(REFERENCE_TIME& t);
  bool ReadPtsInto(PesHeader& h, bool dts);
  bool DetectTsPacketLength();
  BYTE PeekByteAt(LONGLONG pos, bool& ok);

  int m_tsPacketLength = 0;
};
