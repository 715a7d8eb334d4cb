// Reading the resource section of a library file (VQResources.h). The ELF
// file is untrusted input: every offset and size is checked against the file
// before it is used.
#include "VQResources.h"

#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

namespace {

constexpr size_t kMaxSectionSize = 1u << 20;
constexpr size_t kMaxSections = 65535;
constexpr char kSectionName[] = ".vq_resources";

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : m_Fd(fd) {}
  ~FileDescriptor() {
    if (m_Fd >= 0) close(m_Fd);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return m_Fd; }

 private:
  int m_Fd;
};

// Reads exactly size bytes at offset; false on a short read or an error.
bool ReadAt(int fd, uint64_t offset, void* buffer, size_t size) {
  auto* p = static_cast<char*>(buffer);
  while (size > 0) {
    ssize_t n = pread(fd, p, size, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    offset += static_cast<uint64_t>(n);
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool InFile(uint64_t offset, uint64_t size, uint64_t fileSize) {
  return offset <= fileSize && size <= fileSize - offset;
}

const HRESULT kBadFormat = HRESULT_FROM_WIN32(ERROR_BAD_FORMAT);

HRESULT ReadSection(const char* path, std::string* out) {
  FileDescriptor fd(open(path, O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
  struct stat st {};
  if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return kBadFormat;
  const uint64_t fileSize = static_cast<uint64_t>(st.st_size);

  Elf64_Ehdr eh{};
  if (!ReadAt(fd.get(), 0, &eh, sizeof eh)) return kBadFormat;
  if (std::memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0 || eh.e_ident[EI_CLASS] != ELFCLASS64 ||
      eh.e_ident[EI_DATA] != ELFDATA2LSB || eh.e_shentsize != sizeof(Elf64_Shdr)) {
    return kBadFormat;
  }
  // Large section counts live in the first section header; such files are
  // far beyond what a component library needs.
  if (eh.e_shnum == 0 || eh.e_shnum > kMaxSections || eh.e_shstrndx >= eh.e_shnum) return kBadFormat;
  if (!InFile(eh.e_shoff, static_cast<uint64_t>(eh.e_shnum) * sizeof(Elf64_Shdr), fileSize)) return kBadFormat;

  auto header = [&](unsigned index, Elf64_Shdr* sh) {
    return ReadAt(fd.get(), eh.e_shoff + static_cast<uint64_t>(index) * sizeof(Elf64_Shdr), sh, sizeof *sh);
  };
  Elf64_Shdr names{};
  if (!header(eh.e_shstrndx, &names) || !InFile(names.sh_offset, names.sh_size, fileSize)) return kBadFormat;

  char name[sizeof kSectionName];
  for (unsigned i = 0; i < eh.e_shnum; ++i) {
    Elf64_Shdr sh{};
    if (!header(i, &sh)) return kBadFormat;
    if (sh.sh_name >= names.sh_size || names.sh_size - sh.sh_name < sizeof name) continue;
    if (!ReadAt(fd.get(), names.sh_offset + sh.sh_name, name, sizeof name)) return kBadFormat;
    if (std::memcmp(name, kSectionName, sizeof name) != 0) continue;
    if (sh.sh_type == SHT_NOBITS || sh.sh_size > kMaxSectionSize || !InFile(sh.sh_offset, sh.sh_size, fileSize)) {
      return kBadFormat;
    }
    out->resize(static_cast<size_t>(sh.sh_size));
    if (!ReadAt(fd.get(), sh.sh_offset, out->data(), out->size())) return kBadFormat;
    return S_OK;
  }
  return HRESULT_FROM_WIN32(ERROR_RESOURCE_DATA_NOT_FOUND);
}

bool ParseHeader(const std::string& line, vq::LibraryResource* r) {
  size_t space = line.find(' ');
  if (space == std::string::npos || space == 0 || space + 1 >= line.size() || line.size() - space > 10) return false;
  for (size_t i = 0; i < space; ++i) {
    if (line[i] < 'A' || line[i] > 'Z') return false;
  }
  unsigned id = 0;
  for (size_t i = space + 1; i < line.size(); ++i) {
    if (line[i] < '0' || line[i] > '9') return false;
    id = id * 10 + static_cast<unsigned>(line[i] - '0');
  }
  r->type = line.substr(0, space);
  r->id = id;
  return true;
}

}  // namespace

HRESULT vq::ParseResourceSection(const char* data, size_t size, std::vector<LibraryResource>* resources) {
  if (resources == nullptr || (data == nullptr && size != 0)) return E_INVALIDARG;
  try {
    resources->clear();
    size_t pos = 0;
    while (pos < size) {
      if (data[pos] == '\0') {
        ++pos;
        continue;
      }
      const void* nul = std::memchr(data + pos, '\0', size - pos);
      if (nul == nullptr) return E_INVALIDARG;
      const size_t end = static_cast<size_t>(static_cast<const char*>(nul) - data);
      std::string record(data + pos, end - pos);
      size_t lf = record.find('\n');
      LibraryResource r;
      if (!ParseHeader(record.substr(0, lf), &r)) return E_INVALIDARG;
      if (lf != std::string::npos) r.content = record.substr(lf + 1);
      if (resources->empty() && (r.type != "VQRESOURCES" || r.id != 1)) return E_INVALIDARG;
      resources->push_back(std::move(r));
      pos = end + 1;
    }
    return resources->empty() ? E_INVALIDARG : S_OK;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

HRESULT vq::ReadLibraryResources(const char* path, std::vector<LibraryResource>* resources) {
  if (path == nullptr || resources == nullptr) return E_INVALIDARG;
  try {
    resources->clear();
    std::string section;
    HRESULT hr = ReadSection(path, &section);
    if (FAILED(hr)) return hr;
    return ParseResourceSection(section.data(), section.size(), resources);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

const vq::LibraryResource* vq::FindLibraryResource(const std::vector<LibraryResource>& resources, const char* type,
                                                   unsigned id) {
  if (type == nullptr) return nullptr;
  for (const LibraryResource& r : resources) {
    if (r.id == id && r.type == type) return &r;
  }
  return nullptr;
}

std::string vq::ResourceField(const LibraryResource& resource, const char* key) {
  if (key == nullptr) return std::string();
  try {
    const std::string prefix = std::string(key) + "=";
    size_t pos = 0;
    while (pos <= resource.content.size()) {
      size_t end = resource.content.find('\n', pos);
      if (end == std::string::npos) end = resource.content.size();
      if (resource.content.compare(pos, prefix.size(), prefix) == 0 && end - pos >= prefix.size()) {
        return resource.content.substr(pos + prefix.size(), end - pos - prefix.size());
      }
      pos = end + 1;
    }
  } catch (const std::bad_alloc&) {
  }
  return std::string();
}
