#include "splitters/matroska/MatroskaFile.h"

#include <zlib.h>

#include <algorithm>
#include <new>

#include "foundation/FilterHelpers.h"

namespace MatroskaReader {

namespace {

constexpr UINT64 kDefaultTimeCodeScale = 1000000;
// Seek heads followed from the index, beyond those met in the walk: a
// file that chains more is hostile, not large.
constexpr int kMaxFollowedSeekHeads = 64;
// Largest frame or codec private block inflated (a 4K picture of 32-bit
// pixels is about 33 MB): more is a compression bomb, not a frame.
constexpr size_t kMaxInflated = 64u << 20;

// Walks the children of `pMN0`, handing each to `dispatch`; S_FALSE when
// there is none.
template <class F>
HRESULT ParseChildren(CMatroskaNode* pMN0, F&& dispatch) {
  if (!pMN0) return E_POINTER;
  std::unique_ptr<CMatroskaNode> pMN = pMN0->Child();
  if (!pMN) return S_FALSE;
  do {
    dispatch(pMN.get());
  } while (pMN->Next());
  return S_OK;
}

bool Inflate(std::vector<BYTE>& data) {
  z_stream z{};
  if (inflateInit(&z) != Z_OK) return false;
  std::vector<BYTE> out;
  z.next_in = data.data();
  z.avail_in = static_cast<uInt>(data.size());
  bool ok = false;
  for (;;) {
    const size_t old = out.size();
    if (old + 1000 > kMaxInflated) break;
    out.resize(old + 1000);
    z.next_out = out.data() + old;
    z.avail_out = 1000;
    const int res = inflate(&z, Z_NO_FLUSH);
    out.resize(old + 1000 - z.avail_out);
    if (res == Z_STREAM_END) {
      ok = true;
      break;
    }
    // Output space left over means the input ran out before the stream's
    // end: the data is cut short.
    if (res != Z_OK || z.avail_out > 0) break;
  }
  inflateEnd(&z);
  if (ok) data.swap(out);
  return ok;
}

}  // namespace

template <class T>
HRESULT CNode<T>::Parse(CMatroskaNode* pMN) {
  std::unique_ptr<T> p(new (std::nothrow) T());
  if (!p) return E_OUTOFMEMORY;
  HRESULT hr = p->Parse(pMN);
  if (FAILED(hr)) return hr;
  this->push_back(std::move(p));
  return S_OK;
}

HRESULT EBML::Parse(CMatroskaNode* pMN0) {
  return ParseChildren(pMN0, [&](CMatroskaNode* pMN) {
    switch (pMN->Id()) {
      case 0x4286: EBMLVersion.Parse(pMN); break;
      case 0x42F7: EBMLReadVersion.Parse(pMN); break;
      case 0x42F2: EBMLMaxIDLength.Parse(pMN); break;
      case 0x42F3: EBMLMaxSizeLength.Parse(pMN); break;
      case 0x4282: DocType.Parse(pMN); break;
      case 0x4287: DocTypeVersion.Parse(pMN); break;
      case 0x4285: DocTypeReadVersion.Parse(pMN); break;
    }
  });
}

Info::Info() { TimeCodeScale.Set(kDefaultTimeCodeScale); }

HRESULT Info::Parse(CMatroskaNode* pMN0) {
  return ParseChildren(pMN0, [&](CMatroskaNode* pMN) {
    switch (pMN->Id()) {
      case 0x73A4: SegmentUID.Parse(pMN); break;
      case 0x3CB923: PrevUID.Parse(pMN); break;
      case 0x3EB923: NextUID.Parse(pMN); break;
      case 0x7384: SegmentFilename.Parse(pMN); break;
      case 0x3C83AB: PrevFilename.Parse(pMN); break;
      case 0x3E83BB: NextFilename.Parse(pMN); break;
      case 0x2AD7B1: TimeCodeScale.Parse(pMN); break;
      case 0x4489: Duration.Parse(pMN); break;
      case 0x4461: DateUTC.Parse(pMN); break;
      case 0x7BA9: Title.Parse(pMN); break;
      case 0x4D80: MuxingApp.Parse(pMN); break;
      case 0x5741: WritingApp.Parse(pMN); break;
    }
  });
}

HRESULT Seek::Parse(CMatroskaNode* pMN0) {
  return ParseChildren(pMN0, [&](CMatroskaNode* pMN) {
    switch (pMN->Id()) {
      case 0x53AB: {
        // The identifier is the payload, read with the identifier coding.
        SeekID.Parse(pMN);
        break;
      }
      case 0x53AC: SeekPosition.Parse(pMN); break;
    }
  });
}

HRESULT SeekHead::Parse(CMatroskaNode* pMN0) {
  return ParseChildren(pMN0, [&](CMatroskaNode* pMN) {
    if (pMN->Id() == 0x4DBB) SeekList.Parse(pMN);
  });
}

HRESULT Video::Parse(CMatroskaNode* pMN0) {
  return ParseChildren(pMN0, [&](CMatroskaNode* pMN) {
    switch (pMN->Id()) {
      case 0x9A: FlagInterlaced.Parse(pMN); break;
      case 0x53B8: StereoMode.Parse(pMN); break;
      case 0xB0: PixelWidth.Parse(pMN); break;
      case 0xBA: PixelHeight.Parse(pMN); break;
      case 0x54B0: DisplayWidth.Parse(pMN); break;
      case 0x54BA: DisplayHeight.Parse(pMN); break;
      case 0x54B2: DisplayUnit.Parse(pMN); break;
      case 0x54B3: AspectRatioType.Parse(pMN); break;
      case 0x2EB524: ColourSpace.Parse(pMN); break;
      case 0x2FB523: GammaValue.Parse(pMN); break;
      case 0x2383E3: FrameRate.Parse(pMN); break;
    }
  });
}

Audio::Audio() {
  SamplingFrequency.Set(8000.0);
  Channels.Set(1);
}

HRESULT Audio::Parse(CMatroskaNode* pMN0) {
  return ParseChildren(pMN0, [&](CMatroskaNode* pMN) {
    switch (pMN->Id()) {
      case 0xB5: SamplingFrequency.Parse(pMN); break;
      case 0x78B5: OutputSamplingFrequency.Parse(pMN); break;
      case 0x9F: Channels.Parse(pMN); break;
      case 0x7D7B: ChannelPositions.Parse(pMN); break;
      case 0x6264: BitDepth.Parse(pMN); break;
    }
  });
}

ContentCompression::ContentCompression() { ContentCompAlgo.Set(ZLIB); }

HRESULT ContentCompression::Parse(CMatroskaNode* pMN0) {
  return ParseChildren(pMN0, [&](CMatroskaNode* pMN) {
    switch (pMN->Id()) {
      case 0x4254: ContentCompAlgo.Parse(pMN); break;
      case 0x4255: ContentCompSettings.Parse(pMN); break;
    }
  });
}

ContentEncryption::ContentEncryption() {
  ContentEncAlgo.Set(0);
  ContentSigAlgo.Set(0);
  ContentSigHashAlgo.Set(0);
}

HRESULT ContentEncryption::Parse(CMatroskaNode* pMN0) {
  return ParseChildren(pMN0, [&](CMatroskaNode* pMN) {
    switch (pMN->Id()) {
      case 0x47E1: ContentEncAlgo.Parse(pMN); break;
      case 0x47E2: ContentEncKeyID.Parse(pMN); break;
      case 0x47E3: ContentSignature.Parse(pMN); break;
      case 0x47E4: ContentSigKeyID.Parse(pMN); break;
      case 0x47E5: ContentSigAlgo.Parse(pMN); break;
      case 0x47E6: ContentSigHashAlgo.Parse(pMN); break;
    }
  });
}

ContentEncoding::ContentEncoding() {
  ContentEncodingOrder.Set(0);
  ContentEncodingScope.Set(AllFrameContents);
  ContentEncodingType.Set(Compression);
}

HRESULT ContentEncoding::Parse(CMatroskaNode* pMN0) {
  return ParseChildren(pMN0, [&](CMatroskaNode* pMN) {
    switch (pMN->Id()) {
      case 0x5031: ContentEncodingOrder.Parse(pMN); break;
      case 0x5032: ContentEncodingScope.Parse(pMN); break;
      case 0x5033: ContentEncodingType.Parse(pMN); break;
      case 0x5034: cc.Parse(pMN); break;
      case 0x5035: ce.Parse(pMN); break;
    }
  });
}

HRESULT ContentEncodings::Parse(CMatroskaNode* pMN0) {
  return ParseChildren(pMN0, [&](CMatroskaNode* pMN) {
    if (pMN->Id() == 0x6240) ce.Parse(pMN);
  });
}

TrackEntry::TrackEntry() {
  FlagEnabled.Set(1);
  FlagDefault.Set(1);
  FlagLacing.Set(1);
}

HRESULT TrackEntry::Parse(CMatroskaNode* pMN0) {
  return ParseChildren(pMN0, [&](CMatroskaNode* pMN) {
    switch (pMN->Id()) {
      case 0xD7: TrackNumber.Parse(pMN); break;
      case 0x73C5: TrackUID.Parse(pMN); break;
      case 0x83: TrackType.Parse(pMN); break;
      case 0xB9: FlagEnabled.Parse(pMN); break;
      case 0x88: FlagDefault.Parse(pMN); break;
      case 0x9C: FlagLacing.Parse(pMN); break;
      case 0x6DE7: MinCache.Parse(pMN); break;
      case 0x6DF8: MaxCache.Parse(pMN); break;
      case 0x536E: Name.Parse(pMN); break;
      case 0x22B59C: Language.Parse(pMN); break;
      case 0x86: CodecID.Parse(pMN); break;
      case 0x63A2: CodecPrivate.Parse(pMN); break;
      case 0x258688: CodecName.Parse(pMN); break;
      case 0x3A9697: CodecSettings.Parse(pMN); break;
      case 0x3B4040: CodecInfoURL.Parse(pMN); break;
      case 0x26B240: CodecDownloadURL.Parse(pMN); break;
      case 0xAA: CodecDecodeAll.Parse(pMN); break;
      case 0x6FAB: TrackOverlay.Parse(pMN); break;
      case 0x23E383:
      case 0x2383E3: DefaultDuration.Parse(pMN); break;
      case 0x23314F: TrackTimecodeScale.Parse(pMN); break;
      case 0xE0:
        if (v.Parse(pMN) == S_OK) DescType |= DescVideo;
        break;
      case 0xE1:
        if (a.Parse(pMN) == S_OK) DescType |= DescAudio;
        break;
      case 0x6D80: ces.Parse(pMN); break;
    }
  });
}

bool TrackEntry::ApplyContentEncodings(std::vector<BYTE>& data, UINT64 scope) const {
  if (ces.ce.empty()) return true;
  std::vector<const ContentEncoding*> encodings;
  for (const auto& ce : ces.ce) encodings.push_back(ce.get());
  std::stable_sort(encodings.begin(), encodings.end(), [](const ContentEncoding* a, const ContentEncoding* b) {
    return static_cast<DWORD>(a->ContentEncodingOrder) < static_cast<DWORD>(b->ContentEncodingOrder);
  });
  // The highest order was applied last when writing: undo it first.
  for (auto it = encodings.rbegin(); it != encodings.rend(); ++it) {
    const ContentEncoding& ce = **it;
    if (!(ce.ContentEncodingScope & scope)) continue;
    if (ce.ContentEncodingType == ContentEncoding::Compression) {
      const UINT64 algo = ce.cc.ContentCompAlgo;
      if (algo == ContentCompression::ZLIB) {
        if (!Inflate(data)) return false;
      } else if (algo == ContentCompression::HDRSTRIP) {
        const CBinary& head = ce.cc.ContentCompSettings;
        data.insert(data.begin(), head.begin(), head.end());
      } else {
        return false;
      }
    } else if (ce.ContentEncodingType == ContentEncoding::Encryption) {
      return false;
    }
  }
  return true;
}

HRESULT Track::Parse(CMatroskaNode* pMN0) {
  return ParseChildren(pMN0, [&](CMatroskaNode* pMN) {
    if (pMN->Id() == 0xAE) te.Parse(pMN);
  });
}

HRESULT CueReference::Parse(CMatroskaNode* pMN0) {
  return ParseChildren(pMN0, [&](CMatroskaNode* pMN) {
    switch (pMN->Id()) {
      case 0x96: CueRefTime.Parse(pMN); break;
      case 0x97: CueRefCluster.Parse(pMN); break;
      case 0x535F: CueRefNumber.Parse(pMN); break;
      case 0xEB: CueRefCodecState.Parse(pMN); break;
    }
  });
}

HRESULT CueTrackPosition::Parse(CMatroskaNode* pMN0) {
  return ParseChildren(pMN0, [&](CMatroskaNode* pMN) {
    switch (pMN->Id()) {
      case 0xF7: CueTrack.Parse(pMN); break;
      case 0xF1: CueClusterPosition.Parse(pMN); break;
      case 0xEA: CueCodecState.Parse(pMN); break;
      case 0xDB: CueReferences.Parse(pMN); break;
    }
  });
}

HRESULT CuePoint::Parse(CMatroskaNode* pMN0) {
  return ParseChildren(pMN0, [&](CMatroskaNode* pMN) {
    switch (pMN->Id()) {
      case 0xB3: CueTime.Parse(pMN); break;
      case 0xB7: CueTrackPositions.Parse(pMN); break;
    }
  });
}

HRESULT Cue::Parse(CMatroskaNode* pMN0) {
  return ParseChildren(pMN0, [&](CMatroskaNode* pMN) {
    if (pMN->Id() == 0xBB) CuePoints.Parse(pMN);
  });
}

ChapterDisplay::ChapterDisplay() { ChapLanguage.assign("eng"); }

HRESULT ChapterDisplay::Parse(CMatroskaNode* pMN0) {
  return ParseChildren(pMN0, [&](CMatroskaNode* pMN) {
    switch (pMN->Id()) {
      case 0x85: ChapString.Parse(pMN); break;
      case 0x437C: ChapLanguage.Parse(pMN); break;
      case 0x437E: ChapCountry.Parse(pMN); break;
    }
  });
}

ChapterAtom::ChapterAtom() {
  ChapterUID.Set(0);
  ChapterFlagHidden.Set(0);
  ChapterFlagEnabled.Set(1);
}

HRESULT ChapterAtom::Parse(CMatroskaNode* pMN0, int depth) {
  return ParseChildren(pMN0, [&](CMatroskaNode* pMN) {
    switch (pMN->Id()) {
      case 0x73C4: ChapterUID.Parse(pMN); break;
      case 0x91: ChapterTimeStart.Parse(pMN); break;
      case 0x92: ChapterTimeEnd.Parse(pMN); break;
      case 0x98: ChapterFlagHidden.Parse(pMN); break;
      case 0x4598: ChapterFlagEnabled.Parse(pMN); break;
      case 0x80: ChapterDisplays.Parse(pMN); break;
      case 0xB6:
        // Nesting is bounded so that a hostile file cannot exhaust the
        // stack.
        if (depth < kMaxDepth) {
          std::unique_ptr<ChapterAtom> p(new (std::nothrow) ChapterAtom());
          if (p && SUCCEEDED(p->Parse(pMN, depth + 1))) ChapterAtoms.push_back(std::move(p));
        }
        break;
    }
  });
}

ChapterAtom* ChapterAtom::FindChapterAtom(UINT64 id, int depth) {
  if (ChapterUID == id) return this;
  if (depth > kMaxDepth) return nullptr;
  for (auto& ca : ChapterAtoms)
    if (ChapterAtom* found = ca->FindChapterAtom(id, depth + 1)) return found;
  return nullptr;
}

HRESULT EditionEntry::Parse(CMatroskaNode* pMN0) {
  return ParseChildren(pMN0, [&](CMatroskaNode* pMN) {
    if (pMN->Id() == 0xB6) {
      std::unique_ptr<ChapterAtom> p(new (std::nothrow) ChapterAtom());
      if (p && SUCCEEDED(p->Parse(pMN, 1))) ChapterAtoms.push_back(std::move(p));
    }
  });
}

HRESULT Chapter::Parse(CMatroskaNode* pMN0) {
  return ParseChildren(pMN0, [&](CMatroskaNode* pMN) {
    if (pMN->Id() == 0x45B9) EditionEntries.Parse(pMN);
  });
}

HRESULT AttachedFile::Parse(CMatroskaNode* pMN0) {
  return ParseChildren(pMN0, [&](CMatroskaNode* pMN) {
    switch (pMN->Id()) {
      case 0x467E: FileDescription.Parse(pMN); break;
      case 0x466E: FileName.Parse(pMN); break;
      case 0x4660: FileMimeType.Parse(pMN); break;
      case 0x465C:
        FileDataPos = pMN->DataPos();
        FileDataLen = pMN->Size();
        break;
      case 0x46AE: FileUID.Parse(pMN); break;
    }
  });
}

HRESULT Attachment::Parse(CMatroskaNode* pMN0) {
  return ParseChildren(pMN0, [&](CMatroskaNode* pMN) {
    if (pMN->Id() == 0x61A7) AttachedFiles.Parse(pMN);
  });
}

// ---------------------------------------------------------------------------
// Blocks

HRESULT Block::Parse(CMatroskaNode* pMN, bool fFull) {
  if (!pMN) return E_POINTER;
  BlockData.clear();
  pMN->SeekTo(pMN->DataPos());
  CShort tc;
  if (FAILED(TrackNumber.Parse(pMN)) || FAILED(tc.Parse(pMN)) || FAILED(Lacing.Parse(pMN))) return E_FAIL;
  TimeCode.Set(tc);
  if (!fFull) return S_OK;

  const QWORD end = pMN->EndPos();
  // A block the file does not hold whole is not read at all.
  if (end > pMN->GetLength()) return E_FAIL;
  auto remaining = [&]() -> QWORD {
    const QWORD pos = pMN->GetPos();
    return end > pos ? end - pos : 0;
  };
  if (pMN->GetPos() > end) return E_FAIL;

  std::vector<QWORD> sizes;
  const int lacing = (Lacing >> 1) & 3;
  if (lacing == 0) {
    sizes.push_back(remaining());
  } else {
    CByte count;
    if (FAILED(count.Parse(pMN))) return E_FAIL;
    const int others = count;
    if (lacing == 1) {
      QWORD sum = 0;
      for (int i = 0; i < others; i++) {
        QWORD size = 0;
        for (;;) {
          if (pMN->GetPos() >= end) return E_FAIL;
          CByte b;
          if (FAILED(b.Parse(pMN))) return E_FAIL;
          size += b;
          if (b != 255) break;
        }
        sizes.push_back(size);
        sum += size;
      }
      const QWORD left = remaining();
      if (sum > left) return E_FAIL;
      sizes.push_back(left - sum);
    } else if (lacing == 2) {
      const QWORD left = remaining();
      const QWORD each = left / (static_cast<QWORD>(others) + 1);
      sizes.assign(static_cast<size_t>(others) + 1, each);
    } else {
      if (others > 0) {
        QWORD sum = 0;
        CLength first;
        if (FAILED(first.Parse(pMN))) return E_FAIL;
        INT64 size = static_cast<INT64>(first.Value());
        if (first.Value() > end) return E_FAIL;
        sizes.push_back(static_cast<QWORD>(size));
        sum += static_cast<QWORD>(size);
        for (int i = 1; i < others; i++) {
          if (pMN->GetPos() >= end) return E_FAIL;
          CSignedLength diff;
          if (FAILED(diff.Parse(pMN))) return E_FAIL;
          const INT64 d = diff.Signed();
          // Differences are small; anything past the element is damage.
          if (d < -static_cast<INT64>(end) || d > static_cast<INT64>(end)) return E_FAIL;
          size += d;
          if (size < 0 || static_cast<QWORD>(size) > end) return E_FAIL;
          sizes.push_back(static_cast<QWORD>(size));
          sum += static_cast<QWORD>(size);
        }
        const QWORD left = remaining();
        if (sum > left) return E_FAIL;
        sizes.push_back(left - sum);
      } else {
        sizes.push_back(remaining());
      }
    }
  }

  BlockData.reserve(sizes.size());
  for (QWORD size : sizes) {
    if (size > remaining()) {
      BlockData.clear();
      return E_FAIL;
    }
    BlockData.emplace_back(static_cast<size_t>(size));
    if (pMN->Read(BlockData.back().data(), size) != S_OK) {
      BlockData.clear();
      return E_FAIL;
    }
  }
  return S_OK;
}

size_t Block::DataSize() const {
  size_t n = 0;
  for (const auto& f : BlockData) n += f.size();
  return n;
}

BlockMore::BlockMore() { BlockAddID.Set(1); }

HRESULT BlockMore::Parse(CMatroskaNode* pMN0) {
  return ParseChildren(pMN0, [&](CMatroskaNode* pMN) {
    switch (pMN->Id()) {
      case 0xEE: BlockAddID.Parse(pMN); break;
      case 0xA5: BlockAdditional.Parse(pMN); break;
    }
  });
}

HRESULT BlockAdditions::Parse(CMatroskaNode* pMN0) {
  return ParseChildren(pMN0, [&](CMatroskaNode* pMN) {
    if (pMN->Id() == 0xA6) bm.Parse(pMN);
  });
}

HRESULT TimeSlice::Parse(CMatroskaNode* pMN0) {
  return ParseChildren(pMN0, [&](CMatroskaNode* pMN) {
    switch (pMN->Id()) {
      case 0xCC: LaceNumber.Parse(pMN); break;
      case 0xCD: FrameNumber.Parse(pMN); break;
      case 0xCE: BlockAdditionID.Parse(pMN); break;
      case 0xCF: Delay.Parse(pMN); break;
    }
  });
}

HRESULT BlockGroup::Parse(CMatroskaNode* pMN0, bool fFull) {
  HRESULT blockResult = E_FAIL;
  HRESULT hr = ParseChildren(pMN0, [&](CMatroskaNode* pMN) {
    switch (pMN->Id()) {
      case kIdBlock: blockResult = b.Parse(pMN, fFull); break;
      case 0x9B: BlockDuration.Parse(pMN); break;
      case 0xFA: ReferencePriority.Parse(pMN); break;
      case 0xFB: ReferenceBlock.Parse(pMN); break;
      case 0xFD: ReferenceVirtual.Parse(pMN); break;
      case 0xA4: CodecState.Parse(pMN); break;
      case 0xE8: TimeSlices.Parse(pMN); break;
      case 0x75A1:
        if (fFull) ba.Parse(pMN);
        break;
    }
  });
  if (FAILED(hr)) return hr;
  // A group whose block cannot be read has nothing to deliver.
  return FAILED(blockResult) ? blockResult : S_OK;
}

HRESULT SimpleBlock::ParseInto(CMatroskaNode* pMN, bool fFull, BlockGroup& group) {
  HRESULT hr = group.b.Parse(pMN, fFull);
  if (FAILED(hr)) return hr;
  if (!(group.b.Lacing & 0x80)) group.ReferenceBlock.Set(0);
  return S_OK;
}

HRESULT Cluster::ParseTimeCode(CMatroskaNode* pMN0) {
  if (!pMN0) return E_POINTER;
  std::unique_ptr<CMatroskaNode> pMN = pMN0->Child(kIdTimecode);
  if (!pMN) return E_FAIL;
  return TimeCode.Parse(pMN.get());
}

// ---------------------------------------------------------------------------
// Segment

HRESULT Segment::Parse(CMatroskaNode* pMN0) {
  if (!pMN0) return E_POINTER;
  pos = pMN0->DataPos();
  len = pMN0->Size();

  std::unique_ptr<CMatroskaNode> pMN = pMN0->Child();
  if (!pMN) return S_FALSE;

  int counted = 0;
  do {
    switch (pMN->Id()) {
      case kIdInfo:
        SegmentInfo.Parse(pMN.get());
        counted++;
        break;
      case kIdSeekHead:
        MetaSeekInfo.Parse(pMN.get());
        counted++;
        break;
      case kIdTracks:
        Tracks.Parse(pMN.get());
        counted++;
        break;
      case kIdCues: Cues.Parse(pMN.get()); break;
    }
  } while (counted < 3 && pMN->Next());

  CMatroskaFile* file = pMN0->File();
  if (!file || !file->IsRandomAccess()) return S_OK;

  QWORD current = pMN->EndPos();
  for (int followed = 0; followed < kMaxFollowedSeekHeads; followed++) {
    const QWORD at = FindPos(kIdSeekHead, current);
    if (!at) break;
    pMN->SeekTo(at);
    if (pMN->Parse() != S_OK || pMN->Id() != kIdSeekHead) break;
    MetaSeekInfo.Parse(pMN.get());
    current = std::max(current, pMN->EndPos());
  }

  if (counted < 3) return S_OK;

  if (Cues.empty()) {
    if (std::unique_ptr<CMatroskaNode> pCues = pMN0->Child(kIdCues, false)) {
      do {
        Cues.Parse(pCues.get());
      } while (pCues->Next(true));
    }
  }
  if (Chapters.empty()) {
    if (std::unique_ptr<CMatroskaNode> pChapters = pMN0->Child(kIdChapters, false)) Chapters.Parse(pChapters.get());
  }
  if (Attachments.empty()) {
    if (std::unique_ptr<CMatroskaNode> pAttachments = pMN0->Child(kIdAttachments, false))
      Attachments.Parse(pAttachments.get());
  }
  return S_OK;
}

QWORD Segment::FindPos(DWORD id, QWORD minp) const {
  for (const auto& sh : MetaSeekInfo) {
    for (const auto& s : sh->SeekList) {
      if (s->SeekID != id) continue;
      const UINT64 rel = s->SeekPosition;
      // A position that overflows lies past any file.
      if (rel > (1ULL << 62)) continue;
      const QWORD abs = pos + rel;
      if (abs >= minp) return abs;
    }
  }
  return 0;
}

ChapterAtom* Segment::GetChapter(UINT64 id, int nEditionEntry) {
  if (nEditionEntry < 0) return nullptr;
  for (auto& ch : Chapters) {
    for (auto& ee : ch->EditionEntries) {
      if (nEditionEntry-- == 0) return id == 0 ? ee.get() : ee->FindChapterAtom(id);
    }
  }
  return nullptr;
}

TrackEntry* Segment::FindTrackEntry(UINT64 number) const {
  for (const auto& t : Tracks)
    for (const auto& te : t->te)
      if (te->TrackNumber == number) return te.get();
  return nullptr;
}

UINT64 Segment::Scale() const {
  const UINT64 s = SegmentInfo.TimeCodeScale;
  // A scale of 0 would make every time 0 (and divide by 0 in the cue
  // scan): the file means the default.
  return s ? s : kDefaultTimeCodeScale;
}

REFERENCE_TIME Segment::ToRefTime(__int128 timecode) const {
  // Clamped first so that the product stays inside 128 bits.
  timecode = std::clamp<__int128>(timecode, INT64_MIN, INT64_MAX);
  const __int128 t = timecode * static_cast<__int128>(Scale()) / 100;
  if (t > INT64_MAX) return INT64_MAX;
  if (t < INT64_MIN + 1) return INT64_MIN + 1;
  return static_cast<REFERENCE_TIME>(t);
}

// ---------------------------------------------------------------------------
// File

CMatroskaFile::CMatroskaFile(IAsyncReader* pAsyncReader, HRESULT& hr)
    : CBaseSplitterFile(pAsyncReader, hr, 2048, false) {
  if (SUCCEEDED(hr)) hr = Init();
}

bool CMatroskaFile::IsRandomAccess() {
  LONGLONG total = 0, available = 0;
  return Reader() && SUCCEEDED(Reader()->Length(&total, &available)) && total > 0 && total == available;
}

HRESULT CMatroskaFile::Init() {
  Seek(0);
  BYTE magic[4];
  if (Read(magic, 4) != S_OK) return E_FAIL;
  const DWORD id = (DWORD(magic[0]) << 24) | (DWORD(magic[1]) << 16) | (DWORD(magic[2]) << 8) | magic[3];
  if (id != kIdEbml) return E_FAIL;

  CMatroskaNode root(this);
  std::unique_ptr<CMatroskaNode> pMN = root.Child();
  if (pMN) {
    bool header = false;
    do {
      if (pMN->Id() == kIdEbml) {
        // A second header begins another file appended to this one (as a
        // broken copy or two files joined leave): its Segment is not this
        // file's movie.
        if (header) {
          m_appendedAt = static_cast<LONGLONG>(std::min<QWORD>(pMN->StartPos(), INT64_MAX));
          break;
        }
        header = true;
        m_ebml.Parse(pMN.get());
        if (m_ebml.DocType == "webm") {
          // The program knows the kind: the job says it does not read it,
          // rather than that nothing recognised the file.
          SetSourceRefusal("The file is a WebM movie, a kind of Matroska file the program does not read.\n");
          return E_FAIL;
        }
        if (m_ebml.DocType != "matroska" || m_ebml.DocTypeReadVersion > 2) return E_FAIL;
      } else if (pMN->Id() == kIdSegment) {
        if (m_segment.SegmentInfo.SegmentUID.empty()) m_segment.Parse(pMN.get());
      }
    } while (pMN->Next());
  }

  if (std::unique_ptr<CMatroskaNode> pSegment = root.Child(kIdSegment)) {
    if (std::unique_ptr<CMatroskaNode> pCluster = pSegment->Child(kIdCluster)) {
      Cluster c;
      if (SUCCEEDED(c.ParseTimeCode(pCluster.get())))
        m_rtOffset = m_segment.ToRefTime(static_cast<__int128>(c.TimeCode.Value()));
    }
  }
  return S_OK;
}

bool SplitXiphLaced(const BYTE* data, size_t length, std::vector<std::vector<BYTE>>& packets) {
  packets.clear();
  if (!data || length < 1) return false;
  const size_t count = static_cast<size_t>(data[0]) + 1;
  size_t pos = 1;
  std::vector<size_t> sizes;
  size_t sum = 0;
  for (size_t i = 0; i + 1 < count; i++) {
    size_t size = 0;
    for (;;) {
      if (pos >= length) return false;
      const BYTE b = data[pos++];
      size += b;
      if (b != 255) break;
    }
    sizes.push_back(size);
    sum += size;
    if (sum > length) return false;
  }
  if (pos > length || sum > length - pos) return false;
  sizes.push_back(length - pos - sum);
  for (size_t size : sizes) {
    packets.emplace_back(data + pos, data + pos + size);
    pos += size;
  }
  return true;
}

}  // namespace MatroskaReader
