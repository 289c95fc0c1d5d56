#include "app/JobFlow.h"

#include <cstdio>

#include "app/DlgBatch.h"
#include "app/DlgCvtType.h"
#include "app/DlgImageSource.h"
#include "app/DlgTargetPage.h"
#include "app/DlgVideoSource.h"
#include "app/PathName.h"
#include "app/SourceProbe.h"
#include "conversion/GraphConverter.h"
#include "conversion/JobFiles.h"
#include "platform/ui/Resource.h"
#include "resources/ResourceIds.h"

std::unique_ptr<CConvertOpt> CJobFlow::AddJob() {
  auto job = std::make_unique<CConvertOpt>();
  CDlgCvtType typePage(m_pOwner);
  typePage.m_pJob = job.get();
  while (typePage.DoModal() == IDOK) {
    // Another type has another target page: what the last one proposed
    // (its name's extension, its size) is not this one's.
    if (typePage.m_nType != job->m_nType) {
      if (!job->m_bTargetNamed) job->m_strTarget.clear(), job->m_bReplaceTarget = 0;
      job->m_nWidth = job->m_nHeight = 0;
    }
    job->SetType(typePage.m_nType);
    const int result = RunJobPages(job.get());
    if (result == kPageFinish) return job;
    if (result != kPageBack) break;
  }
  return nullptr;
}

int CJobFlow::RunJobPages(CConvertOpt* job) {
  // The source page lives for the whole call: Back from the target page
  // finds it as it was left.
  std::unique_ptr<CDlgVideoSource> video;
  std::unique_ptr<CDlgImageSource> pictures;
  // A target page writes its own family's type into the record (a picture
  // job leaves the AVI page as an AVI job); Back returns to the wizard's type.
  const int type = job->m_nType;
  for (;;) {
    job->m_nType = type;
    int result = kPageCancel;
    if (type == CONVERT_PICTURES_TO_VIDEO) {
      if (!pictures) pictures = std::make_unique<CDlgImageSource>(m_pOwner);
      pictures->m_pJob = job;
      pictures->m_nResult = kPageCancel;
      pictures->DoModal();
      result = pictures->m_nResult;
    } else {
      if (!video) video = std::make_unique<CDlgVideoSource>(m_pOwner);
      video->m_pJob = job;
      video->m_nResult = kPageCancel;
      video->DoModal();
      result = video->m_nResult;
    }
    if (result == kPageBack) return kPageBack;
    if (result != kPageNext) return kPageCancel;

    std::unique_ptr<CDlgTargetPage> target = CreateTargetPage(type, m_pOwner);
    if (!target) return kPageCancel;
    target->m_pJob = job;
    target->m_listTargets = m_listTargets;
    target->DoModal();
    if (target->m_nResult == kPageFinish) return kPageFinish;
    if (target->m_nResult != kPageBack) return kPageCancel;
  }
}

std::vector<std::unique_ptr<CConvertOpt>> CJobFlow::AddBatch() {
  auto batch = std::make_unique<CConvertOpt>();
  std::vector<std::unique_ptr<CConvertOpt>> jobs;
  CDlgCvtType typePage(m_pOwner);
  typePage.m_pJob = batch.get();
  typePage.m_bBatch = 1;
  int result = kPageCancel;
  while (typePage.DoModal() == IDOK) {
    batch->SetType(typePage.m_nType);
    result = RunBatchPages(batch.get(), jobs);
    if (result != kPageBack) break;
  }
  if (result != kPageFinish) return {};
  FinishBatchJobs(*batch, jobs);
  return jobs;
}

int CJobFlow::RunBatchPages(CConvertOpt* batch, std::vector<std::unique_ptr<CConvertOpt>>& jobs) {
  const int type = batch->m_nType;
  for (;;) {
    batch->m_nType = type;
    CDlgBatch list(m_pOwner);
    list.m_pJob = batch;
    list.m_jobs = std::move(jobs);
    list.DoModal();
    // The page hands back exactly the records of its rows, also after Back
    // and Cancel, so every record has one owner.
    jobs = std::move(list.m_jobs);
    if (list.m_nResult == kPageBack) return kPageBack;
    if (list.m_nResult != kPageNext) return kPageCancel;
    // Pictures have no batch target page.
    if (batch->m_nType < CONVERT_AVI || batch->m_nType > CONVERT_FLV) return kPageCancel;
    // The target page again while the user keeps the batch's files.
    int result = kPageFinish;
    while (result == kPageFinish) {
      std::unique_ptr<CDlgTargetPage> target = CreateTargetPage(batch->m_nType, m_pOwner);
      if (!target) return kPageCancel;
      target->m_pJob = batch;
      target->m_bBatch = 1;
      target->DoModal();
      result = target->m_nResult;
      if (result == kPageFinish && ConfirmBatchReplace(*batch, jobs)) return kPageFinish;
    }
    if (result != kPageBack) return kPageCancel;
  }
}

bool CJobFlow::ConfirmBatchReplace(const CConvertOpt& batch, std::vector<std::unique_ptr<CConvertOpt>>& jobs) {
  const std::vector<std::string> targets = BatchTargets(batch, jobs);
  // A target that is its own job's source (a PSP name that a source in the
  // output folder has) is refused at once: there is nothing to ask about.
  for (size_t i = 0; i < jobs.size(); ++i)
    if (IsSameFileOnDisk(targets[i], jobs[i]->m_strSource)) {
      TargetMessageBox(m_pOwner, UiLoadString(IDS_OUTPUT_IS_SOURCE) + "\n    " + targets[i],
                       MB_OK | MB_ICONEXCLAMATION);
      return false;
    }
  std::vector<std::string> taken;
  size_t ofJobs = 0;
  // A file, a job of the list, or an earlier job of the batch has the name.
  std::vector<std::string> jobTargets = m_listTargets;
  for (size_t i = 0; i < jobs.size(); ++i) {
    const bool file = IsTakenTarget(targets[i]);
    const bool job = HasTarget(jobTargets, targets[i]);
    jobs[i]->m_bReplaceTarget = file || job ? 1 : 0;
    if (file || job) taken.push_back(targets[i]);
    ofJobs += !file && job;
    jobTargets.push_back(targets[i]);
  }
  if (taken.empty()) return true;
  if (AskToReplace(m_pOwner, TakenTargetsText(taken, ofJobs), taken.size()) == IDYES) return true;
  for (auto& job : jobs) job->m_bReplaceTarget = 0;
  return false;
}

std::vector<std::string> BatchTargets(const CConvertOpt& batch, const std::vector<std::unique_ptr<CConvertOpt>>& jobs) {
  std::vector<std::string> targets;
  int number = batch.m_nPspFileNumber;
  for (const auto& job : jobs) {
    std::string target = job->m_strTarget;
    if (batch.m_nType == CONVERT_PSP) {
      char digits[32];
      std::snprintf(digits, sizeof digits, "%05d", number++);
      // The numbered name goes into the folder the batch list chose.
      target = PathFolder(target) + (batch.m_nVideoCodec == 0 ? "M4V" : "MAQ") + digits + ".mp4";
    } else if (batch.m_nType == CONVERT_FLV && batch.m_nProfile != PROFILE_FLV) {
      target = PathWithExtension(target, ".swf");
    } else if (batch.m_nType == CONVERT_3GP && batch.m_nProfile != PROFILE_3GP) {
      target = PathWithExtension(target, ".3g2");
    }
    targets.push_back(target);
  }
  return targets;
}

void FinishBatchJobs(CConvertOpt& batch, std::vector<std::unique_ptr<CConvertOpt>>& jobs) {
  const std::vector<std::string> targets = BatchTargets(batch, jobs);
  for (size_t i = 0; i < jobs.size(); ++i) {
    jobs[i]->CopySettings(batch);
    jobs[i]->m_strTarget = targets[i];
  }
  if (batch.m_nType == CONVERT_PSP) batch.m_nPspFileNumber += static_cast<int>(jobs.size());
}

void FollowNewSource(CConvertOpt& job) {
  if (!job.m_bTargetNamed) {
    job.m_strTarget.clear();
    job.m_bReplaceTarget = 0;
  }
  switch (job.m_nType) {
    case CONVERT_AVI:
    case CONVERT_MPEG:
    case CONVERT_MP4:
    case CONVERT_FLV: job.m_nWidth = job.m_nHeight = 0; break;
    default: break;  // sizes of presets and disc standards, not of the source
  }
}

std::string JobSourceText(const CConvertOpt& job) {
  const size_t pictures = job.m_astrPictures.size();
  if (pictures == 0) return job.m_strSource;
  if (pictures == 1) return job.m_astrPictures[0];
  return job.m_astrPictures[0] + " and " + std::to_string(pictures - 1) + (pictures == 2 ? " more picture" : " more pictures");
}

std::string JobTypeText(const CConvertOpt& job) {
  std::string target;
  switch (job.m_nType) {
    case CONVERT_AVI:
      // A job made from a picture list has no source movie to name.
      if (!job.m_astrPictures.empty()) return "Pictures to AVI";
      if (job.m_nSourceFormat == SourceFormat_AVI) return "AVI Change Codec";
      target = "AVI";
      break;
    case CONVERT_WMV:
      if (job.m_nSourceFormat == SourceFormat_WMV) return "WMV/ASF Change Profile";
      target = "WMV/ASF";
      break;
    case CONVERT_MPEG: target = job.m_nMpegKind == 1 ? "MPEG II" : "MPEG I"; break;
    case CONVERT_DISC:
      target = job.m_nMpegKind == 2 ? "VCD" : job.m_nMpegKind == 3 ? "SVCD" : job.m_nMpegKind == 4 ? "DVD" : "";
      break;
    case CONVERT_PALNTSC: return "PAL/NTSC Interchange";
    case CONVERT_3GP: target = "3GP"; break;
    case CONVERT_PSP: target = "PSP"; break;
    case CONVERT_IPOD: target = "iPod"; break;
    case CONVERT_MP4: target = "MP4"; break;
    case CONVERT_FLV: target = "FLV/SWF"; break;
    case CONVERT_VIDEO_TO_PICTURES: target = "Pictures"; break;
    case CONVERT_PICTURES_TO_VIDEO: return "Pictures to AVI";
    default: break;
  }
  return CGraphConverter::GetSourceFormatName(job.m_nSourceFormat, FormatExtension(job.m_strSource)) + " to " +
         target;
}
