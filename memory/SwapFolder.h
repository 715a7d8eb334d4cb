// SwapFolder.h - the folder the swap file goes to.
//
// Swapping frees memory only when the swap file lives on a disk. A folder on
// tmpfs or ramfs (several distributions mount /tmp so), or on a RAM disk, is
// itself memory: a matrix swapping there frees nothing, and under a memory
// limit it is killed as if it never swapped. So the folder is chosen by what
// backs it:
//   1. $VQ_SWAP_DIR when set and usable, whatever backs it: the user chose it.
//      A memory-backed one is still used, with a trace line saying that
//      swapping to it frees no memory.
//   2. Else the first disk-backed of $TMPDIR, /var/tmp and /tmp.
//   3. Else the first usable of them, with a trace line saying that no
//      disk-backed folder exists and swapping will not free memory.
// A folder is usable when it is a directory the process may create files in;
// one that is not ($VQ_SWAP_DIR included, which is traced) is skipped.
//
// ChooseSwapFolder is the rule alone, over folders the caller describes, so
// tests give it tables; ProbeSwapFolder describes a real folder, and
// FindSwapFolder (behind SwapFileOps::TempFolder) probes the real candidates,
// chooses and traces.
//
// Threads: every function may be called from any thread; FindSwapFolder reads
// the process environment, which must not be changed meanwhile.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace vq {

// What backs a folder, as far as the swap file is concerned.
enum class FolderMedium : uint8_t {
  kUnusable,  // missing, not a directory, or not writable
  kDisk,      // anything not known to be memory: a file there can leave memory
  kMemory,    // a file there stays in memory
};

// The medium of a file system from its statfs f_type (low 32 bits) and the
// name of the block device it sits on ("" when none, as for tmpfs): memory
// for tmpfs (devtmpfs too), ramfs and hugetlbfs, and for any file system on
// a compressed RAM disk (zramN) or a plain one (ramN); disk otherwise. File
// systems that cannot tell (overlay, FUSE, network) count as disk: their
// upper layer or server is a disk far more often than not.
FolderMedium MediumOfFileSystem(uint32_t fsType, std::string_view blockDevice);

// One folder the swap file could go to.
struct SwapFolderCandidate {
  std::string path;  // with a trailing '/'
  FolderMedium medium = FolderMedium::kUnusable;
  int error = 0;  // why it is unusable (an errno value); 0 when usable
};

struct SwapFolderChoice {
  enum class Note : uint8_t {
    kNone,
    kUserFolderInMemory,  // $VQ_SWAP_DIR is used although memory-backed
    kNoDiskFolder,        // no candidate is disk-backed: a memory one is used
  };
  // The chosen candidate (pointing into the caller's), or null when none is
  // usable.
  const SwapFolderCandidate* folder = nullptr;
  Note note = Note::kNone;
  bool userFolderSkipped = false;  // $VQ_SWAP_DIR was set but is unusable
};

// The rule of the file's opening paragraph. user: $VQ_SWAP_DIR, null when
// unset; defaults: $TMPDIR (when set), /var/tmp and /tmp, in this order.
SwapFolderChoice ChooseSwapFolder(const SwapFolderCandidate* user, std::span<const SwapFolderCandidate> defaults);

// Describes a real folder: whether the process may create files in it, and
// what backs it. The path gets a trailing '/' when it has none.
SwapFolderCandidate ProbeSwapFolder(std::string path);

// The folder for a new swap file, with a trailing '/', from the process
// environment and the real folders; traces the choice's notes (level 1,
// keyword "DataMatrix"). False with an errno value in *error (that of the
// first candidate) when no candidate is usable.
bool FindSwapFolder(std::string* folder, int* error);

}  // namespace vq
