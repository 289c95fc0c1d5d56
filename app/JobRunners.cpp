#include "app/JobRunners.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "app/PathName.h"
#include "conversion/GraphConverter.h"
#include "platform/ui/Resource.h"
#include "resources/ResourceIds.h"
#include "platform/win32/CodePage.h"
#include "platform/win32/ErrorText.h"

CGraphConverterJob::CGraphConverterJob(HWND window) : m_pConverter(new CGraphConverter(window)) {
  // The first reference: from here the converter lives as long as the graph.
  m_pConverter->NonDelegatingQueryInterface(IID_PPV_ARGS(&m_pGraph));
}

CGraphConverterJob::~CGraphConverterJob() = default;

void CGraphConverterJob::SetFrameRate(int num, int den) { m_pConverter->SetFrameRate(num, den); }
void CGraphConverterJob::SetOutputSize(int width, int height) { m_pConverter->SetOutputSize(width, height); }
void CGraphConverterJob::SetPictureList(const std::vector<std::string>& pictures, double seconds, int width,
                                        int height, const std::string& soundFile) {
  m_pConverter->SetPictureList(pictures, seconds, width, height, soundFile);
}
void CGraphConverterJob::SetSplitSize(int size) { m_pConverter->SetSplitSize(size); }
void CGraphConverterJob::SetFrameRect(int left, int top, int right, int bottom, int resize) {
  m_pConverter->SetFrameRect(left, top, right, bottom, resize);
}
void CGraphConverterJob::SetEncoderParams(const std::string& videoCodec, int videoKbps,
                                          const std::string& audioCodec, int audioKbps, int sampleRate,
                                          int channels) {
  m_pConverter->SetEncoderParams(videoCodec, videoKbps, audioCodec, audioKbps, sampleRate, channels);
}
void CGraphConverterJob::SetImageOutput(int mode, const std::wstring& path, int time, int width, int height) {
  m_pConverter->SetImageOutput(mode, path, time, width, height);
}
void CGraphConverterJob::SetReplacePictures(bool replace) { m_pConverter->SetReplacePictures(replace); }
void CGraphConverterJob::SetReplaceTarget(bool replace) { m_pConverter->SetReplaceTargets(replace); }
HRESULT CGraphConverterJob::BuildMpegGraph(const std::string& source, const std::string& target, int kind) {
  return m_pConverter->BuildMpegGraph(source, target, kind);
}
HRESULT CGraphConverterJob::BuildVcdGraph(const std::string& source, const std::string& target, int ntsc,
                                          int discKind, int larger) {
  return m_pConverter->BuildVcdGraph(source, target, ntsc, discKind, larger);
}
HRESULT CGraphConverterJob::BuildMP4Graph(const std::string& source, const std::string& target, int profile) {
  return m_pConverter->BuildMP4Graph(source, target, profile);
}
HRESULT CGraphConverterJob::BuildAviFlvGraph(const std::string& source, const std::string& target,
                                             const std::string& format) {
  return m_pConverter->BuildAviFlvGraph(source, target, format);
}
HRESULT CGraphConverterJob::BuildPicturesGraph(const std::string& source, const std::string& folder, int interval,
                                               int width, int height) {
  return m_pConverter->BuildPicturesGraph(source, folder, interval, width, height);
}
std::string CGraphConverterJob::RunErrorText() { return m_pConverter->GetRunError(); }
std::string CGraphConverterJob::RunNoteText() { return m_pConverter->GetRunNote(); }
std::string CGraphConverterJob::FinishFiles(bool keep, double stoppedAt) {
  return m_pConverter->FinishFiles(keep, stoppedAt);
}
std::vector<std::pair<std::string, std::string>> CGraphConverterJob::KeptFiles() { return m_pConverter->KeptFiles(); }
HRESULT CGraphConverterJob::BuildAsfGraph(const std::string& source, const std::string& target, int profileIndex) {
  return m_pConverter->BuildAsfGraph(source, target, profileIndex);
}

namespace {

// AVI and FLV share their settings.
void HandOverAviSettings(const CConvertOpt& job, CJobBuilder& builder) {
  builder.SetFrameRate(static_cast<int>(job.m_dFrameRate * 100.0), 100);
  builder.SetOutputSize(job.m_nWidth, job.m_nHeight);
  builder.SetEncoderParams(job.GetVideoCodecName(job.m_nVideoCodec), job.m_nVideoBitrate,
                           job.GetAudioCodecName(job.m_nAudioCodec), job.m_nAudioBitrate, job.m_nSampleRate, 2);
  if (job.m_bResize) builder.SetFrameRect(0, 0, job.m_nSourceWidth, job.m_nSourceHeight, 1);
}

}  // namespace

HRESULT HandOverAviJob(const CConvertOpt& job, CJobBuilder& builder, int* seekingSource) {
  HandOverAviSettings(job, builder);
  // A job made on the picture-list page: its pictures and sound file are
  // the source.
  if (!job.m_astrPictures.empty())
    builder.SetPictureList(job.m_astrPictures, job.m_fPictureInterval, job.m_nSourceWidth, job.m_nSourceHeight,
                           job.m_strAudioFile);
  *seekingSource = kSeekAvi;
  return builder.BuildAviFlvGraph(job.m_strSource, job.m_strTarget, "avi");
}

HRESULT HandOverFlvJob(const CConvertOpt& job, CJobBuilder& builder, int* seekingSource) {
  HandOverAviSettings(job, builder);
  *seekingSource = kSeekMp4;
  return builder.BuildAviFlvGraph(job.m_strSource, job.m_strTarget, job.m_nProfile == PROFILE_FLV ? "flv" : "swf");
}

HRESULT HandOverAsfJob(const CConvertOpt& job, CJobBuilder& builder, int* seekingSource) {
  builder.SetOutputSize(0, 0);
  builder.SetFrameRate(25, 1);
  *seekingSource = kSeekAsf;
  return builder.BuildAsfGraph(job.m_strSource, job.m_strTarget, job.m_nWmProfile);
}

HRESULT HandOverMpegJob(const CConvertOpt& job, CJobBuilder& builder, int* seekingSource) {
  *seekingSource = kSeekMpeg;
  if (job.m_nType == CONVERT_MPEG) {
    builder.SetOutputSize(job.m_nWidth, job.m_nHeight);
    builder.SetFrameRate(job.m_nMpegRateNum, job.m_nMpegRateDen);
    return builder.BuildMpegGraph(job.m_strSource, job.m_strTarget, job.m_nMpegKind);
  }
  builder.SetSplitSize(SplitSizeOf(job.m_nSplitIndex));
  return builder.BuildVcdGraph(job.m_strSource, job.m_strTarget, job.m_nTvStandard, job.m_nMpegKind - 2,
                              job.m_nDiscSize);
}

HRESULT HandOverMp4Job(const CConvertOpt& job, CJobBuilder& builder, int* seekingSource) {
  int num = 25, den = 1;
  CConvertOpt::GetProfileFrameRate(job.m_nProfile, job.m_nFrameRateIndex, &num, &den);
  builder.SetFrameRate(num, den);
  builder.SetOutputSize(job.m_nWidth, job.m_nHeight);
  builder.SetEncoderParams(CConvertOpt::GetProfileVideoCodecName(job.m_nProfile, job.m_nVideoCodec),
                           job.m_nVideoBitrate,
                           CConvertOpt::GetProfileAudioCodecName(job.m_nProfile, job.m_nAudioCodec),
                           job.m_nAudioBitrate, job.m_nSampleRate, job.m_nChannels);
  if (job.m_bResize) builder.SetFrameRect(0, 0, job.m_nSourceWidth, job.m_nSourceHeight, 1);
  if (job.m_nProfile == PROFILE_PSP && job.m_fThumbTime > 0)
    builder.SetImageOutput(1, ThumbnailPath(job.m_strTarget), static_cast<int>(job.m_fThumbTime * 1000.0), 160, 120);
  *seekingSource = kSeekMp4;
  return builder.BuildMP4Graph(job.m_strSource, job.m_strTarget, job.m_nProfile);
}

namespace {

// The picture page's check, again at the start of the job: the folder may
// have gone since. A series into a folder that is not there, or cannot be
// written, would end "done" with nothing written.
HRESULT CheckPictureFolder(const std::string& folder) {
  struct stat st {};
  if (folder.empty() || stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    std::string text = UiLoadString(IDS_NO_OUTPUT_FOLDER);
    if (text.empty()) text = "The output folder does not exist.";
    g_strConvertError = text + " (" + folder + ")\n";
    return HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
  }
  if (access(folder.c_str(), W_OK | X_OK) != 0) {
    g_strConvertError = "The output folder cannot be written: " + folder + " (" + std::strerror(errno) + ")\n";
    return HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED);
  }
  return S_OK;
}

}  // namespace

HRESULT HandOverPicturesJob(const CConvertOpt& job, CJobBuilder& builder, int* seekingSource) {
  HRESULT hr = CheckPictureFolder(job.m_strPictureFolder);
  if (FAILED(hr)) return hr;
  builder.SetOutputSize(0, 0);
  builder.SetFrameRate(25, 1);
  builder.SetReplacePictures(job.m_bReplacePictures != 0);
  *seekingSource = kSeekGraph;
  return builder.BuildPicturesGraph(job.m_strSource, job.m_strPictureFolder,
                                    static_cast<int>(job.m_fPictureInterval), job.m_nSourceWidth,
                                    job.m_nSourceHeight);
}

int SplitSizeOf(int index) {
  static const int kSizes[] = {0, 612352, 745472, 806912, 663552, 714752, 1021952};
  if (index >= 0 && index < static_cast<int>(sizeof(kSizes) / sizeof(kSizes[0]))) return kSizes[index];
  return 9216;
}

std::wstring ThumbnailPath(const std::string& target) {
  // Only a point in the file name starts the extension: a point in a folder
  // name must not send the thumbnail into another folder.
  const std::string path = PathWithExtension(target, ".THM");
  const int size = MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, nullptr, 0);
  if (size <= 1) return std::wstring(path.begin(), path.end());
  std::wstring wide(static_cast<size_t>(size), L'\0');
  MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, wide.data(), size);
  wide.resize(static_cast<size_t>(size - 1));
  return wide;
}

std::string ResultText(HRESULT hr) { return SystemErrorText(hr); }

std::string FormatFailure(HRESULT hr, const std::string& reason) {
  const std::string text = ResultText(hr);
  // The reason ends inside the brackets, not with its own line break.
  std::string previous = reason;
  while (!previous.empty() && (previous.back() == '\n' || previous.back() == '\r')) previous.pop_back();
  const int size = std::snprintf(nullptr, 0, "Code: 0x%x, %s -- [%s]", static_cast<unsigned>(hr), text.c_str(),
                                 previous.c_str());
  std::string out(static_cast<size_t>(size) + 1, '\0');
  std::snprintf(out.data(), out.size(), "Code: 0x%x, %s -- [%s]", static_cast<unsigned>(hr), text.c_str(),
                previous.c_str());
  out.resize(static_cast<size_t>(size));
  return out;
}

namespace {

std::string EndLine(std::string text) {
  if (text.empty() || text.back() != '\n') text += '\n';
  return text;
}

}  // namespace

std::string AbortMessage(int number, const CConvertOpt& job, HRESULT hr, const std::string& runError) {
  char head[64];
  std::snprintf(head, sizeof(head), "%d. EC_ERRORABORT, hr = %08x\n", number, static_cast<unsigned>(hr));
  std::string text = head;
  if (!runError.empty()) {
    text += EndLine(runError);
  } else if (hr == static_cast<HRESULT>(0x8003001D) || hr == HRESULT_FROM_WIN32(ERROR_DISK_FULL)) {
    // A write that failed names the file it was for.
    text += EndLine("Could not write '" + job.m_strTarget + "': " + ResultText(hr));
  } else if (job.m_nType >= CONVERT_3GP && job.m_nType <= CONVERT_MP4) {
    text += " Error in output settings. We suggest you using the pre-defined profile while creating 3GP and MP4 files.\n";
  } else {
    text += EndLine(ResultText(hr));
  }
  // No codec note: a running graph fails in a stage, not for want of a
  // decoder (a stream no decoder takes fails the build, and says so there).
  return text;
}
