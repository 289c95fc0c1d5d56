// The decoding paths of the audio decoder: an input buffer that collects the
// payload of the input samples, and one path per input format that takes
// whole frames from the front of the buffer, decodes them to float samples
// in [-1, 1] interleaved by channel and hands them on through Deliver, or,
// for S/PDIF pass-through, hands the compressed frame to DeliverBitstream.
//
// The filter derives from this class and supplies the delivery and the
// settings; everything here runs under the filter's receive lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "decoders/mpegaudio/MpaDecTypes.h"
#include "decoders/mpegaudio/TremorDecoder.h"
#include "platform/dshow/MediaType.h"

// Decoder selector of the speaker-configuration and dynamic-range settings.
enum MpaDecoderSelector : int { MPADEC_AC3 = 0, MPADEC_DTS = 1, MPADEC_AAC = 2 };

class CMpaDecPaths {
 public:
  CMpaDecPaths();
  virtual ~CMpaDecPaths();
  CMpaDecPaths(const CMpaDecPaths&) = delete;
  CMpaDecPaths& operator=(const CMpaDecPaths&) = delete;

  // The input type decoded; the AAC decoder and the Vorbis headers are set
  // up again for it.
  void SetInputType(const AM_MEDIA_TYPE& mt);
  const CMediaType& InputType() const { return m_mt; }

  // Creates the library states for streaming (AC-3, DTS, MPEG audio, the AAC
  // decoder for the input type) and clears the PS2 state.
  void InitDecoders();
  // Frees what InitDecoders created, except the AAC decoder, which lives as
  // long as the object.
  void FreeDecoders();
  // PS2 streams restart with silence until their next data tag.
  void ResetPs2();

  void AppendInput(const BYTE* data, size_t size);
  void ClearInput();
  size_t InputSize() const { return m_buff.size(); }
  // Input bytes taken out of the buffer since the decoders were set up
  // (decoded, passed over or dropped).
  uint64_t TakenBytes() const { return m_nTaken; }
  // Where in the input (counted as TakenBytes) the frame being delivered
  // begins, and for PCM, which has no frames, how many input bytes the
  // block being delivered holds (0 for a frame of a coded format).
  uint64_t FrameAt() const { return m_nFrameAt; }
  size_t PcmBlockBytes() const { return m_nPcmBlockBytes; }

  // Runs the path of the input type over the buffer.
  HRESULT ProcessInput();
  // At the end of the stream: decodes what the buffer still holds where the
  // format allows (the last MPEG audio frame needs guard bytes behind it).
  HRESULT FlushInput();

  HRESULT ProcessLPCM();
  HRESULT ProcessAC3();
  HRESULT ProcessDTS();
  HRESULT ProcessAAC();
  HRESULT ProcessPS2PCM();
  HRESULT ProcessPS2ADPCM();
  HRESULT ProcessVorbis();
  HRESULT ProcessMPA();

  bool InitAacDecoder(const AM_MEDIA_TYPE& mt);
  // How often an AAC decoder was built (the tests bound its cost).
  size_t AacDecoderBuilds() const;
  bool InitVorbisDecoder(const AM_MEDIA_TYPE& mt);
  // Decodes one 16-byte unit into 28 samples, with the history of channel
  // 0 or 1.
  void DecodePs2AdpcmBlock(const BYTE* unit, double out[28], int channel);

  // What the Vorbis headers announced (0 before a successful set-up).
  int VorbisChannels() const { return m_vorbis.Channels(); }
  long VorbisRate() const { return m_vorbis.Rate(); }

  // Rate and channels that a fresh AAC decoder reports for the type's
  // configuration; false when it refuses it.
  static bool ProbeAac(const AM_MEDIA_TYPE& mt, DWORD* rate, WORD* channels);
  // The interleave of a PS2 type (the 32-bit field behind the format's
  // WAVEFORMATEX and its extra size); 0 when the block is too short.
  static DWORD Ps2Interleave(const AM_MEDIA_TYPE& mt);
  // The WAVEFORMATEX of a type, or null when its block is too short.
  static const WAVEFORMATEX* WaveFormat(const AM_MEDIA_TYPE& mt);
  // DVD LPCM as a DVD carries it: 1 to 8 channels of 16, 20 or 24 bits.
  static bool IsDecodableLpcm(const WAVEFORMATEX* wfx);
  // Bytes of the smallest whole unit of DVD LPCM: one sample time at 16
  // bits, two at 20 and 24 bits.
  static size_t LpcmGroupSize(WORD channels, WORD bits);

 protected:
  virtual HRESULT Deliver(const float* values, size_t count, DWORD rate, WORD channels, DWORD mask) = 0;
  virtual HRESULT DeliverBitstream(const BYTE* frame, size_t length, int64_t bitRate, WORD dataType) = 0;
  virtual int STDMETHODCALLTYPE GetSpeakerConfig(int selector) = 0;
  virtual bool STDMETHODCALLTYPE GetDynamicRangeControl(int selector) = 0;
  // Channels of the connected PCM output, 0 when unknown.
  virtual WORD OutputChannels() const { return 0; }

  std::vector<BYTE> m_buff;
  uint64_t m_nTaken = 0;
  uint64_t m_nFrameAt = 0;
  size_t m_nPcmBlockBytes = 0;
  // The frame about to be delivered begins `pos` bytes into the buffer (a
  // PCM block: and holds `pcmBytes` of it).
  void FrameBeginsAt(size_t pos, size_t pcmBytes = 0) {
    m_nFrameAt = m_nTaken + pos;
    m_nPcmBlockBytes = pcmBytes;
  }
  CMediaType m_mt;

 private:
  // Scales a decoded DTS frame so that no sample passes full scale.
  void KeepDtsInRange(std::vector<float>& values);
  float m_dtsGain = 1.0f;
  HRESULT ProcessPS2(bool adpcm);
  // Decodes the frame libmad has just refused for its mode through FFmpeg;
  // false when that gives nothing either.
  bool DecodeRefusedMpaFrame(std::vector<float>& values, DWORD& rate, WORD& channels);
  // Silence as long as the frame libmad has just failed to decode, when its
  // header was read; false when there is no frame to give a place.
  bool SilenceForUndecodedFrame(std::vector<float>& values, DWORD& rate, WORD& channels);
  void ConsumeInput(size_t bytes);

  struct Libs;
  std::unique_ptr<Libs> m_libs;
  CTremorDecoder m_vorbis;
  int64_t m_vorbisPacket = 0;

  bool m_ps2Started = false;
  size_t m_ps2Skip = 0;  // bytes of a header chunk still to skip
  double m_ps2History[2][2] = {};
};
