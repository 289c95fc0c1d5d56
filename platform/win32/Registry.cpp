// Store file format (UTF-8 text, '\n' line ends, one root per file):
//
//   ; Pellomar registry 1
//   [Software\Quorvel Software\Pellomar]
//   "ShowOnce"=dword:00000001
//   "Batch Output"=sz:"/home/me/Videos"
//   @=sz:"default value"
//   "Data"=hex(3):01,02,ff
//
// The first line names the format. A "[path]" line starts a key (every key
// is listed, also empty ones; "[]" is the root itself); the value lines
// below it belong to it. "@" is the default (unnamed) value. Three forms
// are used where they round-trip exactly: dword: for a 4-byte REG_DWORD,
// sz: and expand_sz: for a REG_SZ or REG_EXPAND_SZ whose data ends in its
// only zero byte (the terminator is not written); every other value is
// written as hex(<type number>): with its bytes. In quoted names and
// strings '\' and '"' are escaped with '\' and control bytes as \xHH; in key
// paths '%', '[', ']' and control bytes are written as %HH. Lines starting
// with ';' are comments.
#include "platform/win32/Registry.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/win32/CodePage.h"

namespace {

constexpr const char* kHeader = "; Pellomar registry 1";
constexpr const char* kRootNames[] = {"HKEY_CLASSES_ROOT", "HKEY_CURRENT_USER", "HKEY_LOCAL_MACHINE"};
constexpr uintptr_t kFirstRoot = 0x80000000u;
constexpr int kRootCount = 3;
constexpr size_t kMaxKeyNameLength = 255;
constexpr size_t kMaxValueNameLength = 16383;
constexpr size_t kMaxDepth = 512;
constexpr off_t kMaxStoreSize = 256 * 1024 * 1024;
constexpr REGSAM kWriteAccess = KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_CREATE_LINK | DELETE | WRITE_DAC | WRITE_OWNER;

std::string Fold(std::string_view s) {
  std::string out(s);
  for (auto& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + ('a' - 'A'));
  return out;
}

bool IsStringType(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

struct Value {
  std::string name;
  DWORD type = REG_NONE;
  std::vector<BYTE> data;
};

struct Node {
  std::string name;
  std::map<std::string, std::unique_ptr<Node>> children;  // by folded name
  std::vector<Value> values;

  Value* FindValue(std::string_view valueName) {
    const std::string folded = Fold(valueName);
    for (auto& v : values)
      if (Fold(v.name) == folded) return &v;
    return nullptr;
  }
  Node* Child(std::string_view childName) {
    auto it = children.find(Fold(childName));
    return it == children.end() ? nullptr : it->second.get();
  }
  Node& AddChild(std::string_view childName, bool& created) {
    auto& slot = children[Fold(childName)];
    created = !slot;
    if (!slot) {
      slot = std::make_unique<Node>();
      slot->name = std::string(childName);
    }
    return *slot;
  }
};

using Path = std::vector<std::string>;

Node* FindNode(Node& root, const Path& path) {
  Node* n = &root;
  for (const auto& part : path) {
    n = n->Child(part);
    if (!n) return nullptr;
  }
  return n;
}

// ---------------------------------------------------------------------------
// Text form

void AppendHex2(std::string& out, unsigned v) {
  static const char digits[] = "0123456789abcdef";
  out.push_back(digits[(v >> 4) & 0xF]);
  out.push_back(digits[v & 0xF]);
}

void AppendQuoted(std::string& out, std::string_view s) {
  out.push_back('"');
  for (char ch : s) {
    const auto c = static_cast<uint8_t>(ch);
    if (ch == '\\' || ch == '"') {
      out.push_back('\\');
      out.push_back(ch);
    } else if (c < 0x20 || c == 0x7F) {
      out += "\\x";
      AppendHex2(out, c);
    } else {
      out.push_back(ch);
    }
  }
  out.push_back('"');
}

void AppendKeyPart(std::string& out, std::string_view s) {
  for (char ch : s) {
    const auto c = static_cast<uint8_t>(ch);
    if (ch == '%' || ch == '[' || ch == ']' || ch == '\\' || c < 0x20 || c == 0x7F) {
      out.push_back('%');
      AppendHex2(out, c);
    } else {
      out.push_back(ch);
    }
  }
}

void AppendValue(std::string& out, const Value& v) {
  if (v.name.empty()) {
    out.push_back('@');
  } else {
    AppendQuoted(out, v.name);
  }
  out.push_back('=');
  const auto& d = v.data;
  const bool oneTerminator =
      !d.empty() && d.back() == 0 && std::memchr(d.data(), 0, d.size() - 1) == nullptr;
  if (v.type == REG_DWORD && d.size() == 4) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "dword:%08x",
                  static_cast<unsigned>(d[0] | (d[1] << 8) | (d[2] << 16) | (static_cast<uint32_t>(d[3]) << 24)));
    out += buf;
  } else if ((v.type == REG_SZ || v.type == REG_EXPAND_SZ) && oneTerminator) {
    out += v.type == REG_SZ ? "sz:" : "expand_sz:";
    AppendQuoted(out, std::string_view(reinterpret_cast<const char*>(d.data()), d.size() - 1));
  } else {
    out += "hex(" + std::to_string(v.type) + "):";
    for (size_t i = 0; i < d.size(); ++i) {
      if (i) out.push_back(',');
      AppendHex2(out, d[i]);
    }
  }
  out.push_back('\n');
}

void AppendNode(std::string& out, const Node& node, std::string& path, bool isRoot) {
  out.push_back('[');
  out += path;
  out += "]\n";
  for (const auto& v : node.values) AppendValue(out, v);
  for (const auto& [folded, child] : node.children) {
    const size_t mark = path.size();
    if (!isRoot) path.push_back('\\');
    AppendKeyPart(path, child->name);
    AppendNode(out, *child, path, false);
    path.resize(mark);
  }
}

std::string Serialize(const Node& root) {
  std::string out = kHeader;
  out.push_back('\n');
  std::string path;
  AppendNode(out, root, path, true);
  return out;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool ReadHexByte(std::string_view s, size_t pos, uint8_t& out) {
  if (pos + 2 > s.size()) return false;
  const int hi = HexDigit(s[pos]), lo = HexDigit(s[pos + 1]);
  if (hi < 0 || lo < 0) return false;
  out = static_cast<uint8_t>(hi * 16 + lo);
  return true;
}

// Reads a quoted string at `pos`; leaves `pos` after the closing quote.
bool ReadQuoted(std::string_view line, size_t& pos, std::string& out) {
  if (pos >= line.size() || line[pos] != '"') return false;
  ++pos;
  while (pos < line.size()) {
    const char c = line[pos++];
    if (c == '"') return true;
    if (c != '\\') {
      out.push_back(c);
      continue;
    }
    if (pos >= line.size()) return false;
    const char e = line[pos++];
    if (e == '\\' || e == '"') {
      out.push_back(e);
    } else if (e == 'x') {
      uint8_t b;
      if (!ReadHexByte(line, pos, b)) return false;
      out.push_back(static_cast<char>(b));
      pos += 2;
    } else {
      return false;
    }
  }
  return false;
}

bool ParseKeyPath(std::string_view text, Path& path) {
  if (text.empty()) return true;
  std::string part;
  for (size_t i = 0; i <= text.size(); ++i) {
    if (i == text.size() || text[i] == '\\') {
      if (part.empty() || part.size() > kMaxKeyNameLength || path.size() >= kMaxDepth) return false;
      path.push_back(std::move(part));
      part.clear();
    } else if (text[i] == '%') {
      uint8_t b;
      if (!ReadHexByte(text, i + 1, b)) return false;
      part.push_back(static_cast<char>(b));
      i += 2;
    } else {
      part.push_back(text[i]);
    }
  }
  return true;
}

bool ParseValueLine(std::string_view line, Value& v) {
  size_t pos = 0;
  if (line[0] == '@') {
    pos = 1;
  } else if (!ReadQuoted(line, pos, v.name) || v.name.empty()) {
    return false;
  }
  if (pos >= line.size() || line[pos] != '=') return false;
  std::string_view spec = line.substr(pos + 1);
  auto startsWith = [&](std::string_view p) { return spec.substr(0, p.size()) == p; };
  if (startsWith("dword:")) {
    spec.remove_prefix(6);
    if (spec.size() != 8) return false;
    uint32_t x = 0;
    for (char c : spec) {
      const int d = HexDigit(c);
      if (d < 0) return false;
      x = x * 16 + static_cast<uint32_t>(d);
    }
    v.type = REG_DWORD;
    v.data = {static_cast<BYTE>(x), static_cast<BYTE>(x >> 8), static_cast<BYTE>(x >> 16), static_cast<BYTE>(x >> 24)};
    return true;
  }
  if (startsWith("sz:") || startsWith("expand_sz:")) {
    v.type = spec[0] == 's' ? REG_SZ : REG_EXPAND_SZ;
    spec.remove_prefix(v.type == REG_SZ ? 3 : 10);
    std::string text;
    size_t p = 0;
    if (!ReadQuoted(spec, p, text) || p != spec.size()) return false;
    v.data.assign(text.begin(), text.end());
    v.data.push_back(0);
    return true;
  }
  if (startsWith("hex(")) {
    spec.remove_prefix(4);
    uint64_t type = 0;
    size_t p = 0;
    while (p < spec.size() && spec[p] >= '0' && spec[p] <= '9' && p < 10) type = type * 10 + (spec[p++] - '0');
    if (p == 0 || type > 0xFFFFFFFFu || spec.substr(p, 2) != "):") return false;
    v.type = static_cast<DWORD>(type);
    spec.remove_prefix(p + 2);
    for (size_t i = 0; i < spec.size(); i += 3) {
      uint8_t b;
      if (!ReadHexByte(spec, i, b)) return false;
      if (i + 2 < spec.size() && spec[i + 2] != ',') return false;
      if (i + 2 == spec.size() - 1) return false;  // trailing comma
      v.data.push_back(b);
    }
    return true;
  }
  return false;
}

// Parses a whole store; on failure `error` says where.
bool Parse(std::string_view text, Node& root, std::string& error) {
  if (text.empty()) return true;
  Node* current = nullptr;
  size_t lineNo = 0;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(pos, end - pos);
    pos = end + 1;
    ++lineNo;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (lineNo == 1) {
      if (line != kHeader) {
        error = "unknown header";
        return false;
      }
      continue;
    }
    if (line.empty() || line[0] == ';') continue;
    if (line[0] == '[') {
      Path path;
      if (line.back() != ']' || line.size() < 2 || !ParseKeyPath(line.substr(1, line.size() - 2), path)) {
        error = "bad key line " + std::to_string(lineNo);
        return false;
      }
      current = &root;
      for (const auto& part : path) {
        bool created;
        current = &current->AddChild(part, created);
      }
      continue;
    }
    Value v;
    if (!current || !ParseValueLine(line, v)) {
      error = "bad value line " + std::to_string(lineNo);
      return false;
    }
    if (Value* old = current->FindValue(v.name)) {
      *old = std::move(v);
    } else {
      current->values.push_back(std::move(v));
    }
  }
  return true;
}

// ---------------------------------------------------------------------------
// Files

class FileDescriptor {
 public:
  FileDescriptor() = default;
  explicit FileDescriptor(int fd) : fd_(fd) {}
  FileDescriptor(FileDescriptor&& o) noexcept : fd_(o.release()) {}
  FileDescriptor& operator=(FileDescriptor&& o) noexcept {
    if (this != &o) reset(o.release());
    return *this;
  }
  ~FileDescriptor() { reset(); }
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
         a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

bool HasWriteAccess(const std::string& path, const struct stat& st) {
  return (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) != 0 && ::access(path.c_str(), W_OK) == 0;
}

FILETIME ToFileTime(const timespec& ts) {
  constexpr uint64_t kEpochDifference = 11644473600ull;  // 1601 to 1970, seconds
  const uint64_t t = (static_cast<uint64_t>(ts.tv_sec) + kEpochDifference) * 10000000ull + ts.tv_nsec / 100;
  return FILETIME{static_cast<DWORD>(t), static_cast<DWORD>(t >> 32)};
}

struct Store {
  Node root;
  bool loaded = false;   // root reflects the file as last seen
  bool present = false;  // a file was there; `id` is its identity
  struct stat id {};
  // The loaded file stays open so that its inode number cannot be reused
  // by a later file while we still compare against it.
  FileDescriptor held;
  bool damageReported = false;
};

struct Registry {
  std::mutex mutex;
  std::map<std::string, std::unique_ptr<Store>> stores;  // by file path
  struct OpenKey {
    int root;
    Path path;
    REGSAM access;
  };
  std::map<uintptr_t, OpenKey> handles;
  uintptr_t nextHandle = 0x1000;
  unsigned tempCounter = 0;
  std::string lockedFile;  // the store whose lock this process holds
  std::set<std::string> madeFolders;
};

Registry& State() {
  static Registry registry;
  return registry;
}

// Serialises writers of one store across processes. Without a lock file
// (a folder we may not write) the writers run unlocked; the rename still
// keeps every reader's view whole. Nested use for the same file in this
// process is a no-op (a second flock on a new descriptor would wait for the
// first).
class StoreLock {
 public:
  explicit StoreLock(const std::string& file) {
    auto& held = State().lockedFile;
    if (held == file) return;
    fd_.reset(::open((file + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666));
    if (fd_.valid()) {
      while (::flock(fd_.get(), LOCK_EX) != 0 && errno == EINTR) {
      }
    }
    held = file;
    owner_ = true;
  }
  ~StoreLock() {
    if (owner_) State().lockedFile.clear();
  }
  StoreLock(const StoreLock&) = delete;
  StoreLock& operator=(const StoreLock&) = delete;

 private:
  FileDescriptor fd_;  // closing it releases the lock
  bool owner_ = false;
};

std::string StoreFolder() {
  const char* dir = std::getenv("PELLOMAR_REGISTRY_DIR");
  if (dir && *dir) return dir;
  std::string home;
  if (const char* h = std::getenv("HOME"); h && *h) {
    home = h;
  } else if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) {
    home = pw->pw_dir;
  } else {
    home = "/tmp";
  }
  return home + "/.config/pellomar/registry";
}

void MakeFolders(const std::string& dir) {
  for (size_t i = 1; i <= dir.size(); ++i) {
    if (i == dir.size() || dir[i] == '/') ::mkdir(dir.substr(0, i).c_str(), 0755);
  }
}

std::string StoreFile(int root) {
  const std::string dir = StoreFolder();
  // Made once per folder and process; a folder removed later is made again
  // by the next write.
  if (State().madeFolders.insert(dir).second) MakeFolders(dir);
  return dir + "/" + kRootNames[root] + ".reg";
}

bool StoreWritable(const std::string& file) {
  struct stat st;
  if (::stat(file.c_str(), &st) == 0) return HasWriteAccess(file, st);
  const std::string dir = file.substr(0, file.rfind('/'));
  return ::stat(dir.c_str(), &st) == 0 && HasWriteAccess(dir, st);
}

Store& GetStore(const std::string& file) {
  auto& slot = State().stores[file];
  if (!slot) slot = std::make_unique<Store>();
  return *slot;
}

void SetAside(Store& s, const std::string& file, const struct stat& damaged, const std::string& reason) {
  char stamp[32];
  const time_t now = std::time(nullptr);
  struct tm tmNow;
  localtime_r(&now, &tmNow);
  std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &tmNow);
  const std::string aside = file + ".damaged-" + stamp + "-" + std::to_string(::getpid());
  bool moved = false;
  {
    // Only the damaged file itself is moved: another process may have set
    // it aside and written a good one meanwhile.
    StoreLock lock(file);
    struct stat now_st;
    if (::stat(file.c_str(), &now_st) == 0 && SameFile(now_st, damaged))
      moved = ::rename(file.c_str(), aside.c_str()) == 0;
  }
  if (!s.damageReported) {
    s.damageReported = true;
    std::fprintf(stderr, "pellomar: registry store %s is damaged (%s); %s, starting empty\n", file.c_str(),
                 reason.c_str(), moved ? ("moved to " + aside).c_str() : "left in place");
  }
  s.root = Node{};
  s.loaded = true;
  s.present = !moved;  // an unmovable damaged file is not parsed again until it changes
  s.id = damaged;
}

// Brings the cached tree up to date with the file.
void Sync(Store& s, const std::string& file) {
  struct stat st;
  if (::stat(file.c_str(), &st) != 0) {
    if (!s.loaded || s.present) s.root = Node{};
    s.loaded = true;
    s.present = false;
    s.held.reset();
    return;
  }
  if (s.loaded && s.present && SameFile(st, s.id)) return;

  FileDescriptor fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat fst;
  if (!fd.valid() || ::fstat(fd.get(), &fst) != 0) {
    // Unreadable: nothing can be read from it, but it is not damaged.
    s.root = Node{};
    s.loaded = false;
    s.present = false;
    return;
  }
  if (fst.st_size > kMaxStoreSize) {
    SetAside(s, file, fst, "too large");
    s.held = std::move(fd);
    return;
  }
  std::string text(static_cast<size_t>(fst.st_size), '\0');
  size_t got = 0;
  while (got < text.size()) {
    const ssize_t n = ::read(fd.get(), text.data() + got, text.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  text.resize(got);
  Node root;
  std::string error;
  if (!Parse(text, root, error)) {
    SetAside(s, file, fst, error);
    s.held = std::move(fd);
    return;
  }
  s.root = std::move(root);
  s.loaded = true;
  s.present = true;
  s.id = fst;
  s.held = std::move(fd);
}

LONG ErrnoToError(int err) {
  switch (err) {
    case EACCES:
    case EPERM:
    case EROFS: return ERROR_ACCESS_DENIED;
    case ENOSPC: return ERROR_DISK_FULL;
    default: return ERROR_CANTWRITE;
  }
}

// Writes the tree to a temporary file beside the store and renames it over
// the store, so a reader sees either the old or the new file, never a part.
LONG WriteStore(Store& s, const std::string& file) {
  const std::string text = Serialize(s.root);
  const std::string temp = file + ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(++State().tempCounter);
  FileDescriptor fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (!fd.valid()) return ErrnoToError(errno);
  mode_t mode = 0644;
  struct stat old;
  if (::stat(file.c_str(), &old) == 0) mode = old.st_mode & 07777;
  ::fchmod(fd.get(), mode);
  size_t done = 0;
  int err = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd.get(), text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      err = n < 0 ? errno : ENOSPC;
      break;
    }
    done += static_cast<size_t>(n);
  }
  struct stat st;
  if (!err && ::fsync(fd.get()) != 0) err = errno;
  if (!err && ::fstat(fd.get(), &st) != 0) err = errno;
  if (!err && ::rename(temp.c_str(), file.c_str()) != 0) err = errno;
  if (err) {
    ::unlink(temp.c_str());
    return ErrnoToError(err);
  }
  // Make the rename itself durable.
  FileDescriptor dir(::open(file.substr(0, file.rfind('/')).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.valid()) ::fsync(dir.get());
  s.loaded = true;
  s.present = true;
  s.id = st;
  s.held = std::move(fd);
  return ERROR_SUCCESS;
}

// Runs `change(root, changed)` on the current tree of a root under the
// store's lock and writes the result through when it changed something.
template <class F>
LONG Mutate(int root, F&& change) {
  const std::string file = StoreFile(root);
  MakeFolders(file.substr(0, file.rfind('/')));
  if (!StoreWritable(file)) return ERROR_ACCESS_DENIED;
  StoreLock lock(file);
  Store& s = GetStore(file);
  Sync(s, file);
  bool changed = false;
  const LONG r = change(s.root, changed);
  if (r != ERROR_SUCCESS || !changed) return r;
  const LONG w = WriteStore(s, file);
  if (w != ERROR_SUCCESS) s.loaded = false;  // drop the unsaved change
  return w;
}

// ---------------------------------------------------------------------------
// Handles and lookups (State().mutex held)

struct KeyRef {
  int root = 0;
  Path path;
  REGSAM access = 0;
};

LONG Lookup(HKEY key, KeyRef& out) {
  const auto v = reinterpret_cast<uintptr_t>(key);
  if (v >= kFirstRoot && v < kFirstRoot + kRootCount) {
    out.root = static_cast<int>(v - kFirstRoot);
    out.path.clear();
    out.access = KEY_ALL_ACCESS;
    return ERROR_SUCCESS;
  }
  auto& handles = State().handles;
  auto it = handles.find(v);
  if (it == handles.end()) return ERROR_INVALID_HANDLE;
  out.root = it->second.root;
  out.path = it->second.path;
  out.access = it->second.access;
  return ERROR_SUCCESS;
}

// The key of a handle in the up-to-date tree; null when it was deleted.
Node* CurrentNode(const KeyRef& ref, FILETIME* lastWrite = nullptr) {
  const std::string file = StoreFile(ref.root);
  Store& s = GetStore(file);
  Sync(s, file);
  if (lastWrite) *lastWrite = s.present ? ToFileTime(s.id.st_mtim) : FILETIME{0, 0};
  return FindNode(s.root, ref.path);
}

LONG SplitPath(std::string_view text, Path& out) {
  std::string part;
  for (size_t i = 0; i <= text.size(); ++i) {
    if (i == text.size() || text[i] == '\\') {
      if (!part.empty()) {
        if (part.size() > kMaxKeyNameLength || out.size() >= kMaxDepth) return ERROR_INVALID_PARAMETER;
        out.push_back(std::move(part));
        part.clear();
      }
    } else {
      part.push_back(text[i]);
    }
  }
  return ERROR_SUCCESS;
}

HKEY NewHandle(int root, Path path, REGSAM access) {
  auto& st = State();
  uintptr_t id = st.nextHandle;
  st.nextHandle += 4;
  if (st.nextHandle >= kFirstRoot && st.nextHandle < kFirstRoot + 0x100) st.nextHandle = kFirstRoot + 0x100;
  st.handles[id] = Registry::OpenKey{root, std::move(path), access};
  return reinterpret_cast<HKEY>(id);
}

LONG OpenOrCreate(HKEY key, std::optional<std::string> subKey, REGSAM desired, bool create, PHKEY result,
                  LPDWORD disposition) {
  if (!result) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  KeyRef base;
  if (LONG r = Lookup(key, base); r != ERROR_SUCCESS) return r;
  Path path = base.path;
  if (subKey)
    if (LONG r = SplitPath(*subKey, path); r != ERROR_SUCCESS) return r;

  const std::string file = StoreFile(base.root);
  const bool writable = StoreWritable(file);
  REGSAM granted = desired;
  if (desired & MAXIMUM_ALLOWED) granted = writable ? KEY_ALL_ACCESS : KEY_READ;
  if ((granted & kWriteAccess) && !writable) return ERROR_ACCESS_DENIED;

  KeyRef target{base.root, path, granted};
  bool created = false;
  if (!CurrentNode(target)) {
    if (!create) return ERROR_FILE_NOT_FOUND;
    if (!(base.access & KEY_CREATE_SUB_KEY)) return ERROR_ACCESS_DENIED;
    if (!CurrentNode(KeyRef{base.root, base.path, 0})) return ERROR_KEY_DELETED;
    const LONG r = Mutate(base.root, [&](Node& root, bool& changed) -> LONG {
      Node* n = &root;
      for (const auto& part : path) {
        bool made = false;
        n = &n->AddChild(part, made);
        created = created || made;
      }
      changed = created;
      return ERROR_SUCCESS;
    });
    if (r != ERROR_SUCCESS) return r;
  }
  if (disposition) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  *result = NewHandle(base.root, std::move(path), granted);
  return ERROR_SUCCESS;
}

// The bytes a query returns: 8-bit strings as stored, wide strings
// converted; strings always end in their terminator.
std::vector<BYTE> QueryView(const Value& v, bool wide) {
  if (!IsStringType(v.type)) return v.data;
  if (!wide) {
    std::vector<BYTE> out = v.data;
    if (out.empty() || out.back() != 0) out.push_back(0);
    return out;
  }
  std::wstring w = Utf8ToWide(std::string_view(reinterpret_cast<const char*>(v.data.data()), v.data.size()));
  if (w.empty() || w.back() != L'\0') w.push_back(L'\0');
  std::vector<BYTE> out(w.size() * sizeof(wchar_t));
  std::memcpy(out.data(), w.data(), out.size());
  return out;
}

std::vector<BYTE> StoredForm(DWORD type, const BYTE* data, DWORD cb, bool wide) {
  if (!data || cb == 0) return {};
  if (!wide || !IsStringType(type)) return std::vector<BYTE>(data, data + cb);
  std::wstring w(cb / sizeof(wchar_t), L'\0');
  std::memcpy(w.data(), data, w.size() * sizeof(wchar_t));
  const std::string s = WideToUtf8(w);
  return std::vector<BYTE>(s.begin(), s.end());
}

LONG CopyData(const std::vector<BYTE>& bytes, LPBYTE data, LPDWORD cbData) {
  if (!cbData) return ERROR_SUCCESS;
  const auto size = static_cast<DWORD>(bytes.size());
  if (!data) {
    *cbData = size;
    return ERROR_SUCCESS;
  }
  if (*cbData < size) {
    *cbData = size;
    return ERROR_MORE_DATA;
  }
  if (size) std::memcpy(data, bytes.data(), size);
  *cbData = size;
  return ERROR_SUCCESS;
}

LONG QueryValue(HKEY key, const std::string& name, LPDWORD type, LPBYTE data, LPDWORD cbData, bool wide) {
  if (data && !cbData) return ERROR_INVALID_PARAMETER;
  KeyRef ref;
  if (LONG r = Lookup(key, ref); r != ERROR_SUCCESS) return r;
  if (!(ref.access & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
  Node* node = CurrentNode(ref);
  if (!node) return ERROR_KEY_DELETED;
  const Value* v = node->FindValue(name);
  if (!v) return ERROR_FILE_NOT_FOUND;
  if (type) *type = v->type;
  return CopyData(QueryView(*v, wide), data, cbData);
}

LONG SetValue(HKEY key, const std::string& name, DWORD type, const BYTE* data, DWORD cbData, bool wide) {
  if (!data && cbData) return ERROR_INVALID_PARAMETER;
  if (name.size() > kMaxValueNameLength) return ERROR_INVALID_PARAMETER;
  KeyRef ref;
  if (LONG r = Lookup(key, ref); r != ERROR_SUCCESS) return r;
  if (!(ref.access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
  std::vector<BYTE> stored = StoredForm(type, data, cbData, wide);
  return Mutate(ref.root, [&](Node& root, bool& changed) -> LONG {
    Node* node = FindNode(root, ref.path);
    if (!node) return ERROR_KEY_DELETED;
    if (Value* v = node->FindValue(name)) {
      if (v->type == type && v->data == stored) return ERROR_SUCCESS;  // nothing to write
      v->type = type;
      v->data = std::move(stored);
    } else {
      node->values.push_back(Value{name, type, std::move(stored)});
    }
    changed = true;
    return ERROR_SUCCESS;
  });
}

LONG DeleteValue(HKEY key, const std::string& name) {
  KeyRef ref;
  if (LONG r = Lookup(key, ref); r != ERROR_SUCCESS) return r;
  if (!(ref.access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
  Node* node = CurrentNode(ref);
  if (!node) return ERROR_KEY_DELETED;
  if (!node->FindValue(name)) return ERROR_FILE_NOT_FOUND;
  return Mutate(ref.root, [&](Node& root, bool& changed) -> LONG {
    Node* n = FindNode(root, ref.path);
    if (!n) return ERROR_KEY_DELETED;
    const std::string folded = Fold(name);
    for (auto it = n->values.begin(); it != n->values.end(); ++it) {
      if (Fold(it->name) == folded) {
        n->values.erase(it);
        changed = true;
        return ERROR_SUCCESS;
      }
    }
    return ERROR_FILE_NOT_FOUND;
  });
}

LONG DeleteKey(HKEY key, const std::string& subKey) {
  KeyRef ref;
  if (LONG r = Lookup(key, ref); r != ERROR_SUCCESS) return r;
  Path path = ref.path;
  if (LONG r = SplitPath(subKey, path); r != ERROR_SUCCESS) return r;
  if (path.empty()) return ERROR_ACCESS_DENIED;  // a root cannot be deleted
  if (!CurrentNode(KeyRef{ref.root, path, 0})) return ERROR_FILE_NOT_FOUND;
  return Mutate(ref.root, [&](Node& root, bool& changed) -> LONG {
    Path parentPath(path.begin(), path.end() - 1);
    Node* parent = FindNode(root, parentPath);
    Node* n = parent ? parent->Child(path.back()) : nullptr;
    if (!n) return ERROR_FILE_NOT_FOUND;
    if (!n->children.empty()) return ERROR_ACCESS_DENIED;
    parent->children.erase(Fold(path.back()));
    changed = true;
    return ERROR_SUCCESS;
  });
}

// Copies a name into a caller's buffer of `*cch` characters (terminator
// included); on success `*cch` is its length without the terminator.
template <class C>
LONG CopyName(const std::basic_string<C>& name, C* buffer, LPDWORD cch) {
  if (!buffer || !cch) return ERROR_INVALID_PARAMETER;
  if (name.size() + 1 > *cch) return ERROR_MORE_DATA;
  std::copy(name.begin(), name.end(), buffer);
  buffer[name.size()] = 0;
  *cch = static_cast<DWORD>(name.size());
  return ERROR_SUCCESS;
}

template <class C>
std::basic_string<C> Outward(const std::string& name) {
  if constexpr (sizeof(C) == 1) {
    return name;
  } else {
    return Utf8ToWide(name);
  }
}

template <class C>
LONG EnumKey(HKEY key, DWORD index, C* name, LPDWORD cchName, C* keyClass, LPDWORD cchClass, PFILETIME lastWrite) {
  KeyRef ref;
  if (LONG r = Lookup(key, ref); r != ERROR_SUCCESS) return r;
  if (!(ref.access & KEY_ENUMERATE_SUB_KEYS)) return ERROR_ACCESS_DENIED;
  FILETIME ft;
  Node* node = CurrentNode(ref, &ft);
  if (!node) return ERROR_KEY_DELETED;
  if (index >= node->children.size()) return ERROR_NO_MORE_ITEMS;
  auto it = node->children.begin();
  std::advance(it, index);
  if (LONG r = CopyName(Outward<C>(it->second->name), name, cchName); r != ERROR_SUCCESS) return r;
  if (keyClass && cchClass && *cchClass > 0) {
    keyClass[0] = 0;
    *cchClass = 0;
  }
  if (lastWrite) *lastWrite = ft;
  return ERROR_SUCCESS;
}

template <class C>
LONG EnumValue(HKEY key, DWORD index, C* valueName, LPDWORD cchValueName, LPDWORD type, LPBYTE data, LPDWORD cbData) {
  if (data && !cbData) return ERROR_INVALID_PARAMETER;
  KeyRef ref;
  if (LONG r = Lookup(key, ref); r != ERROR_SUCCESS) return r;
  if (!(ref.access & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
  Node* node = CurrentNode(ref);
  if (!node) return ERROR_KEY_DELETED;
  if (index >= node->values.size()) return ERROR_NO_MORE_ITEMS;
  const Value& v = node->values[index];
  if (LONG r = CopyName(Outward<C>(v.name), valueName, cchValueName); r != ERROR_SUCCESS) return r;
  if (type) *type = v.type;
  return CopyData(QueryView(v, sizeof(C) != 1), data, cbData);
}

std::string NarrowName(LPCSTR s) { return s ? std::string(s) : std::string(); }
std::string WideName(LPCWSTR s) { return s ? WideToUtf8(s) : std::string(); }
std::optional<std::string> NarrowPath(LPCSTR s) { return s ? std::optional<std::string>(s) : std::nullopt; }
std::optional<std::string> WidePath(LPCWSTR s) { return s ? std::optional<std::string>(WideToUtf8(s)) : std::nullopt; }

}  // namespace

// ---------------------------------------------------------------------------

LONG RegOpenKeyA(HKEY key, LPCSTR subKey, PHKEY result) {
  std::lock_guard lock(State().mutex);
  return OpenOrCreate(key, NarrowPath(subKey), MAXIMUM_ALLOWED, false, result, nullptr);
}

LONG RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD, REGSAM desired, PHKEY result) {
  std::lock_guard lock(State().mutex);
  return OpenOrCreate(key, NarrowPath(subKey), desired, false, result, nullptr);
}

LONG RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD, REGSAM desired, PHKEY result) {
  std::lock_guard lock(State().mutex);
  return OpenOrCreate(key, WidePath(subKey), desired, false, result, nullptr);
}

LONG RegCreateKeyA(HKEY key, LPCSTR subKey, PHKEY result) {
  std::lock_guard lock(State().mutex);
  return OpenOrCreate(key, NarrowPath(subKey), MAXIMUM_ALLOWED, true, result, nullptr);
}

LONG RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD, LPSTR, DWORD, REGSAM desired, LPSECURITY_ATTRIBUTES, PHKEY result,
                     LPDWORD disposition) {
  std::lock_guard lock(State().mutex);
  return OpenOrCreate(key, NarrowPath(subKey), desired, true, result, disposition);
}

LONG RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD, LPWSTR, DWORD, REGSAM desired, LPSECURITY_ATTRIBUTES,
                     PHKEY result, LPDWORD disposition) {
  std::lock_guard lock(State().mutex);
  return OpenOrCreate(key, WidePath(subKey), desired, true, result, disposition);
}

LONG RegCloseKey(HKEY key) {
  std::lock_guard lock(State().mutex);
  const auto v = reinterpret_cast<uintptr_t>(key);
  if (v >= kFirstRoot && v < kFirstRoot + kRootCount) return ERROR_SUCCESS;
  return State().handles.erase(v) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

LONG RegFlushKey(HKEY key) {
  // Every change is on disk before its call returns.
  std::lock_guard lock(State().mutex);
  KeyRef ref;
  return Lookup(key, ref);
}

LONG RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD, LPDWORD type, LPBYTE data, LPDWORD cbData) {
  std::lock_guard lock(State().mutex);
  return QueryValue(key, NarrowName(valueName), type, data, cbData, false);
}

LONG RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD, LPDWORD type, LPBYTE data, LPDWORD cbData) {
  std::lock_guard lock(State().mutex);
  return QueryValue(key, WideName(valueName), type, data, cbData, true);
}

LONG RegQueryValueA(HKEY key, LPCSTR subKey, LPSTR data, PLONG cbData) {
  std::lock_guard lock(State().mutex);
  if (data && !cbData) return ERROR_INVALID_PARAMETER;
  if (cbData && *cbData < 0) return ERROR_INVALID_PARAMETER;
  HKEY sub = key;
  const bool own = subKey && *subKey;
  if (own)
    if (LONG r = OpenOrCreate(key, std::string(subKey), KEY_QUERY_VALUE, false, &sub, nullptr); r != ERROR_SUCCESS)
      return r;
  DWORD type = REG_NONE;
  DWORD size = 0;
  LONG r = QueryValue(sub, "", &type, nullptr, &size, false);
  std::vector<BYTE> bytes;
  if (r == ERROR_FILE_NOT_FOUND) {
    bytes.assign(1, 0);  // a key without a default value reads as ""
    r = ERROR_SUCCESS;
  } else if (r == ERROR_SUCCESS) {
    if (type != REG_SZ && type != REG_EXPAND_SZ) {
      r = ERROR_INVALID_DATA;
    } else {
      bytes.resize(size);
      r = QueryValue(sub, "", nullptr, bytes.data(), &size, false);
    }
  }
  if (own) State().handles.erase(reinterpret_cast<uintptr_t>(sub));
  if (r != ERROR_SUCCESS) return r;
  DWORD cb = cbData ? static_cast<DWORD>(*cbData) : 0;
  r = CopyData(bytes, reinterpret_cast<LPBYTE>(data), cbData ? &cb : nullptr);
  if (cbData) *cbData = static_cast<LONG>(cb);
  return r;
}

LONG RegSetValueExA(HKEY key, LPCSTR valueName, DWORD, DWORD type, const BYTE* data, DWORD cbData) {
  std::lock_guard lock(State().mutex);
  return SetValue(key, NarrowName(valueName), type, data, cbData, false);
}

LONG RegSetValueExW(HKEY key, LPCWSTR valueName, DWORD, DWORD type, const BYTE* data, DWORD cbData) {
  std::lock_guard lock(State().mutex);
  return SetValue(key, WideName(valueName), type, data, cbData, true);
}

LONG RegDeleteValueA(HKEY key, LPCSTR valueName) {
  std::lock_guard lock(State().mutex);
  return DeleteValue(key, NarrowName(valueName));
}

LONG RegDeleteValueW(HKEY key, LPCWSTR valueName) {
  std::lock_guard lock(State().mutex);
  return DeleteValue(key, WideName(valueName));
}

LONG RegDeleteKeyA(HKEY key, LPCSTR subKey) {
  std::lock_guard lock(State().mutex);
  return DeleteKey(key, NarrowName(subKey));
}

LONG RegDeleteKeyW(HKEY key, LPCWSTR subKey) {
  std::lock_guard lock(State().mutex);
  return DeleteKey(key, WideName(subKey));
}

LONG RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD cchName, LPDWORD, LPSTR keyClass, LPDWORD cchClass,
                   PFILETIME lastWriteTime) {
  std::lock_guard lock(State().mutex);
  return EnumKey(key, index, name, cchName, keyClass, cchClass, lastWriteTime);
}

LONG RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, LPDWORD cchName, LPDWORD, LPWSTR keyClass, LPDWORD cchClass,
                   PFILETIME lastWriteTime) {
  std::lock_guard lock(State().mutex);
  return EnumKey(key, index, name, cchName, keyClass, cchClass, lastWriteTime);
}

LONG RegEnumKeyA(HKEY key, DWORD index, LPSTR name, DWORD cchName) {
  std::lock_guard lock(State().mutex);
  return EnumKey<char>(key, index, name, &cchName, nullptr, nullptr, nullptr);
}

LONG RegEnumValueA(HKEY key, DWORD index, LPSTR valueName, LPDWORD cchValueName, LPDWORD, LPDWORD type, LPBYTE data,
                   LPDWORD cbData) {
  std::lock_guard lock(State().mutex);
  return EnumValue(key, index, valueName, cchValueName, type, data, cbData);
}

LONG RegEnumValueW(HKEY key, DWORD index, LPWSTR valueName, LPDWORD cchValueName, LPDWORD, LPDWORD type, LPBYTE data,
                   LPDWORD cbData) {
  std::lock_guard lock(State().mutex);
  return EnumValue(key, index, valueName, cchValueName, type, data, cbData);
}

LONG RegQueryInfoKeyA(HKEY key, LPSTR keyClass, LPDWORD cchClass, LPDWORD, LPDWORD subKeys, LPDWORD maxSubKeyLen,
                      LPDWORD maxClassLen, LPDWORD values, LPDWORD maxValueNameLen, LPDWORD maxValueLen,
                      LPDWORD cbSecurityDescriptor, PFILETIME lastWriteTime) {
  std::lock_guard lock(State().mutex);
  KeyRef ref;
  if (LONG r = Lookup(key, ref); r != ERROR_SUCCESS) return r;
  if (!(ref.access & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
  FILETIME ft;
  Node* node = CurrentNode(ref, &ft);
  if (!node) return ERROR_KEY_DELETED;
  if (keyClass && cchClass) {
    if (*cchClass == 0) return ERROR_MORE_DATA;
    keyClass[0] = 0;
  }
  if (cchClass) *cchClass = 0;
  DWORD maxKey = 0, maxName = 0, maxData = 0;
  for (const auto& [folded, child] : node->children) maxKey = std::max<DWORD>(maxKey, child->name.size());
  for (const auto& v : node->values) {
    maxName = std::max<DWORD>(maxName, v.name.size());
    maxData = std::max<DWORD>(maxData, QueryView(v, false).size());
  }
  if (subKeys) *subKeys = static_cast<DWORD>(node->children.size());
  if (maxSubKeyLen) *maxSubKeyLen = maxKey;
  if (maxClassLen) *maxClassLen = 0;
  if (values) *values = static_cast<DWORD>(node->values.size());
  if (maxValueNameLen) *maxValueNameLen = maxName;
  if (maxValueLen) *maxValueLen = maxData;
  if (cbSecurityDescriptor) *cbSecurityDescriptor = 0;
  if (lastWriteTime) *lastWriteTime = ft;
  return ERROR_SUCCESS;
}

void RegistryReloadForTest() {
  std::lock_guard lock(State().mutex);
  State().stores.clear();
  State().madeFolders.clear();
}
