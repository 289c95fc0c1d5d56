// The converter's set-up: the job's settings, the installed decoder's
// switches and the job's files. Probing, connecting, building per target
// and the run's reports each have their own file.
#include "conversion/GraphConverter.h"

#include "conversion/FrameRateChanger.h"
#include "platform/codecs/VideoDecoder.h"
#include "platform/win32/Registry.h"

std::vector<WMProfileEntry> g_WMProfiles;
std::string g_strConvertError;

namespace {

void WriteFfdshowSwitches(HKEY root) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(root, "Software\\GNU\\ffdshow", 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) return;
  static const char* const kCodecs[] = {"xvid", "div3", "divx", "_3iv", "mp42", "mp41", "h263",
                                        "h264", "dvsd", "svq1", "svq3", "dx50", "flv1"};
  const DWORD on = 1;
  for (const char* name : kCodecs)
    RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&on), sizeof on);
  RegCloseKey(key);
}

}  // namespace

CGraphConverter::CGraphConverter(void* /*window*/)
    : CFGManagerCustom("GraphConverter", nullptr, 0xFFFFFFFF, 0xFFFFFFFF) {
  // A job's failure text is its own, never one left by an earlier job.
  g_strConvertError.clear();
  if (IsFfdshowDecoderInstalled()) {
    WriteFfdshowSwitches(HKEY_CURRENT_USER);
    WriteFfdshowSwitches(HKEY_LOCAL_MACHINE);
  }
}

CGraphConverter::~CGraphConverter() {
  m_pFrameChanger.Release();
  m_pSink.Release();
}

std::string CGraphConverter::FinishFiles(bool keep, double stoppedAt) {
  if (keep) return stoppedAt >= 0 ? m_pFiles->KeepStopped(stoppedAt) : m_pFiles->Keep();
  m_pFiles->Discard();
  return std::string();
}

bool CGraphConverter::IsFfdshowDecoderInstalled() {
  IBaseFilter* filter = nullptr;
  HRESULT hr = CoCreateInstance(CLSID_FfdshowVideoDecoder, nullptr, CLSCTX_ALL, IID_IBaseFilter,
                                reinterpret_cast<void**>(&filter));
  if (filter) filter->Release();
  return hr == S_OK;
}

void CGraphConverter::SetFrameRate(int num, int den) {
  m_nRateNum = num;
  m_nRateDen = den;
  if (m_pFrameChanger) static_cast<CFrameRateChanger*>(m_pFrameChanger.p)->SetFrameRate(num, den);
}

void CGraphConverter::SetEncoderParams(const std::string& videoCodec, int videoKbps, const std::string& audioCodec,
                                       int audioKbps, int sampleRate, int channels) {
  m_strVideoCodec = videoCodec;
  m_nVideoKbps = videoKbps;
  m_strAudioCodec = audioCodec;
  m_nAudioKbps = audioKbps;
  m_nSampleRate = sampleRate;
  m_nChannels = channels;
}

void CGraphConverter::SetImageOutput(int mode, const std::wstring& path, int time, int width, int height) {
  m_nImageMode = mode;
  m_strImagePath = path;
  m_nImageTime = time;
  m_nImageWidth = width;
  m_nImageHeight = height;
}

void CGraphConverter::SetPictureList(const std::vector<std::string>& pictures, double seconds, int width,
                                     int height, const std::string& soundFile) {
  m_astrPictures = pictures;
  m_dPictureSeconds = seconds;
  m_nPictureWidth = width;
  m_nPictureHeight = height;
  m_strSoundFile = soundFile;
}
