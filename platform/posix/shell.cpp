// The user's Documents folder: the XDG documents directory where the user has
// one configured, else $HOME/Documents. An empty or relative HOME is no home.
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "platform/posix/text.h"
#include "platform/win32.h"

namespace {

// An empty or relative HOME counts as no home at all.
bool HomeDirectory(std::string* home) {
  if (const char* env = std::getenv("HOME")) {
    *home = env;
    return !home->empty() && (*home)[0] == '/';
  }
  const struct passwd* entry = ::getpwuid(::getuid());
  if (entry == nullptr || entry->pw_dir == nullptr || entry->pw_dir[0] != '/') {
    return false;
  }
  *home = entry->pw_dir;
  return true;
}

// XDG_DOCUMENTS_DIR from user-dirs.dirs: "$HOME/..." or an absolute path.
bool ConfiguredDocuments(const std::string& home, std::string* out) {
  const char* config = std::getenv("XDG_CONFIG_HOME");
  const std::string dir = (config != nullptr && config[0] == '/') ? config : home + "/.config";
  std::ifstream file(dir + "/user-dirs.dirs");
  std::string line;
  const std::string key = "XDG_DOCUMENTS_DIR=";
  while (std::getline(file, line)) {
    if (line.compare(0, key.size(), key) != 0) {
      continue;
    }
    std::string value = line.substr(key.size());
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
      value = value.substr(1, value.size() - 2);
    }
    if (value.compare(0, 5, "$HOME") == 0) {
      value.replace(0, 5, home);
    }
    if (value.empty() || value[0] != '/') {
      return false;
    }
    *out = value;
    return true;
  }
  return false;
}

}  // namespace

HRESULT SHGetFolderPathW(HWND /*owner*/, int folder, HANDLE /*token*/, DWORD /*flags*/,
                         LPWSTR path) {
  if (path == nullptr || folder != CSIDL_PERSONAL) {
    return E_FAIL;
  }
  std::string home;
  if (!HomeDirectory(&home)) {
    return E_FAIL;
  }
  std::string documents;
  if (!ConfiguredDocuments(home, &documents)) {
    documents = home + "/Documents";
  }
  // On Windows the folder always exists; here a fresh account may lack it.
  // One that can be neither found nor made (HOME a file, a parent missing,
  // no permission, a file of that name) is no folder to answer.
  ::mkdir(documents.c_str(), 0777);
  struct stat st {};
  if (::stat(documents.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    return E_FAIL;
  }
  const std::u16string wide = standin::ToUtf16(documents);
  if (wide.size() >= MAX_PATH) {
    return E_FAIL;
  }
  std::memcpy(path, wide.c_str(), (wide.size() + 1) * sizeof(WCHAR));
  return S_OK;
}
