#include "tests/sources/d2v/D2VTestProject.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

namespace {

// A run of video bytes and where its first byte lies.
struct Chunk {
  size_t esStart;
  uint32_t file;
  uint64_t offset;
};

// The video of the files as one byte string, with where each piece came
// from.
struct Video {
  std::vector<uint8_t> es;
  std::vector<Chunk> chunks;

  void Add(const std::vector<uint8_t>& data, size_t from, size_t n, uint32_t file) {
    chunks.push_back({es.size(), file, from});
    es.insert(es.end(), data.begin() + static_cast<ptrdiff_t>(from),
              data.begin() + static_cast<ptrdiff_t>(from + n));
  }
  // File and byte offset of video byte `pos`.
  std::pair<uint32_t, uint64_t> Where(size_t pos) const {
    const Chunk* c = &chunks.front();
    for (const Chunk& k : chunks)
      if (k.esStart <= pos) c = &k;
    return {c->file, c->offset + (pos - c->esStart)};
  }
};

void Demux(const std::vector<uint8_t>& d, uint32_t file, Video& v) {
  size_t i = 0;
  while (i + 4 <= d.size()) {
    if (!(d[i] == 0 && d[i + 1] == 0 && d[i + 2] == 1)) {
      ++i;
      continue;
    }
    const uint8_t code = d[i + 3];
    if (code == 0xBA) {  // MPEG-2 pack header and its stuffing
      if (i + 14 > d.size()) break;
      i += 14 + (d[i + 13] & 7);
    } else if (code >= 0xBB) {
      if (i + 6 > d.size()) break;
      const size_t length = size_t{d[i + 4]} << 8 | d[i + 5];
      const size_t end = i + 6 + length;
      if (code == 0xE0 && i + 9 <= d.size() && (d[i + 6] & 0xC0) == 0x80) {
        const size_t payload = i + 9 + d[i + 8];
        if (payload <= end && end <= d.size()) v.Add(d, payload, end - payload, file);
      }
      i = end;
    } else {
      i += 4;
    }
  }
}

Video ReadVideo(const std::vector<std::string>& files, bool programStream) {
  Video v;
  for (uint32_t f = 0; f < files.size(); ++f) {
    const std::vector<uint8_t> d = ReadBytes(files[f]);
    if (programStream)
      Demux(d, f, v);
    else if (!d.empty())
      v.Add(d, 0, d.size(), f);
  }
  return v;
}

}  // namespace

std::vector<uint8_t> ReadBytes(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  if (!f) throw std::runtime_error("cannot read " + path);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
}

void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!f) throw std::runtime_error("cannot write " + path);
}

D2VScan ScanForD2V(const std::vector<std::string>& files, bool programStream) {
  const Video v = ReadVideo(files, programStream);
  const std::vector<uint8_t>& es = v.es;
  D2VScan scan;
  // Where the sequence header in front of the next GOP starts, if one came
  // after the last picture.
  size_t sequenceAt = SIZE_MAX;
  for (size_t i = 0; i + 4 <= es.size(); ++i) {
    if (!(es[i] == 0 && es[i + 1] == 0 && es[i + 2] == 1)) continue;
    const uint8_t code = es[i + 3];
    if (code == 0xB3) {
      sequenceAt = i;
    } else if (code == 0xB8) {
      const auto [file, offset] = v.Where(sequenceAt != SIZE_MAX ? sequenceAt : i);
      scan.gops.push_back({file, offset / 2048, static_cast<uint32_t>(scan.flags.size())});
    } else if (code == 0x00 && i + 6 <= es.size()) {
      scan.types.push_back((es[i + 5] >> 3) & 7);
      scan.flags.push_back(0);
      sequenceAt = SIZE_MAX;
    } else if (code == 0xB5 && i + 8 <= es.size() && (es[i + 4] >> 4) == 8 && !scan.flags.empty()) {
      const uint8_t b = es[i + 7];  // top_field_first ... repeat_first_field, chroma_420_type
      scan.flags.back() = static_cast<uint8_t>((b & 0x80 ? 2 : 0) | (b & 0x02 ? 1 : 0));
    }
  }
  return scan;
}

std::string D2VProjectText(const std::vector<std::string>& files, const D2VScan& scan,
                           const D2VProjectOptions& o) {
  std::ostringstream t;
  t << "DVD2AVIProjectFile\n" << files.size() << "\n";
  for (const std::string& f : files) t << f.size() << " " << f << "\n";
  t << "\nStream_Type=" << (o.programStream ? 1 : 0) << ",0,0\n"
    << "iDCT_Algorithm=" << o.idct << "\n"
    << "YUVRGB_Scale=1\n"
    << o.luminance << "\n"
    << "Picture_Size=" << o.clip[0] << "," << o.clip[1] << "," << o.clip[2] << "," << o.clip[3] << ",0,0\n"
    << "Field_Operation=" << o.fieldOperation << "\n"
    << "Frame_Rate=" << o.frameRate << "\n"
    << "Location=0,0,0,0\n\n";
  size_t gop = 0;
  for (uint32_t p = 0; p < scan.flags.size(); ++p) {
    while (gop < scan.gops.size() && scan.gops[gop].firstPicture == p) {
      char head[64];
      std::snprintf(head, sizeof head, "\n7 %u %llX ", scan.gops[gop].file,
                    static_cast<unsigned long long>(scan.gops[gop].sector));
      t << head;
      ++gop;
    }
    t << int{scan.flags[p]} << " ";
  }
  t << "9\n";
  return t.str();
}

void WriteD2VProject(const std::string& path, const std::vector<std::string>& files,
                     const D2VProjectOptions& options) {
  const std::string text = D2VProjectText(files, ScanForD2V(files, options.programStream), options);
  WriteBytes(path, std::vector<uint8_t>(text.begin(), text.end()));
}

void SetPictureFlags(std::vector<uint8_t>& es, const std::vector<uint8_t>& flags) {
  size_t picture = 0;
  for (size_t i = 0; i + 8 <= es.size(); ++i) {
    if (es[i] == 0 && es[i + 1] == 0 && es[i + 2] == 1 && es[i + 3] == 0xB5 && (es[i + 4] >> 4) == 8) {
      const uint8_t f = flags[picture++ % flags.size()];
      uint8_t& b = es[i + 7];  // top_field_first ... repeat_first_field, chroma_420_type
      b = static_cast<uint8_t>((b & ~0x82) | (f & 2 ? 0x80 : 0) | (f & 1 ? 0x02 : 0));
    }
  }
}
