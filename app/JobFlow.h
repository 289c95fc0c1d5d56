// The job creation flow: the conversion-type page, then the source page of
// a job (or the batch list of a batch), then the target page of the chosen
// type, with Back, Next/Finish and Cancel moving between them. Records
// belong to the flow until it hands the finished ones to the caller.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "app/TakenTargets.h"
#include "conversion/ConvertOpt.h"
#include "platform/ui/Wnd.h"

// Page results the flow reads after a page closes.
enum PageResult { kPageBack = 0, kPageNext = 1, kPageFinish = 2, kPageCancel = 3 };

class CJobFlow {
 public:
  explicit CJobFlow(CWnd* owner) : m_pOwner(owner) {}

  // The targets of the jobs of the list: a new job that would write one of
  // them is asked about as one that would replace a file.
  void SetListTargets(std::vector<std::string> targets) { m_listTargets = std::move(targets); }

  // One job; null when the user cancelled.
  std::unique_ptr<CConvertOpt> AddJob();
  // A batch, in list order; empty when the user cancelled.
  std::vector<std::unique_ptr<CConvertOpt>> AddBatch();

  // Source page then target page of one job: back (to the type page),
  // finish or cancel.
  int RunJobPages(CConvertOpt* job);
  // Batch list then the target page of the batch's settings record. `jobs`
  // holds the batch's records between visits, whatever the pages answer.
  int RunBatchPages(CConvertOpt* batch, std::vector<std::unique_ptr<CConvertOpt>>& jobs);

 private:
  // Names the batch's targets that are files already and asks once whether
  // to replace them; Yes marks their jobs so, No (the default) answers
  // false and the target page opens again.
  bool ConfirmBatchReplace(const CConvertOpt& batch, std::vector<std::unique_ptr<CConvertOpt>>& jobs);

  CWnd* m_pOwner;
  std::vector<std::string> m_listTargets;
};

// The targets a finished batch gives its jobs, in order: PSP jobs their
// numbered names, FLV/SWF and 3GP/3G2 jobs the extension their container
// asks for, the others the name the batch list gave.
std::vector<std::string> BatchTargets(const CConvertOpt& batch, const std::vector<std::unique_ptr<CConvertOpt>>& jobs);
// The end of a finished batch: every job takes the batch's settings and its
// target of BatchTargets.
void FinishBatchJobs(CConvertOpt& batch, std::vector<std::unique_ptr<CConvertOpt>>& jobs);

// The source page took another source: a target name the target page
// proposed (not one the user gave) follows it, and so does a picture size
// that the target page takes from the source.
void FollowNewSource(CConvertOpt& job);

// The "Source File" column of a job's row: the source, or the pictures.
std::string JobSourceText(const CConvertOpt& job);
// The "Conversion Type" column of a job's row.
std::string JobTypeText(const CConvertOpt& job);
