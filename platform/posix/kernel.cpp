// Kernel objects of the stand-in: a handle table, the thread's last-error
// code, events, devices opened with CreateFileW, the named single-instance
// marker, files and directories, and time.
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <mutex>
#include <string>

#include "platform/posix/bus.h"
#include "platform/posix/text.h"
#include "platform/win32.h"

namespace {

thread_local DWORD lastError = ERROR_SUCCESS;

enum class Kind { kEvent, kDevice, kMutex };

struct Object {
  Kind kind = Kind::kEvent;
  standin::DeviceRef device;
  std::u16string mutexName;
};

// A named mutex of this process, and the lock file that shows it to others.
struct NamedMutex {
  int references = 0;
  int lockFd = -1;
};

struct Kernel {
  std::mutex lock;
  std::map<uintptr_t, Object> handles;
  std::map<std::u16string, NamedMutex> mutexes;
  uintptr_t next = 0x100;
};

// Built on first use: globals of other files call in while they are built.
Kernel& TheKernel() {
  static Kernel* kernel = new Kernel;  // never destroyed: used by destructors at exit
  return *kernel;
}

HANDLE Insert(Object object) {
  Kernel& k = TheKernel();
  std::lock_guard<std::mutex> guard(k.lock);
  const uintptr_t value = k.next;
  k.next += 4;
  k.handles.emplace(value, std::move(object));
  return reinterpret_cast<HANDLE>(value);
}

DWORD ErrorFromErrno(int error) {
  switch (error) {
    case ENOENT:
      return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
    case ENAMETOOLONG:
      return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS:
      return ERROR_ACCESS_DENIED;
    case EEXIST:
      return ERROR_ALREADY_EXISTS;
    case ENOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    default:
      return ERROR_GEN_FAILURE;
  }
}

// A per-user lock file: in the runtime directory, else under the temp
// directory with the user's id in its name.
std::string LockPath(const std::u16string& name) {
  const std::string file = standin::ToUtf8(name.c_str());
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  struct stat st {};
  if (runtime != nullptr && runtime[0] == '/' && ::stat(runtime, &st) == 0 && S_ISDIR(st.st_mode) &&
      st.st_uid == ::getuid()) {
    return std::string(runtime) + "/" + file + ".lock";
  }
  const char* tmp = std::getenv("TMPDIR");
  const std::string dir = (tmp != nullptr && tmp[0] == '/') ? tmp : "/tmp";
  return dir + "/" + file + "-" + std::to_string(::getuid()) + ".lock";
}

// True when another process holds the marker. Each process holds a shared
// lock for its life; whoever cannot first take it exclusively is not alone.
bool TakeMarker(NamedMutex& m, const std::u16string& name) {
  const std::string path = LockPath(name);
  m.lockFd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (m.lockFd < 0) {
    return false;
  }
  struct stat st {};
  if (::fstat(m.lockFd, &st) != 0 || st.st_uid != ::getuid() || !S_ISREG(st.st_mode)) {
    ::close(m.lockFd);
    m.lockFd = -1;
    return false;
  }
  const bool alone = ::flock(m.lockFd, LOCK_EX | LOCK_NB) == 0;
  for (int attempt = 0; attempt < 100; ++attempt) {
    if (::flock(m.lockFd, LOCK_SH | LOCK_NB) == 0) {
      break;
    }
    ::usleep(1000);
  }
  return !alone;
}

}  // namespace

namespace standin {

bool LookupDevice(HANDLE handle, DeviceRef* out) {
  Kernel& k = TheKernel();
  std::lock_guard<std::mutex> guard(k.lock);
  auto it = k.handles.find(reinterpret_cast<uintptr_t>(handle));
  if (it == k.handles.end() || it->second.kind != Kind::kDevice) {
    return false;
  }
  *out = it->second.device;
  return true;
}

int OpenHandleCount() {
  Kernel& k = TheKernel();
  std::lock_guard<std::mutex> guard(k.lock);
  return static_cast<int>(k.handles.size());
}

}  // namespace standin

DWORD GetLastError() {
  return lastError;
}

void SetLastError(DWORD error) {
  lastError = error;
}

void Sleep(DWORD milliseconds) {
  struct timespec left {
    static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L
  };
  while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

DWORD GetTickCount() {
  struct timespec now {};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  const uint64_t ms =
      static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
  return static_cast<DWORD>(ms);
}

MMRESULT timeBeginPeriod(UINT /*period*/) {
  // The timers here are fine-grained already.
  return TIMERR_NOERROR;
}

BOOL CloseHandle(HANDLE handle) {
  Object object;
  {
    Kernel& k = TheKernel();
    std::lock_guard<std::mutex> guard(k.lock);
    auto it = k.handles.find(reinterpret_cast<uintptr_t>(handle));
    if (it == k.handles.end()) {
      lastError = ERROR_INVALID_HANDLE;
      return FALSE;
    }
    object = std::move(it->second);
    k.handles.erase(it);
    if (object.kind == Kind::kMutex) {
      auto m = k.mutexes.find(object.mutexName);
      if (m != k.mutexes.end() && --m->second.references == 0) {
        if (m->second.lockFd >= 0) {
          ::close(m->second.lockFd);
        }
        k.mutexes.erase(m);
      }
    }
  }
  if (object.kind == Kind::kDevice) {
    standin::CloseDevice(object.device);
  }
  lastError = ERROR_SUCCESS;
  return TRUE;
}

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES /*attributes*/, BOOL /*manualReset*/,
                    BOOL /*initialState*/, LPCWSTR /*name*/) {
  Object object;
  object.kind = Kind::kEvent;
  HANDLE handle = Insert(std::move(object));
  lastError = ERROR_SUCCESS;
  return handle;
}

HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD /*shareMode*/,
                   LPSECURITY_ATTRIBUTES /*attributes*/, DWORD creation, DWORD /*flags*/,
                   HANDLE /*templateFile*/) {
  if (path == nullptr || creation != OPEN_EXISTING) {
    lastError = ERROR_INVALID_PARAMETER;
    return INVALID_HANDLE_VALUE;
  }
  Object object;
  object.kind = Kind::kDevice;
  const DWORD error = standin::OpenDevice(path, access, &object.device);
  if (error != ERROR_SUCCESS) {
    lastError = error;
    return INVALID_HANDLE_VALUE;
  }
  HANDLE handle = Insert(std::move(object));
  lastError = ERROR_SUCCESS;
  return handle;
}

BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD length, LPDWORD written,
               LPOVERLAPPED /*overlapped*/) {
  standin::DeviceRef device;
  if (!standin::LookupDevice(file, &device)) {
    lastError = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  DWORD count = 0;
  const DWORD error = standin::WriteDevice(device, buffer, length, &count);
  if (written != nullptr) {
    *written = count;
  }
  lastError = error;
  return error == ERROR_SUCCESS ? TRUE : FALSE;
}

HANDLE CreateMutexW(LPSECURITY_ATTRIBUTES /*attributes*/, BOOL /*initialOwner*/, LPCWSTR name) {
  Object object;
  object.kind = Kind::kMutex;
  object.mutexName = name != nullptr ? name : u"";
  bool existed = false;
  if (!object.mutexName.empty()) {
    Kernel& k = TheKernel();
    std::lock_guard<std::mutex> guard(k.lock);
    NamedMutex& m = k.mutexes[object.mutexName];
    existed = m.references > 0 || TakeMarker(m, object.mutexName);
    ++m.references;
  }
  HANDLE handle = Insert(std::move(object));
  lastError = existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS;
  return handle;
}

BOOL ReleaseMutex(HANDLE /*mutex*/) {
  // Nobody waits on the marker, so nobody owns it.
  lastError = ERROR_NOT_OWNER;
  return FALSE;
}

DWORD GetFileAttributesW(LPCWSTR path) {
  if (path == nullptr) {
    lastError = ERROR_INVALID_PARAMETER;
    return INVALID_FILE_ATTRIBUTES;
  }
  struct stat st {};
  if (::stat(standin::ToPosixPath(path).c_str(), &st) != 0) {
    lastError = ErrorFromErrno(errno);
    return INVALID_FILE_ATTRIBUTES;
  }
  lastError = ERROR_SUCCESS;
  return S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
}

BOOL CreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES /*attributes*/) {
  if (path == nullptr) {
    lastError = ERROR_INVALID_PARAMETER;
    return FALSE;
  }
  if (::mkdir(standin::ToPosixPath(path).c_str(), 0777) != 0) {
    lastError = ErrorFromErrno(errno);
    return FALSE;
  }
  lastError = ERROR_SUCCESS;
  return TRUE;
}
